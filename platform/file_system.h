#pragma once

// The file operations of the program, with failures described in the
// operator's language. Writes never tear a file: the new content goes to a
// temporary file beside it, reaches the disk, and only then takes the old
// file's place.

#include <QByteArray>
#include <QString>

namespace tambrel::platform {

// True when the path (system form, "\" separators), trimmed of blanks, names
// an existing plain file that is not hidden; false otherwise or on any error.
bool FileExists(const QString& systemPath);

// The whole file, at most `limit` bytes of it.
bool readFileBytes(const QString& nativePath, QByteArray& bytes, QString& error,
                   qint64 limit = 16 << 20);

// Replaces the file's content with `bytes`, all or nothing. A read-only file
// is refused, and keeps its content; a new file gets the usual permissions.
bool writeFileAtomically(const QString& nativePath, const QByteArray& bytes, QString& error);

// True when a new file can be made in the folder (one is made and removed
// again); false with `error` set otherwise.
bool folderTakesFiles(const QString& nativeFolder, QString& error);

// The name of the file the package installs beside the executable.
inline constexpr char kPackageMarker[] = "installed-from-package";

// True for a copy installed from the package: the marker stands beside it.
bool installedFromPackage(const QString& exeFolder);

// Where the operator's files live (native, ending in "/"): beside the
// executable, or, for a copy installed from the package, whose folder is no
// one's to write, in the account's data folder: $XDG_DATA_HOME/tambrel/.
QString operatorFolder(const QString& exeFolder);

// Clears a read-only mark, then deletes the file.
bool deleteFile(const QString& nativePath, QString& error);

// The description of a failed system call's error number.
QString describeError(int errorNumber);

}  // namespace tambrel::platform
