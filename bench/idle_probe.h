#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace tambrel::bench {

// Threads with nothing to do, one held on each core, that ask to sleep 1 ms
// at a time: how late the machine wakes them. They ask for real-time
// scheduling where allowed, so that a late wake-up cannot be a busy core: a
// stall of the window's thread, or a hole at the sink, that coincides with
// one is the machine's (another process, a virtual core the hypervisor did
// not run), not the program's. One per core, because a virtual core that is
// not run stalls only what it holds.
class IdleProbe {
  public:
    static constexpr auto kNoted = std::chrono::milliseconds(5);
    using Clock = std::chrono::steady_clock;

    IdleProbe() {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned core = 0; core < cores; ++core) {
            threads_.emplace_back([this, core] { run(core); });
        }
    }
    ~IdleProbe() {
        quit_ = true;
        for (std::thread& thread : threads_) thread.join();
    }
    IdleProbe(const IdleProbe&) = delete;
    IdleProbe& operator=(const IdleProbe&) = delete;

    bool realtime() const { return realtime_.load(); }
    double worstLateMs() const { return static_cast<double>(worstLateUs_.load()) / 1000.0; }
    // The worst late wake-up (over kNoted) whose oversleep overlaps [from, to].
    double lateDuringMs(Clock::time_point from, Clock::time_point to) const {
        std::lock_guard lock(mutex_);
        double worst = 0;
        for (const Late& late : lates_) {
            if (late.dueAt < to && late.wokeAt > from) worst = std::max(worst, late.ms);
        }
        return worst;
    }
    // How many wake-ups were later than `ms` (of those still remembered).
    int countLaterThan(double ms) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(lates_.begin(), lates_.end(),
                                              [ms](const Late& late) { return late.ms > ms; }));
    }

  private:
    struct Late {
        Clock::time_point dueAt, wokeAt;
        double ms;
    };
    void run(unsigned core) {
        pthread_setname_np(pthread_self(), "idle-probe");
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(core, &only);
        pthread_setaffinity_np(pthread_self(), sizeof only, &only);
        sched_param param{};
        param.sched_priority = 1;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) realtime_ = true;
        constexpr auto kStep = std::chrono::milliseconds(1);
        while (!quit_) {
            const auto due = Clock::now() + kStep;
            std::this_thread::sleep_for(kStep);
            const auto woke = Clock::now();
            const auto late = std::chrono::duration_cast<std::chrono::microseconds>(woke - due);
            int64_t worst = worstLateUs_.load();
            while (late.count() > worst &&
                   !worstLateUs_.compare_exchange_weak(worst, late.count())) {
            }
            if (late > kNoted) {
                std::lock_guard lock(mutex_);
                lates_.push_back({due, woke, static_cast<double>(late.count()) / 1000.0});
                if (lates_.size() > 5000) lates_.pop_front();
            }
        }
    }
    mutable std::mutex mutex_;
    std::deque<Late> lates_;
    std::atomic<int64_t> worstLateUs_{0};
    std::atomic<bool> realtime_{false};
    std::atomic<bool> quit_{false};
    std::vector<std::thread> threads_;
};

}  // namespace tambrel::bench
