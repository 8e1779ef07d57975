#include "journal/journal_writer.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>

namespace tambrel::journal {

JournalWriter::JournalWriter(QString folder, Failure failure)
    : store_(std::move(folder)), failure_(std::move(failure)) {
    // A file grown past the process's size limit must fail its write and be
    // told, not end the program with the slots sounding.
    std::signal(SIGXFSZ, SIG_IGN);
    busy_ = true;  // the recovery comes first
    thread_ = std::thread([this] { run(); });
}

JournalWriter::~JournalWriter() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void JournalWriter::write(const Play& play) {
    {
        std::lock_guard lock(mutex_);
        ended_.push_back(play);
    }
    wake_.notify_all();
}

void JournalWriter::keepInProgress(std::vector<Play> plays) {
    {
        std::lock_guard lock(mutex_);
        inProgress_ = std::move(plays);
    }
    wake_.notify_all();
}

bool JournalWriter::settle() {
    std::unique_lock lock(mutex_);
    return settled_.wait_for(lock, std::chrono::seconds(2),
                             [this] { return !busy_ && ended_.empty() && !inProgress_; });
}

void JournalWriter::run() {
    pthread_setname_np(pthread_self(), "journal");
    if (const QString failure = store_.recover(QDateTime::currentDateTime()); !failure.isEmpty()) {
        fail(failure, store_.pathOf(QString::fromLatin1(JournalStore::kInProgressName)));
    }
    for (;;) {
        std::deque<Play> ended;
        std::optional<std::vector<Play>> sounding;
        bool quit = false;
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            settled_.notify_all();
            wake_.wait(lock, [this] { return quit_ || !ended_.empty() || inProgress_; });
            busy_ = true;
            ended.swap(ended_);
            sounding.swap(inProgress_);
            quit = quit_;
        }
        for (const Play& play : ended) {
            if (keptLines_ >= kMostKept) break;  // the disk refuses far more than a day
            kept_[dayFileName(play.start)] += playLine(play);
            ++keptLines_;
        }
        writeKept();
        // Only once the lines of the plays that ended are written: a crash
        // in between finds them in the record, never in neither.
        if (sounding) {
            QByteArray lines;
            for (Play& play : *sounding) {
                play.endedBy = EndReason::Interrupted;
                lines += playLine(play);
            }
            if (const QString failure = store_.keepInProgress(lines); !failure.isEmpty()) {
                fail(failure, store_.pathOf(QString::fromLatin1(JournalStore::kInProgressName)));
            }
        }
        if (quit) break;
    }
    std::lock_guard lock(mutex_);
    busy_ = false;
    settled_.notify_all();
}

void JournalWriter::writeKept() {
    for (auto it = kept_.begin(); it != kept_.end(); it = kept_.erase(it)) {
        if (const QString failure = store_.append(it->first, it->second); !failure.isEmpty()) {
            fail(failure, store_.pathOf(it->first));
            return;
        }
        const auto lines =
            static_cast<size_t>(std::count(it->second.begin(), it->second.end(), '\n'));
        keptLines_ -= std::min(keptLines_, lines);
        linesWritten_.fetch_add(lines, std::memory_order_relaxed);
        failing_ = false;
    }
}

void JournalWriter::fail(const QString& reason, const QString& path) {
    if (failing_) return;
    failing_ = true;
    if (failure_) failure_(reason, path);
}

}  // namespace tambrel::journal
