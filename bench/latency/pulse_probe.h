#pragma once

// Records a sink's monitor through libpulse in fragments of about 1 ms (or as
// asked) and
// knows, for every captured frame, when it entered the sink on the steady
// clock: the fragment's arrival time less the frames after it and the
// capture latency libpulse reports. Also lists the sink's playback streams,
// to tell what each player sent (rate, format, resampling, buffering); a
// loaded run has other players on other sinks of the same server.

#include <pulse/context.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/latency/sink_probe.h"

namespace tambrel::bench {

class PulseProbe final : public SinkProbe {
  public:
    static constexpr int kRate = 44100;

    // Records `source` (a sink's monitor) at `rate`, in fragments of
    // `fragmentUsec`, for which it asks the source's latency: a short one
    // also sets the sink's buffer, a long one leaves that to the players.
    // Throws when it cannot within a few seconds.
    explicit PulseProbe(const std::string& source, int rate = kRate, uint32_t fragmentUsec = 1000);
    ~PulseProbe() override;
    PulseProbe(const PulseProbe&) = delete;
    PulseProbe& operator=(const PulseProbe&) = delete;

    std::vector<SinkInput> sinkInputs() override;

  private:
    void open(const std::string& source, uint32_t fragmentUsec);
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
};

}  // namespace tambrel::bench
