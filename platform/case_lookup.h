#pragma once

// Finding a file whose name was written with other letter cases, as a
// palette made on Windows, where letter case never mattered, may hold it.

#include <QString>

namespace tambrel::platform {

// The native path as it exists on disk. Components that exist as written
// are kept; each other one is matched without regard to letter case in its
// folder, the first match in the folder's listing sorted byte by byte
// winning when several names differ only by case. The path unchanged when
// it exists as written or when some component matches nothing.
QString findIgnoringCase(const QString& nativePath);

}  // namespace tambrel::platform
