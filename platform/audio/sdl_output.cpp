#include "platform/audio/sdl_output.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

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

// What an output shares with SDL's audio thread and the backend's thread.
// It outlives the output: the backend's thread may still be closing the
// device when the output is gone.
struct Pull {
    Pull(Mixer& m, int sampleRate, std::optional<std::string> device)
        : mixer(m), rate(sampleRate), name(std::move(device)) {}

    enum class State { Opening, Open, Failed };

    Mixer& mixer;  // called only while `detached` is false
    const int rate;
    const std::optional<std::string> name;
    std::atomic<bool> detached{false};  // the output is gone
    std::atomic<bool> busy{false};      // SDL's thread is in the mixer
    std::atomic<State> state{State::Opening};
    std::atomic<bool> reopening{false};
    std::atomic<bool> stopped{false};  // SDL says the device stopped
    std::atomic<int> periodFrames{0};
    PullWatch pulls;
    // The backend's thread's, and SDL's thread's while the device is open;
    // set before SDL starts that thread.
    SDL_AudioDeviceID device = 0;
    int64_t lastCall = 0;
    int64_t lateNanos = 0;
};

void SDLCALL pull(void* userdata, Uint8* stream, int bytes) {
    raiseToRealtime();
    auto* self = static_cast<Pull*>(userdata);
    self->pulls.pulled();
    // With the output's check of `busy` after it set `detached`, either
    // this call sees it detached, or the output waits for it to end.
    self->busy.store(true);
    if (self->detached.load()) {
        std::memset(stream, 0, static_cast<size_t>(bytes));
    } else {
        const int64_t now = steadyNanos();
        if (self->lastCall != 0 && now - self->lastCall > self->lateNanos) {
            self->mixer.countUnderrun();
        }
        self->lastCall = now;
        self->mixer.render(reinterpret_cast<float*>(stream),
                           bytes / static_cast<int>(2 * sizeof(float)));
    }
    self->busy.store(false);
}

// Several backends (tests make them in turn) share one SDL.
std::mutex sdlCalls;

// The backend's thread. False when SDL refused the device.
bool openDevice(Pull& self, int periodFrames) {
    SDL_AudioSpec want{};
    want.freq = self.rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(periodFrames);
    want.callback = pull;
    want.userdata = &self;
    SDL_AudioSpec have{};
    self.lastCall = 0;
    // Two periods late: the device has used up what it had queued.
    self.lateNanos = int64_t{2} * periodFrames * 1'000'000'000 / self.rate;
    // No changes allowed: SDL converts to whatever the device needs, so
    // the mixer always runs at the engine's rate and format.
    const std::lock_guard calls(sdlCalls);
    self.device = SDL_OpenAudioDevice(self.name ? self.name->c_str() : nullptr, 0, &want, &have, 0);
    if (self.device == 0) return false;
    self.periodFrames.store(have.samples);
    SDL_PauseAudioDevice(self.device, 0);
    return true;
}

// The backend's thread: SDL's thread is gone once this returns.
void closeDevice(Pull& self) {
    if (self.device == 0) return;
    const std::lock_guard calls(sdlCalls);
    // Pause first, then close; never while holding the device lock.
    SDL_PauseAudioDevice(self.device, 1);
    SDL_CloseAudioDevice(self.device);
    self.device = 0;
}

}  // namespace

struct SdlBackend::Shared {
    std::mutex mutex;  // never held while calling SDL
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    bool quit = false;
    bool done = false;     // the thread has ended
    bool started = false;  // SDL's first start has ended, well or not
    bool ready = false;
    std::string error;
    std::vector<std::string> names;
    bool news = true;
    // The thread's own: the devices it keeps open.
    std::vector<std::shared_ptr<Pull>> open;

    void post(std::function<void()> task) {
        {
            const std::lock_guard lock(mutex);
            tasks.push_back(std::move(task));
        }
        changed.notify_all();
    }
    // Tells waiting callers that something they read has changed.
    void told() {
        { const std::lock_guard lock(mutex); }
        changed.notify_all();
    }
};

namespace {

void start(SdlBackend::Shared& shared) {
    std::string error;
    bool ready = false;
    {
        const std::lock_guard calls(sdlCalls);
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Tambrel");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Tambrel");
        // SDL may itself ask for real-time scheduling through the desktop's
        // RealtimeKit; pull() asks directly as well.
        SDL_SetHint(SDL_HINT_THREAD_FORCE_REALTIME_TIME_CRITICAL, "1");
        ready = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!ready) error = SDL_GetError();
    }
    const std::lock_guard lock(shared.mutex);
    shared.news |= ready != shared.ready;
    shared.started = true;
    shared.ready = ready;
    shared.error = std::move(error);
}

void list(SdlBackend::Shared& shared) {
    std::vector<std::string> names;
    {
        const std::lock_guard calls(sdlCalls);
        const int count = SDL_GetNumAudioDevices(0);
        for (int i = 0; i < count; ++i) {
            const char* name = SDL_GetAudioDeviceName(i, 0);
            names.emplace_back(name != nullptr ? name : "");
        }
    }
    const std::lock_guard lock(shared.mutex);
    if (names == shared.names) return;
    shared.names = std::move(names);
    shared.news = true;
}

// A device that SDL stopped (unplugged, its server gone) says so.
void watch(SdlBackend::Shared& shared) {
    const std::lock_guard calls(sdlCalls);
    for (const auto& pull : shared.open) {
        if (pull->device != 0 && SDL_GetAudioDeviceStatus(pull->device) == SDL_AUDIO_STOPPED)
            pull->stopped.store(true);
    }
}

