#include "platform/audio/audio_engine.h"

#include <algorithm>

#include "platform/audio/mixer.h"
#include "platform/audio/output.h"
#include "platform/audio/sound.h"
#include "platform/audio/stream_worker.h"

namespace tambrel::audio {

struct AudioEngine::Device {
    std::optional<std::string> name;  // nullopt: the system default
    std::unique_ptr<Mixer> mixer;
    std::unique_ptr<AudioOutput> output;                // null while closed or lost
    std::chrono::steady_clock::time_point lastSound{};  // when a voice last sounded on it
    // The last pump's reading of the frames rendered, which places frames in time.
    std::chrono::steady_clock::time_point readAt{};
    int64_t readFrames = -1;
};

struct AudioEngine::VoiceState {
    bool used = false;
    bool sounding = false;
    Device* device = nullptr;
    uint32_t seq = 0;            // last command sent
    uint32_t playSeq = 0;        // seq of the current or last playback
    uint32_t positionSeq = 0;    // seq of the last command that moved the playhead
    int64_t positionTarget = 0;  // where that command moved it
    float gain = 1.0f;
    bool repeat = false;
    std::shared_ptr<Sound> sound;  // while sounding, for its length
    // The device's shortfalls other than dry read-aheads, when the playback began.
    uint64_t shortAtPlay = 0;
};

namespace {
constexpr std::chrono::milliseconds kSilentAfter{200};
// How long a start waits for a device the server is still opening: ten times
// what either server takes to open one (0.4 ms, 2 ms at most), yet too short
// for the window to be seen waiting on a server that does not answer.
constexpr std::chrono::milliseconds kStartWait{20};

// Has the mixer applied command `seq` yet? Seqs wrap; compare the distance.
bool applied(uint32_t appliedSeq, uint32_t seq) {
    return static_cast<int32_t>(appliedSeq - seq) >= 0;
}
}  // namespace

AudioEngine::AudioEngine(std::unique_ptr<OutputBackend> backend)
    : AudioEngine(std::move(backend), Options{}) {}

AudioEngine::AudioEngine(std::unique_ptr<OutputBackend> backend, Options options)
    : options_(options),
      backend_(std::move(backend)),
      worker_(std::make_unique<StreamWorker>()),
      voices_(Mixer::kMaxVoices) {}

AudioEngine::~AudioEngine() {
    // Silence every device before the mixers go, and the mixers (which give
    // their sounds back) before the worker that frees the sounds.
    for (auto& device : devices_) device->output.reset();
    for (auto& voice : voices_) voice.sound.reset();
    devices_.clear();
    shareWorkers_.clear();
    worker_.reset();
}

std::shared_ptr<Sound> AudioEngine::load(const std::string& nativePath) {
    std::shared_ptr<Sound> sound = Sound::load(nativePath, options_.sampleRate, options_.opener);
    adopt(sound);
    return sound;
}

void AudioEngine::adopt(const std::shared_ptr<Sound>& sound) {
    if (sound->playable()) workerFor(*sound).add(sound);
}

StreamWorker& AudioEngine::workerFor(const Sound& sound) {
    if (sound.share() == 0) return *worker_;
    for (auto& [share, worker] : shareWorkers_) {
        if (share == sound.share()) return *worker;
    }
    auto worker = std::make_unique<StreamWorker>();
    for (int i = 0; i < batches_; ++i) worker->hold();
    return *shareWorkers_.emplace_back(sound.share(), std::move(worker)).second;
}

void AudioEngine::wakeWorkers() {
    worker_->wake();
    for (auto& shared : shareWorkers_) shared.second->wake();
}

AudioEngine::LoadBatch::LoadBatch(AudioEngine& engine) : engine_(engine) {
    ++engine_.batches_;
    engine_.worker_->hold();
    for (auto& shared : engine_.shareWorkers_) shared.second->hold();
}

AudioEngine::LoadBatch::~LoadBatch() {
    --engine_.batches_;
    engine_.worker_->release();
    for (auto& shared : engine_.shareWorkers_) shared.second->release();
}

std::vector<std::string> AudioEngine::deviceNames() {
    return backend_->deviceNames();
}

std::optional<std::string> AudioEngine::defaultDeviceName() {
    return backend_->defaultDeviceName();
}

bool AudioEngine::devicesMayHaveChanged() {
    return backend_->devicesMayHaveChanged();
}

std::string AudioEngine::backendProblem() {
    return backend_->problem();
}

std::string AudioEngine::startProblem(const std::optional<std::string>& name) {
    std::string problem = backend_->problem();
    if (!problem.empty()) return problem;
    for (const auto& device : devices_) {
        if (device->name == name && device->output && !device->output->ready({})) {
            return "la sortie ne répond pas";
        }
    }
    return problem;
}

bool AudioEngine::prepare(const std::optional<std::string>& name) {
    return device(name) != nullptr;
}

int AudioEngine::createVoice() {
    for (size_t v = 0; v < voices_.size(); ++v) {
        if (!voices_[v].used) {
            const uint32_t seq = voices_[v].seq;  // stays rising for the mixers' sake
            voices_[v] = VoiceState{};
            voices_[v].used = true;
            voices_[v].seq = voices_[v].playSeq = voices_[v].positionSeq = seq;
            return static_cast<int>(v);
        }
    }
    return -1;
}

void AudioEngine::destroyVoice(int voice) {
    stop(voice);
    voices_[static_cast<size_t>(voice)].used = false;
    voices_[static_cast<size_t>(voice)].sound.reset();
}

AudioEngine::Device* AudioEngine::device(const std::optional<std::string>& name) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [&](const auto& device) { return device->name == name; });
    Device* found = nullptr;
    if (it != devices_.end()) {
        found = it->get();
    } else {
        devices_.push_back(std::make_unique<Device>());
        found = devices_.back().get();
        found->name = name;
        found->mixer = std::make_unique<Mixer>(options_.sampleRate);
    }
    if (!found->output) {
        found->output =
            backend_->open(name, *found->mixer, options_.sampleRate, options_.periodFrames);
    }
    return found->output ? found : nullptr;
}

