#pragma once

// One folder's files, listed, read, written and deleted on a thread of its
// own: the palette folder may be on a share that holds a call for minutes,
// and the window's thread never waits on it. Other studios change a shared
// folder, and a share tells nobody: the folder is listed again every kPoll.
// A write is whole or not at all (written beside, then renamed over), and a
// file changed since it was read here is not overwritten unless asked.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tambrel::platform {

class FolderWorker {
  public:
    static constexpr std::chrono::seconds kPoll{2};

    // What a file was when last seen here: its size (-1: there was none),
    // when its content last changed, and its inode (a file renamed over it is another).
    struct Stamp {
        int64_t size = -1;
        int64_t modifiedNs = 0;
        uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Done {
        enum class Kind { Read, Write, Remove };
        uint64_t ticket = 0;
        Kind kind = Kind::Read;
        QString name;
        QByteArray bytes;               // read
        Stamp stamp;                    // the file as read or written
        QString failure;                // empty: done
        bool changedElsewhere = false;  // a write refused: the file is not as expected
    };

    // `folder` native; only plain, visible files matching `pattern` (one
    // "*.ext" form, letter case ignored) are listed.
    FolderWorker(const QString& folder, const QString& pattern);
    // A thread held by a share is left behind.
    ~FolderWorker();
    FolderWorker(const FolderWorker&) = delete;
    FolderWorker& operator=(const FolderWorker&) = delete;

    // The window's thread; none of these waits on the folder.
    // The last listing, sorted regardless of case, when it changed since the
    // last call (or was never taken); the first comes once the folder answered.
    std::optional<QStringList> takeList();
    // Lists again now rather than at the next poll.
    void listNow();
    uint64_t read(const QString& name);
    // `expected`: the file as this program last saw it; nullopt writes
    // whatever is there now.
    uint64_t write(const QString& name, const QByteArray& bytes, std::optional<Stamp> expected);
    uint64_t remove(const QString& name);
    // What finished since the last call, waiting up to `wait` for something.
    std::vector<Done> take(std::chrono::milliseconds wait = {});
    // Waits up to `wait` for a listing newer than the call (tests, and a
    // caller that may wait).
    bool awaitList(std::chrono::milliseconds wait);

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace tambrel::platform
