#include "platform/audio/sdl_output.h"

#include <SDL.h>

#include <algorithm>

#include "platform/audio/mixer.h"
#include "platform/audio/realtime.h"

namespace tambrel::audio {
namespace {

// SDL keeps about one period queued at the sound server beside the one being
// played, so its latency is some three periods. Measured with
// bench/latency_bench --output sdl on a PulseAudio null sink (2-core machine,
// device thread real-time): 256 frames start a jingle 8.2 ms after Play
// (median) with 1 of 60 trials showing a gap; 128 frames, 4.5 ms but 20 of 60
// with gaps; 64 frames, 2.7 ms but 41 of 60. Shorter engine periods are
// rounded up to this.
constexpr int kSdlPeriodFrames = 256;

class SdlOutput final : public AudioOutput {
  public:
    SdlOutput(SDL_AudioDeviceID device) : device_(device) {}
    ~SdlOutput() override {
        // Pause first, then close; never while holding the device lock.
        SDL_PauseAudioDevice(device_, 1);
        SDL_CloseAudioDevice(device_);
    }
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    bool lost() const override { return SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED; }

  private:
    SDL_AudioDeviceID device_;
};

void SDLCALL pull(void* userdata, Uint8* stream, int bytes) {
    raiseToRealtime();
    static_cast<Mixer*>(userdata)->render(reinterpret_cast<float*>(stream),
                                          bytes / static_cast<int>(2 * sizeof(float)));
}

}  // namespace

SdlBackend::SdlBackend() {
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Tambrel");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Tambrel");
    // SDL may itself ask for real-time scheduling through the desktop's
    // RealtimeKit; pull() asks directly as well.
    SDL_SetHint(SDL_HINT_THREAD_FORCE_REALTIME_TIME_CRITICAL, "1");
    ready_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (!ready_) initError_ = SDL_GetError();
}

std::string SdlBackend::problem() {
    if (!ready_) return "SDL : " + initError_;
    return OutputBackend::problem();
}

SdlBackend::~SdlBackend() {
    if (ready_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

std::vector<std::string> SdlBackend::deviceNames() {
    std::vector<std::string> names;
    if (!ready_) return names;
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        const char* name = SDL_GetAudioDeviceName(i, 0);
        names.emplace_back(name != nullptr ? name : "");
    }
    return names;
}

std::unique_ptr<AudioOutput> SdlBackend::open(const std::optional<std::string>& name, Mixer& mixer,
                                              int sampleRate, int periodFrames) {
    if (!ready_) return nullptr;
    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(std::max(periodFrames, kSdlPeriodFrames));
    want.callback = pull;
    want.userdata = &mixer;
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the device needs, so the
    // mixer always runs at the engine's rate and format.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(name ? name->c_str() : nullptr, 0, &want, &have, 0);
    if (device == 0) return nullptr;
    SDL_PauseAudioDevice(device, 0);
    return std::make_unique<SdlOutput>(device);
}

}  // namespace tambrel::audio
