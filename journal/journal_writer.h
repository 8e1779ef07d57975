#pragma once

// Writes the as-run log on a thread of its own, so that a slow or full disk
// never holds up the window. Lines that cannot be written are kept and tried
// again every few seconds; a failure is told once for each episode, which
// ends only when everything is written again (the days' lines and the record
// of the plays sounding), never for every play. Plays past the lines kept
// are counted, and the count written in their days' files once the disk
// takes lines again.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "journal/as_run.h"
#include "journal/journal_store.h"

namespace tambrel::journal {

class JournalWriter {
  public:
    // Called on the writer's thread with the reason and the file's path.
    using Failure = std::function<void(const QString& reason, const QString& path)>;
    // Called on the writer's thread with how many plays could not be written
    // down, once the lines that say so are written.
    using Unlogged = std::function<void(uint64_t plays)>;
    static constexpr size_t kMostKept = 10'000;  // lines held while the disk refuses them

    // `folder` as for JournalStore. Moves the plays a crash interrupted to
    // their days' files first.
    JournalWriter(QString folder, Failure failure, Unlogged unlogged = nullptr);
    // Writes what is queued, then ends.
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // A play that ended.
    void write(const Play& play);
    // The plays sounding now, as they would read if cut now ("interrompu");
    // replaces the last record.
    void keepInProgress(std::vector<Play> plays);
    // Waits until everything queued is written or given up on, two seconds at most.
    bool settle();

    uint64_t linesWritten() const { return linesWritten_.load(std::memory_order_relaxed); }
    const QString& folder() const { return store_.folder(); }

  private:
    // A day file's lines not written yet, and the plays past kMostKept.
    struct Kept {
        QByteArray lines;
        size_t count = 0;
        uint64_t unlogged = 0;
        QDateTime firstUnlogged;
        QDateTime lastUnlogged;
    };

    void run();
    void keep(const Play& play);
    void writeKept();
    void writeRecord();
    QString recordPath() const;
    void fail(const QString& reason, const QString& path);

    JournalStore store_;
    Failure failure_;
    Unlogged unlogged_;
    // Read on the caller's thread: the writer's thread never looks up the
    // time zone, whose lock inside the C library ThreadSanitizer cannot see.
    QDateTime startedAt_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable settled_;
    std::deque<Play> ended_;
    std::optional<std::vector<Play>> inProgress_;
    bool busy_ = false;
    bool quit_ = false;
    // The writer's own.
    std::map<QString, Kept> kept_;  // by day file
    size_t keptLines_ = 0;
    bool recovered_ = false;
    // The latest record of the plays sounding, until it is written: it waits
    // for the recovery, whose plays it would replace.
    std::optional<QByteArray> record_;
    bool failing_ = false;
    std::atomic<uint64_t> linesWritten_{0};
    std::thread thread_;
};

}  // namespace tambrel::journal
