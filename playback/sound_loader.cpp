#include "playback/sound_loader.h"

#include <sys/stat.h>

#include <QFile>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "platform/audio/sound.h"

namespace tambrel::playback {
namespace {
// The mount table is read again before the files asked for since it was
// last read are placed, and this often: a share mounted meanwhile is told
// apart from the disk it lies on.
constexpr std::chrono::seconds kMountsAge{5};
// A thread waiting for work looks again this often, to refuse a file on a
// mount that has stopped answering meanwhile.
constexpr std::chrono::milliseconds kLook{200};

// "\040" and the like, as the kernel writes spaces in mount points.
QByteArray unescape(const std::string& field) {
    QByteArray out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// procfs answers from the kernel's memory, never from a share.
std::vector<QByteArray> readMounts() {
    std::vector<QByteArray> mounts;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
            if (i == 4) mounts.push_back(unescape(field));
        }
    }
    return mounts;
}
}  // namespace

struct SoundLoader::Shared {
    struct Job {
        uint64_t ticket = 0;
        Request request;
        QByteArray mount;
        bool placed = false;  // mount found
    };
    struct Running {
        uint64_t ticket = 0;
        QByteArray mount;
        Clock::time_point since;
    };

    mutable std::mutex mutex;  // never held during a file call
    std::condition_variable work;
    std::condition_variable finished;
    std::deque<Job> queue;
    std::vector<Running> running;
    std::vector<Result> results;
    uint64_t next = 1;
    bool quit = false;
    int threads = 0;
    std::vector<QByteArray> mounts;
    Clock::time_point mountsRead{};
    bool mountsStale = true;  // files asked for since it was read
    bool readingMounts = false;

    // Under the lock: the next job a thread may take, the files refused on
    // the way put with the results.
    bool pick(Job& taken, Clock::time_point now) {
        for (auto job = queue.begin(); job != queue.end();) {
            if (!job->placed) {
                const QString native = job->request.drives->toNative(job->request.path);
                job->mount = mountOf(QFile::encodeName(native), mounts);
                job->placed = true;
            }
            int held = 0;
            bool answering = false;
            for (const Running& run : running) {
                if (run.mount != job->mount) continue;
                ++held;
                answering |= now - run.since < kNoAnswer;
            }
            if (held < kPerMount) {
                taken = std::move(*job);
                queue.erase(job);
                return true;
            }
            if (!answering) {
                Result refused;
                refused.ticket = job->ticket;
                refused.voice = job->request.voice;
                refused.unanswered = QFile::decodeName(job->mount);
                results.push_back(std::move(refused));
                finished.notify_all();
                job = queue.erase(job);
                continue;
            }
            ++job;
        }
        return false;
    }
};

namespace {
void serve(const std::shared_ptr<SoundLoader::Shared>& shared) {
    using Clock = SoundLoader::Clock;
    for (;;) {
        SoundLoader::Shared::Job job;
        {
            std::unique_lock lock(shared->mutex);
            bool taken = false;
            while (!shared->quit && !taken) {
                const bool stale =
                    shared->mountsStale || Clock::now() - shared->mountsRead > kMountsAge;
                if (stale && !shared->readingMounts) {
                    shared->readingMounts = true;
                    shared->mountsStale = false;
                    shared->mountsRead = Clock::now();
                    lock.unlock();
                    std::vector<QByteArray> mounts = readMounts();
                    lock.lock();
                    shared->mounts = std::move(mounts);
                    shared->readingMounts = false;
                    shared->work.notify_all();
                    continue;
                }
                // No file is placed by the old table while the new one is read.
                taken = !shared->readingMounts && shared->pick(job, Clock::now());
                if (!taken) shared->work.wait_for(lock, kLook);
            }
            if (shared->quit) break;
            shared->running.push_back({job.ticket, job.mount, Clock::now()});
        }
        SoundLoader::Result result;
        result.ticket = job.ticket;
        result.voice = job.request.voice;
        result.located = job.request.drives->locate(job.request.path);
        result.sound =
            audio::Sound::load(result.located.toStdString(), job.request.rate, job.request.opener);
        struct stat st {};
        const bool found = ::stat(result.located.constData(), &st) == 0;
        // A broken link is missing too.
        result.missing = !result.sound->playable() && !found;
        if (found) {
            result.size = st.st_size;
            result.modified = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
        }
        const std::lock_guard lock(shared->mutex);
        std::erase_if(shared->running, [&](const auto& run) { return run.ticket == job.ticket; });
        shared->results.push_back(std::move(result));
        shared->finished.notify_all();
        shared->work.notify_all();  // its mount has room again
    }
    const std::lock_guard lock(shared->mutex);
    --shared->threads;
    shared->finished.notify_all();
}
}  // namespace

SoundLoader::SoundLoader() : shared_(std::make_shared<Shared>()) {
    shared_->threads = kThreads;
    for (int i = 0; i < kThreads; ++i) std::thread([shared = shared_] { serve(shared); }).detach();
}

SoundLoader::~SoundLoader() {
    std::unique_lock lock(shared_->mutex);
    shared_->quit = true;
    shared_->queue.clear();
    shared_->work.notify_all();
    // The threads in no file call end at once; one held by a share is left.
    shared_->finished.wait_for(lock, std::chrono::seconds(2), [this] {
        return shared_->threads == static_cast<int>(shared_->running.size());
    });
}

uint64_t SoundLoader::submit(Request request) {
    uint64_t ticket = 0;
    {
        const std::lock_guard lock(shared_->mutex);
        ticket = shared_->next++;
        shared_->queue.push_back({ticket, std::move(request), {}, false});
        shared_->mountsStale = true;
    }
    shared_->work.notify_one();
    return ticket;
}

std::vector<SoundLoader::Result> SoundLoader::take(std::chrono::milliseconds wait) {
    std::unique_lock lock(shared_->mutex);
    if (wait.count() > 0) {
        shared_->finished.wait_for(lock, wait, [this] { return !shared_->results.empty(); });
    }
    return std::exchange(shared_->results, {});
}

QString SoundLoader::unanswered(uint64_t ticket) const {
    const std::lock_guard lock(shared_->mutex);
    for (const Shared::Running& run : shared_->running) {
        if (run.ticket == ticket && Clock::now() - run.since >= kNoAnswer)
            return QFile::decodeName(run.mount);
    }
    return {};
}

size_t SoundLoader::pending() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->queue.size() + shared_->running.size() + shared_->results.size();
}

QByteArray SoundLoader::mountOf(const QByteArray& nativePath,
                                const std::vector<QByteArray>& mounts) {
    QByteArray best = "/";
    for (const QByteArray& mount : mounts) {
        const bool under =
            nativePath == mount || (nativePath.startsWith(mount) &&
                                    (mount.endsWith('/') || nativePath.at(mount.size()) == '/'));
        if (under && mount.size() > best.size()) best = mount;
    }
    return best;
}

}  // namespace tambrel::playback
