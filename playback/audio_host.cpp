#include "playback/audio_host.h"

#include <algorithm>

#include "platform/audio/mixer.h"
#include "platform/audio/output.h"

namespace tambrel::playback {
namespace {
constexpr int kPumpMs = 5;
constexpr int kDeviceCheckTurns = 40;  // 200 ms
}  // namespace

AudioHost::AudioHost(std::unique_ptr<audio::OutputBackend> backend,
                     audio::AudioEngine::Options options)
    : engine_(std::move(backend), options),
      players_(audio::Mixer::kMaxVoices),
      loads_(audio::Mixer::kMaxVoices),
      meter_(engine_.opener()) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kPumpMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { pump(); });
    timer_.start();
}

AudioHost::~AudioHost() {
    timer_.stop();
}

int AudioHost::attach(std::function<void()> ended,
                      std::function<void(SoundLoader::Result)> loaded) {
    const int voice = engine_.createVoice();
    if (voice >= 0) {
        players_[static_cast<size_t>(voice)] = std::move(ended);
        loads_[static_cast<size_t>(voice)] = std::move(loaded);
    }
    return voice;
}

uint64_t AudioHost::load(int voice, const QString& path) {
    return loader_.submit({voice, path, drives_, engine_.sampleRate(), engine_.opener()});
}

bool AudioHost::awaitLoad(uint64_t ticket, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::vector<SoundLoader::Result> results = loader_.take(std::max(left, {}));
        const bool ours = std::any_of(results.begin(), results.end(), [ticket](const auto& result) {
            return result.ticket == ticket;
        });
        deliverLoads(std::move(results));
        if (ours) return true;
        if (left.count() <= 0) return false;
    }
}

void AudioHost::deliverLoads(std::vector<SoundLoader::Result> results) {
    for (SoundLoader::Result& result : results) {
        // A copy: the handler may detach its own player.
        const auto loaded = loads_[static_cast<size_t>(result.voice)];
        if (loaded) loaded(std::move(result));
    }
}

void AudioHost::detach(int voice) {
    engine_.destroyVoice(voice);
    players_[static_cast<size_t>(voice)] = nullptr;
    loads_[static_cast<size_t>(voice)] = nullptr;
    stopped_.erase(std::remove(stopped_.begin(), stopped_.end(), voice), stopped_.end());
}

void AudioHost::stopped(int voice) {
    stopped_.push_back(voice);
}

void AudioHost::measure(const QByteArray& nativePath, LoudnessMeter::Stamp stamp) {
    const auto found = known_.find(nativePath);
    if (found == known_.end() || !(found->second.stamp == stamp)) meter_.submit(nativePath, stamp);
}

std::optional<audio::Loudness> AudioHost::loudness(const QByteArray& nativePath,
                                                   LoudnessMeter::Stamp stamp) const {
    const auto found = known_.find(nativePath);
    if (found == known_.end() || !(found->second.stamp == stamp)) return std::nullopt;
    return found->second.loudness;
}

void AudioHost::setNormalising(bool on, double targetLufs) {
    normalising_ = on;
    targetLufs_ = targetLufs;
}

double AudioHost::normalGainDb(const std::optional<audio::Loudness>& loudness) const {
    return normalising_ && loudness ? audio::normalisingGainDb(*loudness, targetLufs_) : 0.0;
}

const std::vector<AudioHost::Device>& AudioHost::devices() {
    if (!listed_) refreshDevices();
    return devices_;
}

bool AudioHost::present(const std::string& name) {
    refreshDevices();
    for (const Device& device : devices_) {
        if (device.name == name) return device.present;
    }
    return false;
}

void AudioHost::remember(const std::string& name) {
    for (const Device& device : devices()) {
        if (device.name == name) return;
    }
    devices_.push_back({name, false});
}

void AudioHost::refreshDevices() {
    const bool first = !listed_;
    listed_ = true;
    std::vector<std::string> names = engine_.deviceNames();
    // A nameless device could not be told apart in the list, nor kept by name.
    std::erase_if(names, [](const std::string& name) {
        return name.find_first_not_of(" \t") == std::string::npos;
    });
    bool changed = false;
    for (Device& device : devices_) {
        const bool now = std::find(names.begin(), names.end(), device.name) != names.end();
        changed |= now != device.present;
        device.present = now;
    }
    for (const std::string& name : names) {
        const bool known = std::any_of(devices_.begin(), devices_.end(),
                                       [&](const Device& device) { return device.name == name; });
        if (!known) {
            devices_.push_back({name, true});
            changed = true;
        }
    }
    if (changed && !first && DevicesChanged) DevicesChanged();
}

void AudioHost::pump() {
    if (--turnsToDeviceCheck_ <= 0) {
        turnsToDeviceCheck_ = kDeviceCheckTurns;
        if (listed_ && engine_.devicesMayHaveChanged()) refreshDevices();
    }
    deliverLoads(loader_.take());
    for (LoudnessMeter::Result& result : meter_.take()) {
        known_[result.path] = {result.stamp, result.loudness};
        if (LoudnessKnown) LoudnessKnown(result.path);
    }
    std::vector<int> ended = engine_.pump();
    ended.insert(ended.begin(), stopped_.begin(), stopped_.end());
    stopped_.clear();
    // A handler may stop, start or even destroy players; look each one up
    // again at its turn.
    for (int voice : ended) {
        // A copy: the handler may detach its own player.
        const std::function<void()> ended = players_[static_cast<size_t>(voice)];
        if (ended) ended();
    }
}

}  // namespace tambrel::playback
