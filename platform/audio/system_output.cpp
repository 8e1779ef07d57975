#include "platform/audio/system_output.h"

#include <cstdlib>

#include "platform/audio/pipewire_output.h"
#include "platform/audio/pulse_output.h"
#include "platform/audio/sdl_output.h"
#include "platform/report.h"

namespace tambrel::audio {

namespace {
std::unique_ptr<OutputBackend> choose(const std::string& forced, std::string& chosen) {
    // A forced back-end is kept even when it does not answer: its problem()
    // then says why nothing plays, instead of sound going elsewhere.
    if (forced == "pipewire" || forced.empty()) {
        auto daemon = std::make_unique<PipeWireBackend>();
        if (daemon->usable() || !forced.empty()) {
            chosen = "PipeWire";
            return daemon;
        }
    }
    if (forced == "pulse" || forced.empty()) {
        auto server = std::make_unique<PulseBackend>();
        if (server->usable() || !forced.empty()) {
            chosen = "PulseAudio";
            return server;
        }
    }
    chosen = "SDL";
    return std::make_unique<SdlBackend>();
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
