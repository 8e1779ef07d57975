#include "platform/case_lookup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QFile>
#include <QList>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text_file.h"

namespace tambrel::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The coarsest clock a jingle folder's times may come from (FAT counts two
// seconds).
constexpr auto kClockTick = std::chrono::seconds(2);

// FNV-1a over the UTF-16 units of a case-folded name.
constexpr uint32_t kHashStart = 2166136261u;
constexpr uint32_t kHashStep = 16777619u;
uint32_t hashed(uint32_t hash, char16_t unit) {
    return (hash ^ unit) * kHashStep;
}
uint32_t hashOf(const QString& folded) {
    uint32_t hash = kHashStart;
    for (const QChar c : folded) hash = hashed(hash, c.unicode());
    return hash;
}

QString folded(std::string_view name) {
    return decodeLine(QByteArrayView(name.data(), static_cast<qsizetype>(name.size())))
        .toCaseFolded();
}

// The hash of a name's folded text, without building it for plain ASCII,
// which most jingle names are.
uint32_t hashOfName(std::string_view name) {
    uint32_t hash = kHashStart;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) return hashOf(folded(name));
        hash = hashed(hash, byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
    }
    return hash;
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

constexpr uint64_t kFree = ~uint64_t{0};

// A folder's names in one block, each ended by a NUL (which no name holds),
// and an open hash table of their places by the hash of their folded text:
// 16 to 32 bytes a name beyond the name itself, where a hash table of
// strings takes hundreds, and nothing to sort.
struct FolderIndex {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    Clock::time_point read;
    bool sure = false;  // the folder had not changed for a clock tick when it was read
    std::string names;
    std::vector<uint64_t> table;  // hash << 32 | place of the name in `names`, or kFree
    uint64_t lastUse = 0;
    std::size_t bytes = 0;

    bool current(const struct stat& st, Clock::time_point now) const {
        return device == st.st_dev && inode == st.st_ino && sameTime(changed, st.st_mtim) &&
               (sure || now - read < kClockTick);
    }

    std::optional<std::string> find(const QString& wanted) const {
        const uint64_t hash = hashOf(wanted);
        std::optional<std::string_view> best;
        const std::size_t mask = table.size() - 1;
        for (std::size_t at = hash & mask; table[at] != kFree; at = (at + 1) & mask) {
            if (table[at] >> 32 != hash) continue;
            const std::string_view name(names.c_str() + (table[at] & 0xffffffffu));
            if ((!best || name < *best) && folded(name) == wanted) best = name;
        }
        if (!best) return std::nullopt;
        return std::string(*best);
    }
};

std::optional<FolderIndex> readFolder(const std::string& folder, const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    FolderIndex index;
    index.device = st.st_dev;
    index.inode = st.st_ino;
    index.changed = st.st_mtim;
    index.read = Clock::now();
    index.sure = now.tv_sec - st.st_mtim.tv_sec > kClockTick.count();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::vector<uint64_t> keys;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        keys.push_back(uint64_t{hashOfName(name)} << 32 | index.names.size());
        index.names.append(name);
        index.names.push_back('\0');
    }
    ::closedir(dir);
    index.names.shrink_to_fit();
    // At most half full, so that a search meets a free slot soon.
    std::size_t size = 8;
    while (size < 2 * keys.size()) size *= 2;
    index.table.assign(size, kFree);
    for (const uint64_t key : keys) {
        std::size_t at = (key >> 32) & (size - 1);
        while (index.table[at] != kFree) at = (at + 1) & (size - 1);
        index.table[at] = key;
    }
    index.bytes = sizeof(FolderIndex) + folder.capacity() + index.names.capacity() +
                  index.table.capacity() * sizeof(uint64_t);
    return index;
}

struct Cache {
    std::unordered_map<std::string, FolderIndex> folders;
    std::size_t bytes = 0;
    std::size_t bound = kCaseLookupBound;
    uint64_t uses = 0;
    long long reads = 0;

    // The least recently used go until the rest fit.
    void trim() {
        while (bytes > bound && !folders.empty()) {
            const auto oldest = std::min_element(
                folders.begin(), folders.end(),
                [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
            bytes -= oldest->second.bytes;
            folders.erase(oldest);
        }
    }
};
thread_local Cache cache;

// The name in `folder` equal to `name` but for letter case (or its bytes'
// encoding); none when the folder cannot be read or holds no such name.
std::optional<std::string> sameNameInFolder(const std::string& folder, const QString& name) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    const QString wanted = name.toCaseFolded();
    const auto now = Clock::now();
    const auto kept = cache.folders.find(folder);
    if (kept != cache.folders.end()) {
        if (kept->second.current(st, now)) {
            kept->second.lastUse = ++cache.uses;
            return kept->second.find(wanted);
        }
        cache.bytes -= kept->second.bytes;
        cache.folders.erase(kept);
    }
    std::optional<FolderIndex> index = readFolder(folder, st);
    if (!index) return std::nullopt;
    ++cache.reads;
    std::optional<std::string> found = index->find(wanted);
    if (index->bytes <= cache.bound) {
        index->lastUse = ++cache.uses;
        cache.bytes += index->bytes;
        cache.folders.emplace(folder, *std::move(index));
        cache.trim();
    }
    return found;
}

QByteArray joined(const QByteArray& folder, const QByteArray& name) {
    if (folder.isEmpty()) return name;
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

}  // namespace

bool nameTaken(const QByteArray& nativePath) {
    struct stat st {};
    return ::lstat(nativePath.constData(), &st) == 0;
}

QByteArray findIgnoringCase(const QString& nativePath) {
    QByteArray written = QFile::encodeName(nativePath);
    if (written.isEmpty() || nameTaken(written)) return written;
    QByteArray at = written.startsWith('/') ? QByteArray("/") : QByteArray();
    for (const QByteArray& part : written.split('/')) {
        if (part.isEmpty()) continue;
        const QByteArray next = joined(at, part);
        if (part == "." || part == ".." || nameTaken(next)) {
            at = next;
            continue;
        }
        const std::optional<std::string> found = sameNameInFolder(
            at.isEmpty() ? std::string(".") : at.toStdString(), QFile::decodeName(part));
        if (!found) return written;
        at = joined(at, QByteArray::fromStdString(*found));
    }
    return at;
}

CaseLookupCache caseLookupCache() {
    return {cache.bytes, static_cast<int>(cache.folders.size()), cache.reads};
}

void setCaseLookupBound(std::size_t bytes) {
    cache.bound = bytes;
    cache.trim();
}

}  // namespace tambrel::platform
