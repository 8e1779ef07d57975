#pragma once

// The sound system's devices through SDL2: one SDL audio device per output,
// float stereo, its callback running the mixer.

#include "platform/audio/output.h"

namespace tambrel::audio {

class SdlBackend final : public OutputBackend {
  public:
    SdlBackend();
    ~SdlBackend() override;
    SdlBackend(const SdlBackend&) = delete;
    SdlBackend& operator=(const SdlBackend&) = delete;

    std::vector<std::string> deviceNames() override;
    std::string problem() override;
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

  private:
    bool ready_ = false;
    std::string initError_;
};

}  // namespace tambrel::audio
