#pragma once

// Records what a sink of the private sound server plays, through its
// monitor, from construction until stop(): what listeners would have heard.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::testing {

class SinkRecorder {
  public:
    // Float stereo at `rate`. ok() is false when the server refused.
    SinkRecorder(const std::string& sink, int rate);
    ~SinkRecorder();
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    bool ok() const { return ok_; }
    int64_t frames() const;
    void stop();
    // Interleaved stereo, all that was recorded.
    std::vector<float> samples() const;

  private:
    void run(void* connection);

    bool ok_ = false;
    std::atomic<bool> quit_{false};
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::thread thread_;
};

}  // namespace tambrel::testing
