#include "platform/end_requests.h"

#include <fcntl.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

namespace tambrel::platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
int pipeEnds[2] = {-1, -1};

extern "C" void requestEnd(int signal) {
    const int saved = errno;
    const auto byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

}  // namespace

EndRequests::EndRequests(std::function<void(int)> onEnd) : onEnd_(std::move(onEnd)) {
    if (pipeEnds[0] < 0 && ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        char byte = 0;
        while (::read(pipeEnds[0], &byte, 1) == 1) onEnd_(byte);
    });
    struct sigaction action {};
    action.sa_handler = requestEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int k = 0; k < 3; ++k) sigaction(kSignals[k], &action, &before_[k]);
    // Logging out or shutting down from the desktop: the session manager
    // asks the program to save what it must before it is ended.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QObject::connect(gui, &QGuiApplication::commitDataRequest, notifier_.get(),
                         [this](QSessionManager&) { onEnd_(0); });
    }
}

EndRequests::~EndRequests() {
    if (!notifier_) return;
    for (int k = 0; k < 3; ++k) sigaction(kSignals[k], &before_[k], nullptr);
}

}  // namespace tambrel::platform
