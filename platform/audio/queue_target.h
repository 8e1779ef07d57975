#pragma once

// How much an output keeps queued ahead of its device, following the
// machine: a start waits behind the queue, so it should be small, but a
// queue that runs dry is a hole every listener hears. It grows one step at
// once for each shortfall seen, up to a ceiling, and gives a step back after
// a long clean stretch, never going below the floor.

#include <chrono>
#include <cstdint>

namespace tambrel::audio {

class QueueTarget {
  public:
    using Clock = std::chrono::steady_clock;

    QueueTarget(int floor, int ceiling, int step, Clock::duration cleanStretch)
        : floor_(floor),
          ceiling_(ceiling),
          step_(step),
          cleanStretch_(cleanStretch),
          target_(floor) {}

    // `shortfalls`: the count since the output opened. Returns the target,
    // changed or not; the first call only starts the clean stretch.
    int follow(uint64_t shortfalls, Clock::time_point now);
    int target() const { return target_; }

  private:
    int floor_, ceiling_, step_;
    Clock::duration cleanStretch_;
    int target_;
    bool started_ = false;
    uint64_t seen_ = 0;
    Clock::time_point since_{};
};

}  // namespace tambrel::audio
