#include "remote/queued_wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace tambrel::remote {

QueuedWake::QueuedWake(std::function<void()> woken)
    : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), woken_(std::move(woken)) {
    if (fd_ < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        uint64_t rings = 0;
        if (read(fd_, &rings, sizeof rings) == static_cast<ssize_t>(sizeof rings)) woken_();
    });
}

QueuedWake::~QueuedWake() {
    notifier_.reset();
    if (fd_ >= 0) close(fd_);
}

void QueuedWake::ring() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // Fails only when the counter is full, when a wake-up is pending anyway.
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

}  // namespace tambrel::remote
