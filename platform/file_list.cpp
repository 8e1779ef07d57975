#include "platform/file_list.h"

#include <algorithm>
#include <vector>

#include "platform/path_form.h"

namespace tambrel::platform {
namespace {
constexpr int kPollMs = 20;
}  // namespace

FileListBox::FileListBox() {
    timer_.setInterval(kPollMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
}

FileListBox::~FileListBox() = default;

void FileListBox::setPath(const QString& systemPath) {
    if (systemPath == path_) return;
    path_ = systemPath;
    names_.clear();
    restart();
    if (PathChange) PathChange();
    Refresh();
}

void FileListBox::setPattern(const QString& pattern) {
    pattern_ = pattern;
    if (folder_) restart();
    Refresh();
}

void FileListBox::restart() {
    folder_ = std::make_unique<FolderWorker>(toNativePath(path_), pattern_);
    timer_.start();
}

void FileListBox::Refresh() {
    if (!folder_) return;
    if (Wait.count() > 0) {
        folder_->awaitList(Wait);
        poll();
    } else {
        folder_->listNow();
    }
}

void FileListBox::Run(uint64_t ticket) {
    if (!folder_ || Wait.count() <= 0) return;
    const auto deadline = std::chrono::steady_clock::now() + Wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const std::vector<FolderWorker::Done> done = folder_->take(std::max(left, {}));
        for (const FolderWorker::Done& each : done) {
            if (Done) Done(each);
        }
        if (left.count() <= 0 || std::any_of(done.begin(), done.end(), [ticket](const auto& each) {
                return each.ticket == ticket;
            })) {
            return;
        }
    }
}

void FileListBox::poll() {
    if (!folder_) return;
    if (std::optional<QStringList> names = folder_->takeList(); names && *names != names_) {
        names_ = std::move(*names);
        if (PathChange) PathChange();
    }
    for (const FolderWorker::Done& each : folder_->take()) {
        if (Done) Done(each);
    }
}

}  // namespace tambrel::platform
