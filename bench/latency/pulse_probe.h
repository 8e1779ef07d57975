#pragma once

// Records a sink's monitor through libpulse in fragments of about 1 ms and
// knows, for every captured frame, when it entered the sink on the steady
// clock: the fragment's arrival time less the frames after it and the
// capture latency libpulse reports. Also lists the sink's playback streams,
// to tell what each player sent (rate, format, resampling, buffering); a
// loaded run has other players on other sinks of the same server.

#include <pulse/context.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tambrel::bench {

using Clock = std::chrono::steady_clock;

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

class PulseProbe {
  public:
    // Capture runs at the sink's rate, so nothing is resampled on the way in.
    static constexpr int kRate = 44100;

    // Records `source` (a sink's monitor). Throws when it cannot within a few seconds.
    explicit PulseProbe(const std::string& source);
    ~PulseProbe();
    PulseProbe(const PulseProbe&) = delete;
    PulseProbe& operator=(const PulseProbe&) = delete;

    // Frames captured so far (mono, the channels averaged).
    int64_t frames() const;
    std::vector<float> samples(int64_t from, int64_t to) const;
    // The first frame in [from, to) louder than `threshold`, or -1.
    // Frames within [from, to) that the capture did not deliver (filled with
    // silence): a silence there is the recorder's loss, not the sink's.
    int64_t missedFrames(int64_t from, int64_t to) const;
    int64_t findLoud(int64_t from, int64_t to, float threshold) const;
    // When `frame` entered the sink.
    Clock::time_point timeOf(int64_t frame) const;

    // The streams playing on the recorded sink.
    std::vector<SinkInput> sinkInputs();

    double fragmentMs() const { return fragmentMs_; }
    // The capture latency libpulse reported, smallest and largest so far.
    double latencyMs() const;  // the latest
    double minLatencyMs() const;
    double maxLatencyMs() const;

  private:
    struct Fragment {
        int64_t firstFrame;
        Clock::time_point firstTime;
    };

    void open(const std::string& source);
    void close();
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    void take(pa_stream* stream);
    // With the loop locked: lets the loop run until `done` or the limit.
    template <typename Done>
    bool waitLocked(Done done, std::chrono::milliseconds limit);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    uint32_t sink_ = PA_INVALID_INDEX;  // the one whose monitor is recorded
    double fragmentMs_ = 0;

    mutable std::mutex mutex_;  // the loop's thread appends, the main thread reads
    std::vector<float> samples_;
    std::vector<std::pair<int64_t, int64_t>> missed_;  // holes the capture delivered, [begin, end)
    std::vector<Fragment> fragments_;
    double latencyMs_ = 0;
    double minLatencyMs_ = 1e9;
    double maxLatencyMs_ = 0;
};

}  // namespace tambrel::bench
