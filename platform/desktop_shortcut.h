#pragma once

// A launcher on the user's desktop: a freedesktop desktop entry in the
// desktop folder the user's settings name (whatever it is called in their
// language), marked executable.

#include <QString>

namespace tambrel::platform {

// The desktop folder, or the empty text when there is none.
QString desktopFolder();

// Writes `linkName`.desktop in the desktop folder, starting `target` (a
// native path) with `arguments`, showing `icon` when that file exists.
// False when it could not be written; nothing is reported.
bool createDesktopShortcut(const QString& linkName, const QString& target, const QString& arguments,
                           const QString& icon);

// `text` as a desktop entry's Exec field takes it: quoted when it holds
// anything but plain characters.
QString execArgument(const QString& text);

}  // namespace tambrel::platform
