#pragma once

// A wake-up of the window's thread that any thread may ring: an eventfd the
// window's event loop watches. Ringing writes to it and waking reads it, so
// what the ringing thread did before (a request queued) is ordered before
// what the window's thread does when woken, by the kernel and in a way
// checkers of thread safety see; nothing made on one thread is handed to
// the other through Qt's event queue. Rings that come while one is pending
// are one wake-up.

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace tambrel::remote {

class QueuedWake {
  public:
    // On the window's thread. Without an eventfd (a process out of file
    // descriptors) rings do nothing, and the caller's own polling remains.
    explicit QueuedWake(std::function<void()> woken);
    ~QueuedWake();
    QueuedWake(const QueuedWake&) = delete;
    QueuedWake& operator=(const QueuedWake&) = delete;

    // Any thread; never blocks.
    void ring();

  private:
    int fd_ = -1;
    std::function<void()> woken_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tambrel::remote
