#pragma once

// A PipeWire daemon of our own, as a desktop runs it (the daemon, its
// session manager on a private bus, and its server for PulseAudio clients),
// with null sinks, so that a test or a benchmark plays into sinks whose
// monitors it can record and no user's sound is touched or heard. The
// session manager is kept off the machine's real devices.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/pulse_server.h"

namespace tambrel::testing {

class PipeWireServer final : public SoundServer {
  public:
    // Starts the daemons in `folder` and points this process and every child
    // at them, native and PulseAudio clients alike. `sink` is the default
    // sink; `moreSinks` are made beside it; each sink's description is its
    // name. Throws when they do not answer within a few seconds.
    PipeWireServer(const std::string& folder, const std::string& sink, int rate,
                   const std::vector<std::string>& moreSinks = {});
    ~PipeWireServer() override;
    PipeWireServer(const PipeWireServer&) = delete;
    PipeWireServer& operator=(const PipeWireServer&) = delete;

    void stop() override;
    bool removeSink(const std::string& name) override { return unloadSink(name); }
    bool addSink(const std::string& name) override { return loadNullSink(name, rate_); }
    // Holds the PipeWire daemon, which drives the graph, still.
    void pause(std::chrono::milliseconds time) override { pauseDaemon(daemon_, time); }
    const std::string& sink() const override { return sink_; }

  private:
    [[noreturn]] void fail(const std::string& why);

    std::string folder_;
    std::string sink_;
    int rate_;
    pid_t bus_ = -1;
    pid_t daemon_ = -1;
    pid_t session_ = -1;
    pid_t pulse_ = -1;
};

}  // namespace tambrel::testing
