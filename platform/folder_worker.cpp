#include "platform/folder_worker.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/file_system.h"

namespace tambrel::platform {

namespace {
FolderWorker::Stamp stampOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            static_cast<uint64_t>(st.st_ino)};
}
}  // namespace

struct FolderWorker::Shared {
    using Clock = std::chrono::steady_clock;

    const QString folder;
    const QString pattern;
    std::mutex mutex;  // never held during a file call
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<std::function<Done()>> jobs;
    std::vector<Done> done;
    uint64_t next = 1;
    bool quit = false;
    bool listAsked = true;
    bool stopped = false;
    std::optional<QStringList> list;  // the last listing
    bool listTaken = false;
    uint64_t asked = 0;   // listings asked for
    uint64_t listed = 0;  // the last asked for when the last listing began

    Shared(QString f, QString p) : folder(std::move(f)), pattern(std::move(p)) {}

    QString path(const QString& name) const { return folder + u'/' + name; }

    uint64_t post(std::function<Done()> job) {
        uint64_t ticket = 0;
        {
            const std::lock_guard lock(mutex);
            ticket = next++;
            jobs.push_back([job = std::move(job), ticket] {
                Done result = job();
                result.ticket = ticket;
                return result;
            });
        }
        wake.notify_all();
        return ticket;
    }

    void run() {
        Clock::time_point nextList = Clock::now();
        for (;;) {
            std::function<Done()> job;
            bool listing = false;
            uint64_t serving = 0;
            {
                std::unique_lock lock(mutex);
                wake.wait_until(lock, nextList,
                                [this] { return quit || listAsked || !jobs.empty(); });
                if (quit) break;
                if (!jobs.empty()) {
                    job = std::move(jobs.front());
                    jobs.pop_front();
                } else {
                    listing = true;
                    listAsked = false;
                    serving = asked;
                }
            }
            if (job) {
                Done result = job();
                const std::lock_guard lock(mutex);
                done.push_back(std::move(result));
                finished.notify_all();
                continue;
            }
            if (!listing) continue;
            // Plain files only, as a file list shows them: no folders, no hidden files.
            QStringList names = QDir(folder).entryList({pattern}, QDir::Files | QDir::Readable,
                                                       QDir::Name | QDir::IgnoreCase);
            nextList = Clock::now() + kPoll;
            const std::lock_guard lock(mutex);
            if (!list || *list != names) {
                list = std::move(names);
                listTaken = false;
            }
            listed = serving;
            finished.notify_all();
        }
        const std::lock_guard lock(mutex);
        stopped = true;
        finished.notify_all();
    }
};

FolderWorker::FolderWorker(const QString& folder, const QString& pattern)
    : shared_(std::make_shared<Shared>(folder, pattern)) {
    std::thread([shared = shared_] { shared->run(); }).detach();
}

FolderWorker::~FolderWorker() {
    std::unique_lock lock(shared_->mutex);
    shared_->quit = true;
    shared_->wake.notify_all();
    // One in no file call ends at once; one held by a share is left.
    shared_->finished.wait_for(lock, std::chrono::milliseconds(200),
                               [this] { return shared_->stopped; });
}

std::optional<QStringList> FolderWorker::takeList() {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->list || shared_->listTaken) return std::nullopt;
    shared_->listTaken = true;
    return shared_->list;
}

void FolderWorker::listNow() {
    {
        const std::lock_guard lock(shared_->mutex);
        ++shared_->asked;
        shared_->listAsked = true;
    }
    shared_->wake.notify_all();
}

bool FolderWorker::awaitList(std::chrono::milliseconds wait) {
    std::unique_lock lock(shared_->mutex);
    const uint64_t wanted = ++shared_->asked;
    shared_->listAsked = true;
    shared_->wake.notify_all();
    return shared_->finished.wait_for(lock, wait, [&] { return shared_->listed >= wanted; });
}

uint64_t FolderWorker::read(const QString& name) {
    return shared_->post([shared = shared_.get(), name] {
        Done result;
        result.kind = Done::Kind::Read;
        result.name = name;
        const QString path = shared->path(name);
        result.stamp = stampOf(path);
        readFileBytes(path, result.bytes, result.failure);
        return result;
    });
}

uint64_t FolderWorker::write(const QString& name, const QByteArray& bytes,
                             std::optional<Stamp> expected) {
    return shared_->post([shared = shared_.get(), name, bytes, expected] {
        Done result;
        result.kind = Done::Kind::Write;
        result.name = name;
        const QString path = shared->path(name);
        result.stamp = stampOf(path);
        if (expected && result.stamp != *expected) {
            result.changedElsewhere = true;
            return result;
        }
        if (writeFileAtomically(path, bytes, result.failure)) result.stamp = stampOf(path);
        return result;
    });
}

uint64_t FolderWorker::remove(const QString& name) {
    return shared_->post([shared = shared_.get(), name] {
        Done result;
        result.kind = Done::Kind::Remove;
        result.name = name;
        deleteFile(shared->path(name), result.failure);
        return result;
    });
}

std::vector<FolderWorker::Done> FolderWorker::take(std::chrono::milliseconds wait) {
    std::unique_lock lock(shared_->mutex);
    if (wait.count() > 0) {
        shared_->finished.wait_for(lock, wait, [this] { return !shared_->done.empty(); });
    }
    return std::exchange(shared_->done, {});
}

}  // namespace tambrel::platform
