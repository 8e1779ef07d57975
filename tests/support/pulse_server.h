#pragma once

// A PulseAudio daemon of our own with null sinks, so that a test or a
// benchmark plays into sinks whose monitors it can record, and no user's
// sound server is touched or heard.

#include <pulse/pulseaudio.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon.h"

namespace tambrel::testing {

// Runs `start` on a fresh connection to the current server and turns its loop
// until `done` says so or a second has passed. False when it timed out or
// never connected.
template <typename Start, typename Done>
bool withServer(Start start, Done done) {
    using Clock = std::chrono::steady_clock;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "tambrel tests");
    bool finished = false;
    bool started = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < deadline) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            if (state == PA_CONTEXT_READY && !started) {
                start(context);
                started = true;
            }
            if (started && done()) {
                finished = true;
                break;
            }
            pa_mainloop_iterate(loop, 0, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return finished;
}

// True once a client gets a ready context: the socket alone can exist
// before the daemon accepts anyone.
bool serverAnswers();

// A private sound server with null sinks, whichever daemon runs it.
class SoundServer {
  public:
    virtual ~SoundServer() = default;
    // Ends the daemon(s); safe to call twice.
    virtual void stop() = 0;
    // Takes a sink away, as when a device is unplugged, and returns once it
    // is gone. False when the daemon did not do it.
    virtual bool removeSink(const std::string& name) = 0;
    // Makes another sink like the first ones, as when a device is plugged
    // in; a removed one comes back. False when the daemon did not do it.
    virtual bool addSink(const std::string& name) = 0;
    // Holds the daemon that runs the sinks still for a while, as a machine
    // too busy to run it would.
    virtual void pause(std::chrono::milliseconds time) = 0;
    virtual const std::string& sink() const = 0;
};

// Through the server's PulseAudio protocol (PulseAudio's, or PipeWire's
// server for PulseAudio clients): sinks made and taken away by module.
bool unloadSink(const std::string& name);
// `description` is its name unless given.
bool loadNullSink(const std::string& name, int rate, const std::string& description = {});
// The module arguments of a null sink whose description is its name.
std::string nullSink(const std::string& name, int rate, const std::string& description = {});
// The sink the system's default plays on, as the desktop sets it.
bool setDefaultSink(const std::string& name);

class PulseServer final : public SoundServer {
  public:
    // Starts the daemon in `folder` (its home, runtime folder, socket and log)
    // and points this process and every child at it. `sink` is the default
    // sink; `moreSinks` are made beside it. Each sink's description is its
    // name. Throws when the daemon does not answer within a few seconds.
    PulseServer(const std::string& folder, const std::string& sink, int rate,
                const std::vector<std::string>& moreSinks = {});
    ~PulseServer() override;
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    void stop() override;
    bool removeSink(const std::string& name) override { return unloadSink(name); }
    bool addSink(const std::string& name) override { return loadNullSink(name, rate_); }
    void pause(std::chrono::milliseconds time) override { pauseDaemon(pid_, time); }
    const std::string& sink() const override { return sink_; }

  private:
    std::string folder_;
    std::string sink_;
    int rate_;
    pid_t pid_ = -1;
};

}  // namespace tambrel::testing
