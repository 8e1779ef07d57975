#pragma once

// A PulseAudio daemon of the benchmark's own with one null sink, so that
// every player measured plays into a sink whose monitor we record, and no
// user's sound server is touched or heard.

#include <sys/types.h>

#include <string>

namespace tambrel::bench {

class PulseServer {
  public:
    // Starts the daemon in `folder` (its home, runtime folder, socket and log)
    // and points this process and every child at it. Throws when it does not
    // answer within a few seconds.
    PulseServer(const std::string& folder, const std::string& sink, int rate);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Ends the daemon by its PID; safe to call twice.
    void stop();
    const std::string& sink() const { return sink_; }

  private:
    std::string logTail() const;

    std::string folder_;
    std::string sink_;
    pid_t pid_ = -1;
};

}  // namespace tambrel::bench
