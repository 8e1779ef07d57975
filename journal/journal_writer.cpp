#include "journal/journal_writer.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>

namespace tambrel::journal {

namespace {
// How often what the disk refused is tried again when nothing else comes.
constexpr auto kRetry = std::chrono::seconds(2);
}  // namespace

JournalWriter::JournalWriter(QString folder, Failure failure, Unlogged unlogged)
    : store_(std::move(folder)),
      failure_(std::move(failure)),
      unlogged_(std::move(unlogged)),
      startedAt_(QDateTime::currentDateTime()) {
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
    bool quit = false;
    for (;;) {
        // The recovery comes first, and is tried again until it is done.
        if (!recovered_) {
            const QString failure = store_.recover(startedAt_);
            recovered_ = failure.isEmpty();
            if (!recovered_) fail(failure, recordPath());
        }
        writeKept();
        // Only once the lines of the plays that ended are written: a crash
        // in between finds them in the record, never in neither.
        writeRecord();
        const bool pending = !recovered_ || !kept_.empty() || record_;
        if (!pending) failing_ = false;  // the episode is over
        if (quit) break;

        std::deque<Play> ended;
        std::optional<std::vector<Play>> sounding;
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            settled_.notify_all();
            const auto due = [this] { return quit_ || !ended_.empty() || inProgress_; };
            if (pending) {
                wake_.wait_for(lock, kRetry, due);
            } else {
                wake_.wait(lock, due);
            }
            busy_ = true;
            ended.swap(ended_);
            sounding.swap(inProgress_);
            quit = quit_;
        }
        for (const Play& play : ended) keep(play);
        if (sounding) {
            QByteArray lines;
            for (Play& play : *sounding) {
                play.endedBy = EndReason::Interrupted;
                lines += playLine(play);
            }
            record_ = std::move(lines);
        }
    }
    std::lock_guard lock(mutex_);
    busy_ = false;
    settled_.notify_all();
}

void JournalWriter::keep(const Play& play) {
    Kept& day = kept_[dayFileName(play.start)];
    if (keptLines_ < kMostKept) {
        day.lines += playLine(play);
        ++day.count;
        ++keptLines_;
        return;
    }
    // The disk has refused far more than a day's plays: of the others, only
    // how many there were and when.
    if (day.unlogged++ == 0) {
        day.firstUnlogged = play.start;
        day.lastUnlogged = play.end;
    }
    day.firstUnlogged = std::min(day.firstUnlogged, play.start);
    day.lastUnlogged = std::max(day.lastUnlogged, play.end);
}

void JournalWriter::writeKept() {
    uint64_t unlogged = 0;
    for (auto it = kept_.begin(); it != kept_.end(); it = kept_.erase(it)) {
        const Kept& day = it->second;
        const QByteArray lines =
            day.unlogged == 0
                ? day.lines
                : day.lines + unloggedLine(day.unlogged, day.firstUnlogged, day.lastUnlogged);
        if (const QString failure = store_.append(it->first, lines); !failure.isEmpty()) {
            fail(failure, store_.pathOf(it->first));
            break;
        }
        keptLines_ -= day.count;
        linesWritten_.fetch_add(day.count, std::memory_order_relaxed);
        unlogged += day.unlogged;
    }
    if (unlogged > 0 && unlogged_) unlogged_(unlogged);
}

void JournalWriter::writeRecord() {
    if (!record_ || !recovered_) return;
    if (const QString failure = store_.keepInProgress(*record_); !failure.isEmpty()) {
        fail(failure, recordPath());
        return;
    }
    record_.reset();
}

QString JournalWriter::recordPath() const {
    return store_.pathOf(QString::fromLatin1(JournalStore::kInProgressName));
}

void JournalWriter::fail(const QString& reason, const QString& path) {
    if (failing_) return;
    failing_ = true;
    if (failure_) failure_(reason, path);
}

}  // namespace tambrel::journal
