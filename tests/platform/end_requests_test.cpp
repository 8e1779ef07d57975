// Requests to end from outside reach the program on its event loop, never
// inside a signal handler, and the signals are handled as before after.

#include "platform/end_requests.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <vector>

#include "tests/support/wait.h"

namespace tambrel::platform {
namespace {

using namespace std::chrono_literals;

sighandler_t current(int signal) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

TEST(EndRequests, TermHangUpAndInterruptArriveOnTheEventLoopInTheirOrder) {
    const sighandler_t term = current(SIGTERM);
    const sighandler_t interrupt = current(SIGINT);
    std::vector<int> received;
    {
        const EndRequests requests([&](int signal) { received.push_back(signal); });
        std::raise(SIGTERM);
        std::raise(SIGHUP);
        std::raise(SIGINT);
        EXPECT_TRUE(received.empty());  // nothing runs inside the handler's call
        testing::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return received.size() == 3;
            },
            5s, 1ms);
        EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
    }
    // As they were, whoever had set them.
    EXPECT_EQ(current(SIGTERM), term);
    EXPECT_EQ(current(SIGINT), interrupt);
}

}  // namespace
}  // namespace tambrel::platform
