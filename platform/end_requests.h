#pragma once

// The requests to end that come from outside the window: SIGTERM, SIGHUP
// and SIGINT (a scheduled shutdown, a closed terminal, Ctrl+C) and the end
// of the desktop session. Each reaches `onEnd` on the window's thread, from
// the event loop, never inside a signal handler: the handler only writes a
// byte into a pipe that the event loop watches.

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tambrel::platform {

class EndRequests {
  public:
    // `onEnd` is given the signal number, or 0 for the desktop session's end.
    explicit EndRequests(std::function<void(int signal)> onEnd);
    // The signals go back to how they were handled before.
    ~EndRequests();
    EndRequests(const EndRequests&) = delete;
    EndRequests& operator=(const EndRequests&) = delete;

  private:
    std::function<void(int)> onEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction before_[3] = {};
};

}  // namespace tambrel::platform
