#include "platform/audio/system_output.h"

#include "platform/audio/pulse_output.h"
#include "platform/audio/sdl_output.h"

namespace tambrel::audio {

std::unique_ptr<OutputBackend> systemOutput() {
    auto server = std::make_unique<PulseBackend>();
    if (server->usable()) return server;
    return std::make_unique<SdlBackend>();
}

}  // namespace tambrel::audio
