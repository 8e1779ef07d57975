#pragma once

// Writes the as-run log on a thread of its own, so that a slow or full disk
// never holds up the window. Lines that cannot be written are kept and tried
// again with the next write; a failure is told once each time writing stops
// working, never for every play.

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
    static constexpr size_t kMostKept = 10'000;  // lines held while the disk refuses them

    // `folder` as for JournalStore. Moves the plays a crash interrupted to
    // their days' files first.
    JournalWriter(QString folder, Failure failure);
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
    void run();
    void writeKept();
    void fail(const QString& reason, const QString& path);

    JournalStore store_;
    Failure failure_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable settled_;
    std::deque<Play> ended_;
    std::optional<std::vector<Play>> inProgress_;
    bool busy_ = false;
    bool quit_ = false;
    // The writer's own.
    std::map<QString, QByteArray> kept_;  // lines by day file, not written yet
    size_t keptLines_ = 0;
    bool failing_ = false;
    std::atomic<uint64_t> linesWritten_{0};
    std::thread thread_;
};

}  // namespace tambrel::journal
