#pragma once

// The sound server's devices through libpulse's asynchronous API (a
// PulseAudio server, or PipeWire's server for PulseAudio clients): one
// playback stream per output, float stereo, its write requests running the
// mixer on libpulse's own thread.
//
// Why not SDL here: SDL asks the server for a fixed buffer of two periods
// and keeps about one more period queued, so a jingle started between two
// periods waits up to three of them. A stream of our own asks the server to
// keep only a small target of data and to request more in small pieces, and
// its underflows are reported by the server itself.

#include <chrono>
#include <memory>

#include "platform/audio/output.h"
#include "platform/audio/server_link.h"

namespace tambrel::audio {

class PulseBackend final : public OutputBackend {
  public:
    // Connects to the server, on the link's thread, and waits for the first
    // try to end; usable() says whether it answered.
    PulseBackend();
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    bool usable() const;

    // Device names are the sinks' descriptions, as the desktop shows them.
    // These three say what the link knows, and never wait on the server.
    std::vector<std::string> deviceNames() override;
    // From the server's sink events while connected, and when it is lost or back.
    bool devicesMayHaveChanged() override;
    std::string problem() override;
    // `periodFrames` is both the size of the server's requests and the unit
    // of the buffer kept at the server (kServerPeriods of them). The stream
    // is asked for and returned before the server answers; null at once
    // when the server is not connected.
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

    // What the server keeps queued, in periods: the floor it starts from,
    // and the ceiling (about 50 ms at 96 frames) it may grow to when the
    // machine cannot keep up. At an underflow it grows at once by two
    // periods, or more when the wait that caused it was longer, and it gives
    // one back after each kCleanStretch without any (see QueueTarget). A
    // fixed queue small enough for a quick start gaps on a machine whose
    // cores are taken away for milliseconds (docs/performance.md).
    static constexpr int kServerPeriods = 4;
    static constexpr int kMostServerPeriods = 23;
    static constexpr int kGrowPeriods = 2;
    static constexpr std::chrono::seconds kCleanStretch{60};

  private:
    ServerLink link_;
};

}  // namespace tambrel::audio
