#pragma once

// Records a sink's monitor as a native PipeWire stream, part of the same
// graph as the players measured. Each buffer carries the cycle it was made
// in: its first frame entered the sink at that cycle's start on the graph's
// clock (the monotonic clock, as the steady clock is here), so no capture
// latency has to be estimated. The stream's process callback only copies
// into a lock-free queue; a thread of the probe files what it took, so the
// probe never holds the graph up.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "bench/latency/sink_probe.h"

namespace tambrel::bench {

class PipeWireProbe final : public SinkProbe {
  public:
    // Records the monitor of the sink whose node.name is `sink`, at `rate`
    // (the graph's). Throws when it cannot within a few seconds.
    PipeWireProbe(const std::string& sink, int rate);
    ~PipeWireProbe() override;
    PipeWireProbe(const PipeWireProbe&) = delete;
    PipeWireProbe& operator=(const PipeWireProbe&) = delete;

    // The graph's cycle, as the last buffer had it.
    double fragmentMs() const override;

  private:
    struct Graph;
    void file();
    void close();

    std::unique_ptr<Graph> graph_;
    std::atomic<bool> quit_{false};
    std::atomic<uint32_t> cycleFrames_{0};
    std::thread filer_;
};

}  // namespace tambrel::bench
