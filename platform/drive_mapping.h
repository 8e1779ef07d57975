#pragma once

// Where the paths of a palette made on Windows are on this machine. The
// operator maps Windows path prefixes to folders, one a line, in
// "Lecteurs.ini" beside the program:
//     C:\Jingles=/srv/jingles
//     \\STUDIO\Pubs=/mnt/studio/pubs
// Prefixes compare without regard to letter case and the longest one that
// matches wins; blank lines and lines starting with "#" are comments. A path
// that no line maps and that starts with a drive letter, "X:\rest", is looked
// for as "<program folder>/X/rest": one symbolic link per drive is enough.
// A path beginning with "/" is a Linux path; one beginning with a single "\"
// is the older form of a Linux path (platform/path_form.h); any other path
// without a drive or a share is taken from the program's folder. The
// palette's text is never changed; only the file opened is.

#include <QByteArray>
#include <QString>
#include <vector>

namespace tambrel::platform {

// A drive path ("C:\..." or "C:/...") or a share ("\\SERVER\...").
bool isWindowsPath(const QString& systemPath);

class DriveMapping {
  public:
    // No lines, and no folder for drive letters.
    DriveMapping() = default;
    // `programFolder` is native; drive letters are looked for in it.
    explicit DriveMapping(const QString& programFolder);

    // A line that was not understood, numbered from 1, and its text.
    struct BadLine {
        int number = 0;
        QString text;
    };
    // Takes the mapping lines of the file's bytes, and returns those it
    // could not understand; the others are used all the same.
    std::vector<BadLine> read(const QByteArray& bytes);

    // The native path a system path names here, without looking at the disk.
    QString toNative(const QString& systemPath) const;
    // The file to open for a path of a palette or of the file dialog, as
    // native bytes: mapped, then with its names matched regardless of letter
    // case and of their bytes' encoding when it does not exist as written
    // (platform/case_lookup.h); a "\" in a Linux path is taken as a
    // separator too when that alone finds the file.
    QByteArray locate(const QString& systemPath) const;

  private:
    struct Line {
        QString prefix;  // the Windows form, "\" separators, no trailing "\"
        QString folder;  // native, absolute, no trailing "/"
    };
    std::vector<Line> lines_;  // longest prefix first
    QString programFolder_;
};

}  // namespace tambrel::platform
