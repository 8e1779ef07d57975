#pragma once

// The sound server's devices through libpulse's asynchronous API (a
// PulseAudio server, or PipeWire's server for PulseAudio clients): one
// playback stream per output, float stereo, mixed on libpulse's own thread.
//
// Why not SDL here: SDL asks the server for a fixed buffer of two periods
// and keeps about one more period queued, so a jingle started between two
// periods waits up to three of them. A stream of our own keeps the device's
// buffer small, queues a deep reserve at the server beyond it, and mixes a
// command in a few milliseconds past the server's read position, writing
// over what was queued from there (see docs/audio-engine.md).

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/output.h"
#include "platform/audio/server_link.h"

namespace tambrel::audio {

class PulseBackend final : public OutputBackend {
  public:
    // Connects to the server, on the link's thread, and waits for the first
    // try to end, `firstWait` at most; usable() says whether it answered,
    // tried() whether it has answered or refused yet.
    explicit PulseBackend(ServerLink::Clock::duration firstWait = ServerLink::kFirstWait);
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    bool usable() const;
    bool tried() const { return link_.tried(); }

    // Device names are the sinks' descriptions, as the desktop shows them.
    // These four say what the link knows, and never wait on the server.
    std::vector<std::string> deviceNames() override;
    // From the server's sink events while connected, and when it is lost or back.
    bool devicesMayHaveChanged() override;
    std::string problem() override;
    // The server's default sink, followed through its events.
    std::optional<std::string> defaultDeviceName() override;
    // `periodFrames` is the size of the server's requests and the unit of
    // the stream's own short buffer (kServerPeriods of them). The stream is
    // asked for and returned before the server answers; null at once when
    // the server is not connected.
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

    // Holds libpulse's thread still for `time`, as a machine that does not
    // run it would; the server plays on from what is queued.
    void holdClientThread(std::chrono::milliseconds time);

    // The stream's own buffer, in periods: the server sets the device's
    // buffer to it less two requests, one period.
    static constexpr int kServerPeriods = 3;
    // The reserve mixed ahead and queued at the server beyond it. It starts
    // at kReserve, longer than the freezes of a thread seen on a busy 2-core
    // machine (often 40 ms, 104 at worst), and grows when it ran low (or the
    // server ran short) by kGrowReserve, or at once to twice the longest the
    // thread was held, up to kMostReserve: a whole program stopped for most
    // of a second (an overloaded machine left it silent 434 to 500 ms at a
    // time). It gives kShrinkReserve back after each kCleanStretch without
    // (see QueueTarget). A deeper reserve costs memory, not latency: a press
    // is mixed in over it.
    static constexpr std::chrono::milliseconds kReserve{150};
    static constexpr std::chrono::milliseconds kMostReserve{1000};
    static constexpr std::chrono::milliseconds kGrowReserve{50};
    static constexpr std::chrono::milliseconds kShrinkReserve{10};
    static constexpr std::chrono::seconds kCleanStretch{60};

  private:
    ServerLink link_;
};

}  // namespace tambrel::audio