void run(const std::shared_ptr<SdlBackend::Shared>& shared) {
    using Clock = SdlBackend::Clock;
    Clock::time_point nextStart{};
    Clock::time_point nextList{};
    bool ready = false;
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(shared->mutex);
            shared->changed.wait_for(lock, SdlBackend::kLook,
                                     [&] { return shared->quit || !shared->tasks.empty(); });
            if (!shared->tasks.empty()) {
                task = std::move(shared->tasks.front());
                shared->tasks.pop_front();
            } else if (shared->quit) {
                break;
            }
        }
        if (task) {
            task();
            shared->told();
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (!ready && now >= nextStart) {
            start(*shared);
            nextStart = now + SdlBackend::kRetryPause;
            const std::lock_guard lock(shared->mutex);
            ready = shared->ready;
        }
        if (ready && now >= nextList) {
            list(*shared);
            nextList = now + SdlBackend::kListAgain;
        }
        if (ready) watch(*shared);
        shared->told();
    }
    for (const auto& pull : shared->open) closeDevice(*pull);
    shared->open.clear();
    {
        const std::lock_guard calls(sdlCalls);
        if (ready) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        SDL_TLSCleanup();  // what SDL kept for this thread (its last error): it ends here
    }
    const std::lock_guard lock(shared->mutex);
    shared->done = true;
    shared->changed.notify_all();
}

// SDL tells nothing of the device running dry, and a period's size is fixed
// while the device is open: the output watches its own callbacks, and takes
// a larger period by opening the device again, which only happens while
// nothing sounds on it, so that no one hears it.
class SdlOutput final : public AudioOutput {
  public:
    SdlOutput(std::shared_ptr<SdlBackend::Shared> shared, std::shared_ptr<Pull> pull,
              int periodFrames)
        : shared_(std::move(shared)),
          pull_(std::move(pull)),
          queue_(QueueTarget::Steps{std::max(periodFrames, kSdlPeriodFrames),
                                    std::max(periodFrames, kMostSdlPeriodFrames), kSdlPeriodFrames,
                                    kSdlPeriodFrames, std::chrono::seconds(60)}) {}
    ~SdlOutput() override {
        pull_->detached.store(true);
        while (pull_->busy.load()) std::this_thread::yield();  // one period's mix at most
        shared_->post([shared = shared_.get(), pull = pull_] {
            closeDevice(*pull);
            std::erase(shared->open, pull);
        });
    }
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    bool lost() const override {
        return pull_->state.load() == Pull::State::Failed || pull_->stopped.load();
    }

    bool ready(std::chrono::milliseconds wait) override {
        const auto settled = [this] {
            return pull_->state.load() != Pull::State::Opening && !pull_->reopening.load();
        };
        if (!settled() && wait.count() > 0) {
            std::unique_lock lock(shared_->mutex);
            shared_->changed.wait_for(lock, wait, settled);
        }
        return settled() && pull_->state.load() == Pull::State::Open && !lost() &&
               !pull_->pulls.stalled();
    }

    void adapt(Clock::time_point now, bool silent) override {
        const int wanted = queue_.follow(pull_->mixer.underruns() - pull_->mixer.dryPeriods(), now);
        if (wanted == pull_->periodFrames.load() || !silent ||
            pull_->state.load() != Pull::State::Open || pull_->reopening.exchange(true)) {
            return;
        }
        shared_->post([pull = pull_, wanted] {
            closeDevice(*pull);  // SDL's thread is gone: the mixer is ours
            // if refused, lost(): the engine lets the mixer go
            if (pull->detached.load() || !openDevice(*pull, wanted))
                pull->state.store(Pull::State::Failed);
            pull->reopening.store(false);
        });
    }

    // SDL keeps about two periods between the mixer and the device.
    int queuedFrames() const override {
        return pull_->state.load() == Pull::State::Open ? 2 * pull_->periodFrames.load() : 0;
    }

  private:
    const std::shared_ptr<SdlBackend::Shared> shared_;
    const std::shared_ptr<Pull> pull_;
    QueueTarget queue_;  // the control thread's
};

}  // namespace

SdlBackend::SdlBackend(Clock::duration firstWait) : shared_(std::make_shared<Shared>()) {
    std::thread([shared = shared_] { run(shared); }).detach();
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_for(lock, firstWait, [this] { return shared_->started; });
}

SdlBackend::~SdlBackend() {
    std::unique_lock lock(shared_->mutex);
    shared_->quit = true;
    shared_->changed.notify_all();
    shared_->changed.wait_for(lock, std::chrono::seconds(2), [this] { return shared_->done; });
}

bool SdlBackend::usable() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->ready;
}

std::vector<std::string> SdlBackend::deviceNames() {
    const std::lock_guard lock(shared_->mutex);
    return shared_->names;
}

bool SdlBackend::devicesMayHaveChanged() {
    const std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->news, false);
}

std::string SdlBackend::problem() {
    {
        const std::lock_guard lock(shared_->mutex);
        if (!shared_->started) return "SDL : pas de réponse";
        if (!shared_->ready) return "SDL : " + shared_->error;
    }
    return OutputBackend::problem();
}

std::unique_ptr<AudioOutput> SdlBackend::open(const std::optional<std::string>& name, Mixer& mixer,
                                              int sampleRate, int periodFrames) {
    if (!usable()) return nullptr;
    auto shared = std::make_shared<Pull>(mixer, sampleRate, name);
    const int frames = std::max(periodFrames, kSdlPeriodFrames);
    shared_->post([backend = shared_.get(), pull = shared, frames] {
        if (pull->detached.load() || !openDevice(*pull, frames)) {
            pull->state.store(Pull::State::Failed);
            return;
        }
        backend->open.push_back(pull);
        pull->state.store(Pull::State::Open);
    });
    return std::make_unique<SdlOutput>(shared_, shared, periodFrames);
}

}  // namespace tambrel::audio