// Stamps `command` with the voice's next seq and queues it on the device.
bool AudioEngine::send(int voice, Device* device, MixerCommand command) {
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    command.voice = static_cast<uint16_t>(voice);
    command.seq = state.seq + 1;
    if (!device->mixer->send(command)) return false;  // a device that has stopped pulling
    state.seq = command.seq;
    if (device->output) device->output->commandsSent();
    return true;
}

namespace {
MixerCommand command(MixerCommand::Type type) {
    MixerCommand made;
    made.type = type;
    return made;
}
}  // namespace

bool AudioEngine::play(int voice, const std::shared_ptr<Sound>& sound,
                       const std::optional<std::string>& deviceName, float gain) {
    if (!sound || !sound->playable()) return false;
    Device* target = device(deviceName);
    // Not queued where it could not begin now: it would sound late, when the
    // server comes back.
    if (target == nullptr || !target->output->ready(kStartWait)) return false;
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    if (state.sounding && state.device != target) stop(voice);

    MixerCommand start = command(MixerCommand::Type::Play);
    if (const auto limit = target->output->lateStartLimit(); limit.count() > 0) {
        start.notAfter = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             (std::chrono::steady_clock::now() + limit).time_since_epoch())
                             .count();
    }
    start.gain = gain;
    start.sound = sound.get();
    start.repeat = state.repeat;
    sound->audioRefs.fetch_add(1, std::memory_order_relaxed);
    if (!send(voice, target, start)) {
        sound->audioRefs.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    state.sounding = true;
    state.device = target;
    state.playSeq = state.positionSeq = state.seq;
    state.positionTarget = 0;
    state.gain = gain;
    state.sound = sound;
    state.shortAtPlay = target->mixer->shortfalls();
    wakeWorkers();
    return true;
}

bool AudioEngine::stop(int voice) {
    if (!sounding(voice)) return false;
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    send(voice, state.device, command(MixerCommand::Type::Stop));
    state.sounding = false;
    state.sound.reset();  // the fading tail holds its own audio reference
    return true;
}

bool AudioEngine::fadeOut(int voice, int ms) {
    if (!sounding(voice)) return false;
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    MixerCommand fade = command(MixerCommand::Type::Fade);
    fade.frame = int64_t{std::max(ms, 0)} * options_.sampleRate / 1000;
    return send(voice, state.device, fade);
}

void AudioEngine::seek(int voice, int64_t frame) {
    if (!sounding(voice)) return;
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    frame = std::clamp<int64_t>(frame, 0, state.sound->frames());
    MixerCommand move = command(MixerCommand::Type::Seek);
    move.frame = frame;
    if (send(voice, state.device, move)) {
        state.positionSeq = state.seq;
        state.positionTarget = frame;
        wakeWorkers();
    }
}

void AudioEngine::setGain(int voice, float gain) {
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    state.gain = gain;
    if (state.device != nullptr && state.device->output) {
        MixerCommand level = command(MixerCommand::Type::Gain);
        level.gain = gain;
        send(voice, state.device, level);
    }
}

void AudioEngine::setRepeat(int voice, bool on) {
    VoiceState& state = voices_[static_cast<size_t>(voice)];
    if (state.repeat == on) return;
    state.repeat = on;
    if (state.device != nullptr && state.device->output) {
        MixerCommand change = command(MixerCommand::Type::Repeat);
        change.repeat = on;
        send(voice, state.device, change);
    }
}

bool AudioEngine::sounding(int voice) const {
    const VoiceState& state = voices_[static_cast<size_t>(voice)];
    return state.sounding && state.device->mixer->endedSeq(voice) != state.playSeq;
}

int64_t AudioEngine::position(int voice) const {
    const VoiceState& state = voices_[static_cast<size_t>(voice)];
    if (state.device == nullptr) return 0;
    const Mixer& mixer = *state.device->mixer;
    if (!applied(mixer.appliedSeq(voice), state.positionSeq)) return state.positionTarget;
    return mixer.position(voice);
}

