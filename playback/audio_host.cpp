#include "playback/audio_host.h"

#include <algorithm>

#include "platform/audio/mixer.h"
#include "platform/audio/output.h"
#include "playback/mm_audio_player.h"

namespace tambrel::playback {
namespace {
constexpr int kPumpMs = 5;
}

AudioHost::AudioHost(std::unique_ptr<audio::OutputBackend> backend,
                     audio::AudioEngine::Options options)
    : engine_(std::move(backend), options), players_(audio::Mixer::kMaxVoices, nullptr) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kPumpMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { pump(); });
    timer_.start();
}

AudioHost::~AudioHost() {
    timer_.stop();
}

int AudioHost::attach(MMAudioPlayerX* player) {
    const int voice = engine_.createVoice();
    if (voice >= 0) players_[static_cast<size_t>(voice)] = player;
    return voice;
}

void AudioHost::detach(int voice) {
    engine_.destroyVoice(voice);
    players_[static_cast<size_t>(voice)] = nullptr;
    stopped_.erase(std::remove(stopped_.begin(), stopped_.end(), voice), stopped_.end());
}

void AudioHost::stopped(int voice) {
    stopped_.push_back(voice);
}

const std::vector<std::string>& AudioHost::deviceNames() {
    if (!devices_) devices_ = engine_.deviceNames();
    return *devices_;
}

void AudioHost::pump() {
    devices_.reset();
    std::vector<int> ended = engine_.pump();
    ended.insert(ended.begin(), stopped_.begin(), stopped_.end());
    stopped_.clear();
    // A handler may stop, start or even destroy players; look each one up
    // again at its turn.
    for (int voice : ended) {
        MMAudioPlayerX* player = players_[static_cast<size_t>(voice)];
        if (player != nullptr) player->raiseOnStop();
    }
}

}  // namespace tambrel::playback
