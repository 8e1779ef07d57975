#include "platform/audio/system_output.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/audio/pipewire_output.h"
#include "platform/audio/pulse_output.h"
#include "platform/audio/sdl_output.h"
#include "platform/report.h"

namespace tambrel::audio {

namespace {
using Clock = std::chrono::steady_clock;

// A start waits this long in all for the servers: one that took the
// connection and has not answered by then is kept (it is there, and its
// link goes on trying), but the window does not wait for it.
constexpr std::chrono::milliseconds kStartWait{500};
// The least a server tried after another one used the time up is given.
constexpr std::chrono::milliseconds kLeastWait{100};

std::unique_ptr<OutputBackend> choose(const std::string& forced, std::string& chosen) {
    const Clock::time_point deadline = Clock::now() + kStartWait;
    const auto left = [deadline] {
        return std::max<Clock::duration>(deadline - Clock::now(), kLeastWait);
    };
    // A forced back-end is kept even when it does not answer: its problem()
    // then says why nothing plays, instead of sound going elsewhere.
    std::unique_ptr<PipeWireBackend> daemon;
    if (forced == "pipewire" || forced.empty()) {
        daemon = std::make_unique<PipeWireBackend>(PipeWireBackend::kMostDoublings, left());
        if (daemon->usable() || !forced.empty()) {
            chosen = "PipeWire";
            return daemon;
        }
    }
    std::unique_ptr<PulseBackend> server;
    if (forced == "pulse" || forced.empty()) {
        server = std::make_unique<PulseBackend>(left());
        if (server->usable() || !forced.empty()) {
            chosen = "PulseAudio";
            return server;
        }
    }
    // A server that has neither answered nor refused yet is there: SDL
    // would only wait for the same server.
    if (daemon && !daemon->tried()) {
        chosen = "PipeWire (sans réponse)";
        return daemon;
    }
    if (server && !server->tried()) {
        chosen = "PulseAudio (sans réponse)";
        return server;
    }
    chosen = "SDL";
    return std::make_unique<SdlBackend>(left());
}
}  // namespace

std::unique_ptr<OutputBackend> systemOutput(std::string* chosen) {
    const char* variable = std::getenv("TAMBREL_AUDIO");
    std::string forced = variable != nullptr ? variable : "";
    if (!forced.empty() && forced != "pipewire" && forced != "pulse" && forced != "sdl") {
        platform::report("TAMBREL_AUDIO=" + forced +
                         " : inconnu (pipewire, pulse ou sdl), choix automatique");
        forced.clear();
    }
    std::string name;
    auto backend = choose(forced, name);
    platform::report("sortie audio : " + name + (forced.empty() ? "" : " (imposée)"));
    if (chosen != nullptr) *chosen = name;
    return backend;
}

}  // namespace tambrel::audio
