#pragma once

// Paths as the program holds them, and as the file system takes them. A path
// that begins with "/" is a Linux path, written as Linux writes it: the file
// dialog's, or a palette line made on this machine. The older form began with
// "\" and used "\" as its only separator ("\home\ana\Jingles\Intro.mp3"), as
// palettes saved by earlier versions hold it: there the two slashes swap, "/"
// standing for a "\" inside a native name, so that every name comes back
// unchanged from a round trip through the older form.

#include <QString>

namespace tambrel::platform {

// A Linux path unchanged; any other path with its slashes swapped.
QString toNativePath(const QString& systemPath);
// The older form: the slashes swapped.
QString toSystemPath(const QString& nativePath);

}  // namespace tambrel::platform
