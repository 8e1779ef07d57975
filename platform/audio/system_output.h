#pragma once

// The output back-end the program plays through.

#include <memory>

#include "platform/audio/output.h"

namespace tambrel::audio {

// The system's sound output: the sound server's when one answers, SDL's
// otherwise (a machine with bare ALSA devices).
std::unique_ptr<OutputBackend> systemOutput();

}  // namespace tambrel::audio
