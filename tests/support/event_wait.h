#pragma once

// Waiting, in window tests, for something that arrives through the window's
// event loop (a queued call, a socket, a timer): the loop turns meanwhile,
// and the wait is bounded so that a fault fails instead of hanging.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>

namespace tambrel::testing {

template <typename Done>
bool turnEventsUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace tambrel::testing
