#include "playback/loudness_meter.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/file_system.h"

namespace tambrel::playback {
namespace {
using audio::Loudness;

// A cache that grew past this forgets its oldest half: files long gone.
constexpr size_t kMostKept = 20000;

QByteArray number(double value) {
    return QByteArray::number(value, 'f', 2);
}

bool readDouble(const QByteArray& field, double& value) {
    bool ok = false;
    value = field.toDouble(&ok);
    return ok && std::isfinite(value);
}
}  // namespace

QByteArray writeLoudnessLines(const std::vector<LoudnessMeter::Result>& results) {
    QByteArray out;
    for (const LoudnessMeter::Result& result : results) {
        const Loudness& loudness = result.loudness;
        if (loudness.kind == Loudness::Kind::Unreadable) continue;
        // A name with a tab or a line end cannot be told from the fields.
        if (result.path.contains('\t') || result.path.contains('\n') ||
            result.path.contains('\r')) {
            continue;
        }
        const QByteArray lufs = loudness.kind == Loudness::Kind::TooShort ? "court"
                                : loudness.kind == Loudness::Kind::Silent ? "silence"
                                                                          : number(loudness.lufs);
        out += result.path + '\t' + QByteArray::number(result.stamp.size) + '\t' +
               QByteArray::number(result.stamp.modified) + '\t' + lufs + '\t' +
               number(loudness.lra) + '\t' + number(loudness.peak) + '\n';
    }
    return out;
}

std::vector<LoudnessMeter::Result> readLoudnessLines(const QByteArray& bytes) {
    std::vector<LoudnessMeter::Result> results;
    for (const QByteArray& line : bytes.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 6 || fields[0].isEmpty()) continue;
        LoudnessMeter::Result result;
        result.path = fields[0];
        bool sized = false, dated = false;
        result.stamp.size = fields[1].toLongLong(&sized);
        result.stamp.modified = fields[2].toLongLong(&dated);
        Loudness& loudness = result.loudness;
        if (fields[3] == "court") {
            loudness.kind = Loudness::Kind::TooShort;
        } else if (fields[3] == "silence") {
            loudness.kind = Loudness::Kind::Silent;
        } else if (readDouble(fields[3], loudness.lufs)) {
            loudness.kind = Loudness::Kind::Measured;
        }
        if (!sized || !dated || result.stamp.size < 0 ||
            loudness.kind == Loudness::Kind::Unreadable || !readDouble(fields[4], loudness.lra) ||
            !readDouble(fields[5], loudness.peak)) {
            continue;
        }
        results.push_back(std::move(result));
    }
    return results;
}

struct LoudnessMeter::Shared {
    struct Kept {
        Stamp stamp;
        Loudness loudness;
        uint64_t order = 0;
    };
    audio::SourceOpener opener = audio::openSndfile;
    mutable std::mutex mutex;  // never held during a file call
    std::condition_variable work;
    std::condition_variable finished;
    std::deque<std::pair<QByteArray, Stamp>> queue;
    std::vector<Result> results;
    QString folder;      // asked for
    QString keptFolder;  // whose figures `kept` holds
    bool keptRead = false;
    bool dirty = false;  // measured since `kept` was written
    bool busy = false;
    bool quit = false;
    bool running = true;
    int measures = 0;
    std::atomic<bool> stop{false};

    // The worker's alone.
    std::map<QByteArray, Kept> kept;
    uint64_t order = 0;

