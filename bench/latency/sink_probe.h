#pragma once

// What a recorder of a sink's monitor keeps: the captured sound (mono, the
// channels averaged) and, for every captured frame, when it entered the
// sink on the steady clock. Each sound server's recorder feeds it from its
// own thread; the trials read it from theirs.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tambrel::bench {

using Clock = std::chrono::steady_clock;

// A stream playing on the recorded sink, as the server describes it.
struct SinkInput {
    uint32_t index = 0;
    uint32_t sink = 0;
    std::string client;
    uint32_t rate = 0;
    std::string format;
    std::string resampler;
    double bufferMs = 0;  // queued in the stream, not yet taken by the sink
    bool corked = false;
};

class SinkProbe {
  public:
    explicit SinkProbe(int rate);
    virtual ~SinkProbe() = default;
    SinkProbe(const SinkProbe&) = delete;
    SinkProbe& operator=(const SinkProbe&) = delete;

    // The capture's rate, the sink's own, so nothing is resampled on the way in.
    int rate() const { return rate_; }
    // Frames captured so far.
    int64_t frames() const;
    std::vector<float> samples(int64_t from, int64_t to) const;
    // Frames within [from, to) that the capture did not deliver (filled with
    // silence): a silence there is the recorder's loss, not the sink's.
    int64_t missedFrames(int64_t from, int64_t to) const;
    // The first frame in [from, to) louder than `threshold`, or -1.
    int64_t findLoud(int64_t from, int64_t to, float threshold) const;
    // When `frame` entered the sink.
    Clock::time_point timeOf(int64_t frame) const;

    // The streams playing on the recorded sink, where the server tells.
    virtual std::vector<SinkInput> sinkInputs() { return {}; }

    virtual double fragmentMs() const { return fragmentMs_; }
    // The capture latency the server reported, the latest, smallest and
    // largest so far (0 where the time comes from the graph's own clock).
    double latencyMs() const;
    double minLatencyMs() const;
    double maxLatencyMs() const;

  protected:
    // The capture's thread: `count` frames (null `data`: a hole the capture
    // lost) whose first entered the sink at `firstTime`.
    void append(const float* data, size_t count, Clock::time_point firstTime);
    void noteLatency(double ms);
    // Starts the smallest and largest latency from the latest.
    void settleLatency();

    double fragmentMs_ = 0;

  private:
    struct Fragment {
        int64_t firstFrame;
        Clock::time_point firstTime;
    };

    int rate_;
    mutable std::mutex mutex_;  // the capture's thread appends, the trials read
    std::vector<float> samples_;
    std::vector<std::pair<int64_t, int64_t>> missed_;  // holes the capture delivered, [begin, end)
    std::vector<Fragment> fragments_;
    double latencyMs_ = 0;
    double minLatencyMs_ = 1e9;
    double maxLatencyMs_ = 0;
};

}  // namespace tambrel::bench
