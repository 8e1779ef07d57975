#pragma once

// The sound server's devices through PipeWire's own client library: one
// playback stream per output, float stereo at the graph's rate, the mixer
// rendering straight into the stream's buffers on PipeWire's real-time data
// thread, once per graph cycle.
//
// Why not through PipeWire's server for PulseAudio clients: there a start
// waits behind what the translation layer keeps queued on top of the graph's
// own quantum. A native stream is part of the graph: what it renders in a
// cycle is what the sink plays next, so a start waits about one quantum, and
// the stream asks the graph for a small one.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/output.h"
#include "platform/audio/server_link.h"

namespace tambrel::audio {

class PipeWireBackend final : public OutputBackend {
  public:
    // Connects to the PipeWire daemon, on the link's thread, and waits for
    // the first try to end, `firstWait` at most; usable() says whether it
    // answered, tried() whether it has answered or refused yet.
    // `mostDoublings`: how far a stream's quantum may grow; 0 holds it where
    // it was asked, for measuring one quantum.
    explicit PipeWireBackend(int mostDoublings = kMostDoublings,
                             ServerLink::Clock::duration firstWait = ServerLink::kFirstWait);
    ~PipeWireBackend() override;
    PipeWireBackend(const PipeWireBackend&) = delete;
    PipeWireBackend& operator=(const PipeWireBackend&) = delete;

    bool usable() const;
    bool tried() const { return link_.tried(); }

    // The Audio/Sink nodes' descriptions, as the desktop shows them (the same
    // names the PulseAudio path lists), in the order the daemon made them.
    // These five say what the link knows, and never wait on the daemon.
    std::vector<std::string> deviceNames() override;
    // From the daemon's registry while connected, and when it is lost or back.
    bool devicesMayHaveChanged() override;
    std::string problem() override;
    // The sink the session manager's "default" metadata names, followed as
    // it changes.
    std::optional<std::string> defaultDeviceName() override;
    // The graph's rate: a mix made at it is played without resampling.
    int preferredRate() override;
    // The graph's quantum is the period: `periodFrames` rounded up to a
    // power of two (the graph's own rounding) is asked for through the
    // stream's latency, and doubled while the machine cannot keep up. The
    // stream is asked for and returned before the daemon answers; null at
    // once when the daemon is not connected.
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

    // The quantum asked for a period of `periodFrames`.
    static int quantumFor(int periodFrames);
    // How far the quantum may double when cycles are missed: 2048 frames
    // (43 ms at 48 kHz) is the most a graph allows by default. The queue
    // grows and shrinks by doubling (see QueueTarget, in doublings here).
    static constexpr int kLeastQuantum = 32;
    static constexpr int kMostQuantum = 2048;
    static constexpr int kMostDoublings = 4;
    static constexpr std::chrono::seconds kCleanStretch{60};

  private:
    ServerLink link_;
    int mostDoublings_;
};

// The graph cycles that went by without a stream between two of its calls,
// from the graph's clock (`ticks`, in units of tickNum/tickDenom seconds) at
// each: more than one cycle of `cycleFrames` at `rate` means the sink played
// a hole. 0 at the first call (lastTicks 0).
uint64_t missedCycles(uint64_t lastTicks, uint64_t ticks, uint64_t cycleFrames, int rate,
                      uint32_t tickNum, uint32_t tickDenom);

}  // namespace tambrel::audio