    static QString cachePath(const QString& folder) {
        return folder + u'/' + QLatin1String(kCacheName);
    }
    void readKept(const QString& folder) {
        kept.clear();
        if (folder.isEmpty()) return;
        QByteArray bytes;
        QString failure;
        // Missing, unreadable or damaged: what can be read is kept, the rest measured again.
        if (!platform::readFileBytes(cachePath(folder), bytes, failure)) return;
        for (Result& result : readLoudnessLines(bytes)) {
            kept[result.path] = {result.stamp, result.loudness, ++order};
        }
    }
    void writeKept(const QString& folder) {
        if (folder.isEmpty()) return;
        if (kept.size() > kMostKept) {
            std::vector<std::pair<uint64_t, QByteArray>> byAge;
            for (const auto& [path, entry] : kept) byAge.emplace_back(entry.order, path);
            std::sort(byAge.begin(), byAge.end());
            for (size_t i = 0; i < byAge.size() / 2; ++i) kept.erase(byAge[i].second);
        }
        std::vector<Result> lines;
        lines.reserve(kept.size());
        for (const auto& [path, entry] : kept) lines.push_back({path, entry.stamp, entry.loudness});
        QString failure;
        // A folder that takes no file keeps the figures for this run only.
        platform::writeFileAtomically(cachePath(folder), writeLoudnessLines(lines), failure);
    }
    Loudness measure(const QByteArray& path, Stamp stamp, bool& measured) {
        const auto found = kept.find(path);
        if (found != kept.end() && found->second.stamp == stamp) return found->second.loudness;
        measured = true;
        const Loudness loudness = audio::measureLoudness(path.toStdString(), opener, &stop);
        if (loudness.kind != Loudness::Kind::Unreadable) kept[path] = {stamp, loudness, ++order};
        return loudness;
    }
};

namespace {
void serve(const std::shared_ptr<LoudnessMeter::Shared>& shared) {
    // The lowest priority: loads, presses and the window come first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->work.wait(lock, [&] {
            return shared->quit || !shared->queue.empty() || !shared->keptRead ||
                   shared->folder != shared->keptFolder || shared->dirty;
        });
        if (shared->quit) break;
        shared->busy = true;
        const QString folder = shared->keptFolder;
        if (shared->folder != folder || !shared->keptRead) {
            const QString next = shared->folder;
            const bool flush = shared->dirty;
            lock.unlock();
            if (flush) shared->writeKept(folder);
            shared->readKept(next);
            lock.lock();
            shared->keptFolder = next;
            shared->keptRead = true;
            shared->dirty = false;
        } else if (shared->queue.empty()) {
            shared->dirty = false;
            lock.unlock();
            shared->writeKept(folder);
            lock.lock();
        } else {
            auto [path, stamp] = std::move(shared->queue.front());
            shared->queue.pop_front();
            lock.unlock();
            bool measured = false;
            LoudnessMeter::Result result{path, stamp, shared->measure(path, stamp, measured)};
            lock.lock();
            shared->measures += measured ? 1 : 0;
            shared->dirty |= measured && result.loudness.kind != audio::Loudness::Kind::Unreadable;
            shared->results.push_back(std::move(result));
        }
        shared->busy = false;
        shared->finished.notify_all();
    }
    shared->running = false;
    shared->finished.notify_all();
}
}  // namespace

LoudnessMeter::LoudnessMeter(audio::SourceOpener opener) : shared_(std::make_shared<Shared>()) {
    shared_->opener = opener;
    std::thread([shared = shared_] { serve(shared); }).detach();
}

LoudnessMeter::~LoudnessMeter() {
    std::unique_lock lock(shared_->mutex);
    shared_->quit = true;
    shared_->stop = true;
    shared_->work.notify_all();
    shared_->finished.wait_for(lock, std::chrono::seconds(2), [this] { return !shared_->running; });
}

void LoudnessMeter::setFolder(const QString& nativeFolder) {
    const std::lock_guard lock(shared_->mutex);
    shared_->folder = nativeFolder;
    shared_->work.notify_all();
}

void LoudnessMeter::submit(const QByteArray& nativePath, Stamp stamp) {
    const std::lock_guard lock(shared_->mutex);
    shared_->queue.emplace_back(nativePath, stamp);
    shared_->work.notify_all();
}

std::vector<LoudnessMeter::Result> LoudnessMeter::take() {
    const std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->results, {});
}

int LoudnessMeter::measures() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->measures;
}

bool LoudnessMeter::idle() const {
    const std::lock_guard lock(shared_->mutex);
    return !shared_->busy && shared_->queue.empty() && !shared_->dirty && shared_->keptRead &&
           shared_->folder == shared_->keptFolder;
}

}  // namespace tambrel::playback
