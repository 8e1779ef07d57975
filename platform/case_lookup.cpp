#include "platform/case_lookup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QFile>
#include <QStringList>
#include <optional>

namespace tambrel::platform {
namespace {

// A symbolic link counts even when what it points to is gone: the name is
// taken, and the open will say why it fails.
bool present(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The name in `folder` equal to `name` but for letter case; none when the
// folder cannot be read or holds no such name.
std::optional<QString> sameNameInFolder(const QString& folder, const QString& name) {
    DIR* listing = ::opendir(QFile::encodeName(folder).constData());
    if (listing == nullptr) return std::nullopt;
    std::optional<QByteArray> first;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..") continue;
        if (QFile::decodeName(raw).compare(name, Qt::CaseInsensitive) != 0) continue;
        if (!first || raw < *first) first = raw;  // readdir's order is the disk's, not sorted
    }
    ::closedir(listing);
    if (!first) return std::nullopt;
    return QFile::decodeName(*first);
}

QString joined(const QString& folder, const QString& name) {
    if (folder.isEmpty()) return name;
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

}  // namespace

QString findIgnoringCase(const QString& nativePath) {
    if (nativePath.isEmpty() || present(nativePath)) return nativePath;
    QString at = nativePath.startsWith(u'/') ? QStringLiteral("/") : QString();
    for (const QString& part : nativePath.split(u'/', Qt::SkipEmptyParts)) {
        const QString next = joined(at, part);
        if (part == u"." || part == u".." || present(next)) {
            at = next;
            continue;
        }
        const std::optional<QString> found =
            sameNameInFolder(at.isEmpty() ? QStringLiteral(".") : at, part);
        if (!found) return nativePath;
        at = joined(at, *found);
    }
    return at;
}

}  // namespace tambrel::platform
