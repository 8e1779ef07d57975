#pragma once

// How much an output keeps queued ahead of its device, following the
// machine: a start waits behind the queue, so it should be small, but a
// queue that runs dry is a hole every listener hears. It grows at once by a
// step for each shortfall seen, up to a ceiling, and gives back a smaller
// step after a long clean stretch, never going below the floor. A shortfall
// soon after giving a step back shows the step was still needed: the clean
// stretch asked before the next one doubles (up to 32 times), so that a
// machine at its limit is not made to gap over and over.

#include <chrono>
#include <cstdint>

namespace tambrel::audio {

class QueueTarget {
  public:
    using Clock = std::chrono::steady_clock;

    struct Steps {
        int floor = 0;
        int ceiling = 0;
        int grow = 0;    // at each shortfall
        int shrink = 0;  // after each clean stretch
        Clock::duration cleanStretch{};
        // Shortfalls this soon after the first look are the stream's own
        // start (a device waking up), not the machine's.
        Clock::duration settle{};
    };

    explicit QueueTarget(const Steps& steps) : steps_(steps), target_(steps.floor) {}

    // `shortfalls`: the count since the output opened. Returns the target,
    // changed or not; the first call starts the clean stretch and the
    // settling time. `cover`: what the output saw the machine needs (the
    // longest wait it lived through since the last call, with its margin);
    // a shortfall grows the queue to it at once, not a step at a time.
    int follow(uint64_t shortfalls, Clock::time_point now, int cover = 0);
    int target() const { return target_; }
    // The clean stretch asked now before the next step back.
    Clock::duration stretch() const { return steps_.cleanStretch * backoff_; }

  private:
    Steps steps_;
    int target_;
    int backoff_ = 1;
    bool started_ = false;
    uint64_t seen_ = 0;
    Clock::time_point since_{};
    Clock::time_point settled_{};
    Clock::time_point lastShrink_{};
    bool shrunk_ = false;
};

}  // namespace tambrel::audio
