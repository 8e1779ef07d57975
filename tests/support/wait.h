#pragma once

// Waiting, in tests, for something another thread does: a bounded poll, so
// that a fault shows as a failed check instead of a test that never ends.

#include <chrono>
#include <thread>

namespace tambrel::testing {

// Polls `done` every `step` until it holds or `limit` has passed; its last answer.
template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds limit,
               std::chrono::microseconds step = std::chrono::microseconds(200)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace tambrel::testing
