#pragma once

// Finding a file whose name was written with other letter cases, as a
// palette made on Windows, where letter case never mattered, may hold it;
// or whose name an 8-bit copy tool left on disk in Windows-1252 bytes.
//
// Each folder searched is indexed once, by its names' case-folded text, in
// one pass over its listing, and the index is kept while the folder's device,
// inode and modification time stay as they were: a palette load searches the
// same folders 28 times over, and a jingle folder may hold a hundred thousand
// names. A folder changed less than two seconds before it was read may yet
// change within the same tick of its file system's clock without its time
// moving: its index serves two seconds, then the folder is read again. The
// indexes of a thread hold at most kCaseLookupBound bytes together (eight
// folders of 100,000 names); beyond, the least recently used go, and a
// folder too large for the bound alone is indexed for each search.

#include <QByteArray>
#include <QString>
#include <cstddef>

namespace tambrel::platform {

inline constexpr std::size_t kCaseLookupBound = std::size_t{32} << 20;

// The native path as it exists on disk, as the bytes to open. Components
// that exist as written are kept; each other one is matched without regard
// to letter case in its folder, names on disk read as UTF-8, or as
// Windows-1252 when their bytes are not UTF-8, and the first match in byte
// order winning when several names differ only by case. The path as written
// (UTF-8) when it exists so or when some component matches nothing.
QByteArray findIgnoringCase(const QString& nativePath);

// Whether the name is taken on disk (a link counts, even when what it
// points to is gone: the open will say why it fails).
bool nameTaken(const QByteArray& nativePath);

// This thread's indexes, for the benchmark and the tests.
struct CaseLookupCache {
    std::size_t bytes = 0;  // held by the indexes kept
    int folders = 0;        // indexes kept
    long long reads = 0;    // folder listings read since the thread started
};
CaseLookupCache caseLookupCache();
// Another bound for this thread's indexes (kCaseLookupBound at start); the
// indexes beyond it go at once.
void setCaseLookupBound(std::size_t bytes);

}  // namespace tambrel::platform
