#pragma once

// The output back-end the program plays through.

#include <memory>
#include <string>

#include "platform/audio/output.h"

namespace tambrel::audio {

// The system's sound output: PipeWire's own when its daemon answers, the
// sound server's through libpulse when a PulseAudio server does, then one
// that took the connection without answering yet (its link goes on trying),
// SDL's otherwise (a machine with bare ALSA devices). Returns within about
// half a second whatever the servers do. TAMBREL_AUDIO=pipewire,
// pulse or sdl forces one, for tests and for support. `chosen` receives the
// name of the one chosen, as told on standard error.
std::unique_ptr<OutputBackend> systemOutput(std::string* chosen = nullptr);

}  // namespace tambrel::audio
