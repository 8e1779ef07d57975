#pragma once

// Pulls every open null output in real time, one period at a time, as a
// sound card would: the default device, "Studio" and "Cue".

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/null_output.h"

namespace tambrel::bench {

class NullPuller {
  public:
    NullPuller(audio::NullBackend& backend, int periodFrames, int rate)
        : backend_(backend), period_(periodFrames), rate_(rate), thread_([this] { run(); }) {}
    ~NullPuller() {
        quit_ = true;
        thread_.join();
    }
    NullPuller(const NullPuller&) = delete;
    NullPuller& operator=(const NullPuller&) = delete;
    int lateWakeups() const { return late_.load(); }

  private:
    void run() {
        pthread_setname_np(pthread_self(), "puller");
        std::vector<float> buffer(static_cast<size_t>(period_) * 2);
        const auto step = std::chrono::nanoseconds(int64_t{period_} * 1'000'000'000 / rate_);
        auto next = std::chrono::steady_clock::now();
        while (!quit_) {
            next += step;
            std::this_thread::sleep_until(next);
            if (std::chrono::steady_clock::now() - next > step) ++late_;
            for (const std::optional<std::string>& name :
                 {std::optional<std::string>(), std::optional<std::string>("Studio"),
                  std::optional<std::string>("Cue")}) {
                if (audio::NullOutput* output = backend_.output(name)) {
                    output->render(buffer.data(), period_);
                }
            }
        }
    }
    audio::NullBackend& backend_;
    const int period_;
    const int rate_;
    std::atomic<bool> quit_{false};
    std::atomic<int> late_{0};
    std::thread thread_;
};

}  // namespace tambrel::bench
