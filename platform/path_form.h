#pragma once

// Paths travel through the program in the system's own form, where "\" is
// the only separator ("\home\ana\Jingles\Intro.mp3"), and meet the file
// system in its native form ("/home/ana/Jingles/Intro.mp3"). The mapping
// swaps the two slashes: "/" cannot occur inside a native file name and is
// an ordinary character in the system's form, so a native name holding a
// "\" survives the round trip as a "/" and comes back unchanged.

#include <QString>

namespace tambrel::platform {

QString toNativePath(const QString& systemPath);
QString toSystemPath(const QString& nativePath);

}  // namespace tambrel::platform
