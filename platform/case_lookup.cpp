#include "platform/case_lookup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QFile>
#include <QHash>
#include <QStringList>
#include <chrono>
#include <optional>

namespace tambrel::platform {
namespace {

// A symbolic link counts even when what it points to is gone: the name is
// taken, and the open will say why it fails.
bool present(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A folder's names by their case-folded form, each with the first of its
// spellings in byte order. A palette load looks in the same folders 28 times
// over, and a jingle folder may hold tens of thousands of names: a listing is
// kept while the folder is unchanged, and a little while only, since a file
// added within the file system's clock tick leaves the folder's time as it was.
struct Listing {
    timespec changed{};
    std::chrono::steady_clock::time_point read;
    QHash<QString, QByteArray> first;
};
constexpr auto kFresh = std::chrono::seconds(2);
constexpr qsizetype kMostFolders = 64;
thread_local QHash<QString, Listing> listings;

const Listing* listingOf(const QString& folder) {
    const QByteArray encoded = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(encoded.constData(), &st) != 0) return nullptr;
    const auto now = std::chrono::steady_clock::now();
    const auto kept = listings.constFind(folder);
    if (kept != listings.constEnd() && kept->changed.tv_sec == st.st_mtim.tv_sec &&
        kept->changed.tv_nsec == st.st_mtim.tv_nsec && now - kept->read < kFresh) {
        return &*kept;
    }
    DIR* dir = ::opendir(encoded.constData());
    if (dir == nullptr) return nullptr;
    Listing listing{st.st_mtim, now, {}};
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..") continue;
        const QString folded = QFile::decodeName(raw).toCaseFolded();
        const auto known = listing.first.constFind(folded);
        // readdir's order is the disk's, not sorted.
        if (known == listing.first.constEnd() || raw < *known) listing.first.insert(folded, raw);
    }
    ::closedir(dir);
    if (listings.size() >= kMostFolders) listings.clear();
    return &(listings[folder] = std::move(listing));
}

// The name in `folder` equal to `name` but for letter case; none when the
// folder cannot be read or holds no such name.
std::optional<QString> sameNameInFolder(const QString& folder, const QString& name) {
    const Listing* listing = listingOf(folder);
    if (listing == nullptr) return std::nullopt;
    const auto found = listing->first.constFind(name.toCaseFolded());
    if (found == listing->first.constEnd()) return std::nullopt;
    return QFile::decodeName(*found);
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
