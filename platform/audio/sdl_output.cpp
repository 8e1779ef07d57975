#include "platform/audio/sdl_output.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio/mixer.h"
#include "platform/audio/queue_target.h"
#include "platform/audio/realtime.h"

namespace tambrel::audio {
namespace {

// SDL keeps about one period queued at the sound server beside the one being
// played, so its latency is some three periods. 256 frames: shorter periods
// left gaps in a third of the starts or more on the build machine
// (docs/performance.md). Shorter engine periods are rounded up to this. A
// machine that cannot keep up gets longer periods, up to four times this
// (two of them queued: 46 ms at 44.1 kHz).
constexpr int kSdlPeriodFrames = 256;
constexpr int kMostSdlPeriodFrames = 4 * kSdlPeriodFrames;

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SDL tells nothing of the device running dry, and a period's size is fixed
// while the device is open: the output watches its own callbacks, and takes
// a larger period by opening the device again, which only happens while
// nothing sounds on it, so that no one hears it.
class SdlOutput final : public AudioOutput {
  public:
    SdlOutput(const std::optional<std::string>& name, Mixer& mixer, int sampleRate,
              int periodFrames)
        : name_(name),
          mixer_(mixer),
          rate_(sampleRate),
          queue_(QueueTarget::Steps{std::max(periodFrames, kSdlPeriodFrames),
                                    std::max(periodFrames, kMostSdlPeriodFrames), kSdlPeriodFrames,
                                    kSdlPeriodFrames, std::chrono::seconds(60)}) {}
    ~SdlOutput() override { close(); }
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    // Control thread. False when SDL refused the device.
    bool open(int periodFrames) {
        SDL_AudioSpec want{};
        want.freq = rate_;
        want.format = AUDIO_F32SYS;
        want.channels = 2;
        want.samples = static_cast<Uint16>(periodFrames);
        want.callback = pull;
        want.userdata = this;
        SDL_AudioSpec have{};
        lastCall_ = 0;
        // Two periods late: the device has used up what it had queued.
        lateNanos_ = int64_t{2} * periodFrames * 1'000'000'000 / rate_;
        // No changes allowed: SDL converts to whatever the device needs, so
        // the mixer always runs at the engine's rate and format.
        device_ = SDL_OpenAudioDevice(name_ ? name_->c_str() : nullptr, 0, &want, &have, 0);
        if (device_ == 0) return false;
        periodFrames_ = have.samples;
        SDL_PauseAudioDevice(device_, 0);
        return true;
    }

    bool lost() const override {
        return device_ == 0 || SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED;
    }

    void adapt(Clock::time_point now, bool silent) override {
        const int wanted = queue_.follow(mixer_.underruns() - mixer_.dryPeriods(), now);
        if (wanted == periodFrames_ || !silent || device_ == 0) return;
        close();       // SDL's thread is gone once this returns: the mixer is ours
        open(wanted);  // if refused, lost(): the engine lets the mixer go
    }

    // SDL keeps about two periods between the mixer and the device.
    int queuedFrames() const override { return device_ != 0 ? 2 * periodFrames_ : 0; }

  private:
    void close() {
        if (device_ == 0) return;
        // Pause first, then close; never while holding the device lock.
        SDL_PauseAudioDevice(device_, 1);
        SDL_CloseAudioDevice(device_);
        device_ = 0;
    }

    static void SDLCALL pull(void* userdata, Uint8* stream, int bytes) {
        raiseToRealtime();
        auto* self = static_cast<SdlOutput*>(userdata);
        const int64_t now = steadyNanos();
        if (self->lastCall_ != 0 && now - self->lastCall_ > self->lateNanos_) {
            self->mixer_.countUnderrun();
        }
        self->lastCall_ = now;
        self->mixer_.render(reinterpret_cast<float*>(stream),
                            bytes / static_cast<int>(2 * sizeof(float)));
    }

    const std::optional<std::string> name_;
    Mixer& mixer_;
    const int rate_;
    SDL_AudioDeviceID device_ = 0;
    int periodFrames_ = 0;
    QueueTarget queue_;  // the control thread's
    // SDL's thread's while the device is open; set before it starts.
    int64_t lastCall_ = 0;
    int64_t lateNanos_ = 0;
};

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
    auto output = std::make_unique<SdlOutput>(name, mixer, sampleRate, periodFrames);
    if (!output->open(std::max(periodFrames, kSdlPeriodFrames))) return nullptr;
    return output;
}

}  // namespace tambrel::audio