AudioEngine::Aired AudioEngine::aired(int voice) const {
    const VoiceState& state = voices_[static_cast<size_t>(voice)];
    if (state.device == nullptr) return {};
    const Device& device = *state.device;
    const Mixer& mixer = *device.mixer;
    if (!applied(mixer.appliedSeq(voice), state.playSeq)) return {};  // not begun yet
    const Mixer::Aired got = mixer.aired(voice);
    Aired aired;
    aired.frames = got.frames;
    aired.laps = got.laps;
    aired.dryPeriods = got.dryPeriods;
    // A dry period in flight may lower the count by one for a moment.
    const uint64_t shortNow = mixer.shortfalls();
    aired.gaps = got.dryPeriods + (shortNow > state.shortAtPlay ? shortNow - state.shortAtPlay : 0);
    const auto timeOf = [&](int64_t frame) {
        const auto readAt =
            device.readFrames < 0 ? std::chrono::steady_clock::now() : device.readAt;
        const int64_t readFrames = device.readFrames < 0 ? mixer.playedFrames() : device.readFrames;
        return readAt + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(frame - readFrames) /
                                                          options_.sampleRate));
    };
    if (got.first >= 0) aired.first = timeOf(got.first);
    if (got.last >= 0) aired.last = timeOf(got.last);
    return aired;
}

bool AudioEngine::startedLate(int voice) const {
    const VoiceState& state = voices_[static_cast<size_t>(voice)];
    return !state.sounding && state.device != nullptr &&
           state.device->mixer->lateSeq(voice) == state.playSeq && state.playSeq != 0;
}

bool AudioEngine::deviceLost(int voice) const {
    const VoiceState& state = voices_[static_cast<size_t>(voice)];
    return !state.sounding && state.device != nullptr && state.device->output == nullptr;
}

std::vector<int> AudioEngine::pump() {
    return pump(std::chrono::steady_clock::now());
}

std::vector<int> AudioEngine::pump(std::chrono::steady_clock::time_point now) {
    for (const VoiceState& voice : voices_) {
        if (voice.used && voice.sounding && voice.device != nullptr) voice.device->lastSound = now;
    }
    for (auto& device : devices_) {
        if (device->output && device->output->lost()) {
            device->output.reset();    // its thread no longer runs the mixer...
            device->mixer->abandon();  // ...so the mixer can be emptied from here
        }
        device->readAt = now;
        device->readFrames = device->mixer->playedFrames();
        // Silent: no voice sounds on it, and the last one's fade is long over.
        const bool silent = now - device->lastSound >= kSilentAfter;
        if (device->output) device->output->adapt(now, silent);
    }
    std::vector<int> ended;
    for (size_t v = 0; v < voices_.size(); ++v) {
        VoiceState& state = voices_[v];
        if (state.sounding && !sounding(static_cast<int>(v))) {
            state.sounding = false;
            state.sound.reset();
            ended.push_back(static_cast<int>(v));
        }
    }
    return ended;
}

uint64_t AudioEngine::underruns() const {
    uint64_t total = 0;
    for (const auto& device : devices_) total += device->mixer->underruns();
    return total;
}

uint64_t AudioEngine::underruns(const std::optional<std::string>& device) const {
    for (const auto& open : devices_) {
        if (open->name == device) return open->mixer->underruns();
    }
    return 0;
}

double AudioEngine::queuedMs(const std::optional<std::string>& device) const {
    for (const auto& open : devices_) {
        if (open->name == device && open->output) {
            return open->output->queuedFrames() * 1000.0 / options_.sampleRate;
        }
    }
    return 0;
}

double AudioEngine::reserveMs(const std::optional<std::string>& device) const {
    for (const auto& open : devices_) {
        if (open->name == device && open->output) {
            return open->output->reserveFrames() * 1000.0 / options_.sampleRate;
        }
    }
    return 0;
}

std::chrono::nanoseconds AudioEngine::remixTime() const {
    std::chrono::nanoseconds total{};
    for (const auto& device : devices_) {
        if (device->output) total += device->output->remixTime();
    }
    return total;
}

uint64_t AudioEngine::dryPeriods() const {
    uint64_t total = 0;
    for (const auto& device : devices_) total += device->mixer->dryPeriods();
    return total;
}

uint64_t AudioEngine::seekWaitPeriods() const {
    uint64_t total = 0;
    for (const auto& device : devices_) total += device->mixer->seekWaitPeriods();
    return total;
}

bool AudioEngine::readAheadFilled() const {
    return worker_->allFilled() &&
           std::all_of(shareWorkers_.begin(), shareWorkers_.end(),
                       [](const auto& shared) { return shared.second->allFilled(); });
}

size_t AudioEngine::liveSounds() const {
    size_t count = worker_->soundCount();
    for (const auto& shared : shareWorkers_) count += shared.second->soundCount();
    return count;
}

}  // namespace tambrel::audio
