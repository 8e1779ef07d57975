#include "platform/audio/mixer.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/audio/sound.h"

namespace tambrel::audio {
namespace {
constexpr float kFadeStep = 1.0f / Mixer::kFadeFrames;
constexpr float kCeiling = 1.0f;  // full scale: a sum below it passes untouched
constexpr double kHoldSeconds = 0.010;
constexpr double kReleaseSeconds = 0.100;
// A seek sounds again only once this much lies ready at its new place, as
// much as a start has in its head: landing just before the end of a chunk,
// it would otherwise play a few frames and run dry before the next one.
constexpr int64_t kSeekReadyFrames = Sound::kChunkFrames;
// Releases waiting for the device to play past them: two per command the
// queue can hold, and room for every layer ending within the kept span.
constexpr size_t kMostReleases = 16384;

int64_t steadyNanos() {  // a read of the clock, no system call: fit for the audio thread
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

Mixer::Mixer(int sampleRate)
    : sampleRate_(sampleRate),
      releaseFactor_(static_cast<float>(std::exp(-1.0 / (kReleaseSeconds * sampleRate)))),
      holdFrames_(static_cast<int>(kHoldSeconds * sampleRate)),
      mix_(kBlockFrames * 2),
      scratch_(kBlockFrames * 2),
      gains_(kBlockFrames),
      releases_(kMostReleases) {}

Mixer::~Mixer() {
    abandon();
}

void Mixer::keepHistory(int frames) {
    const size_t steps = static_cast<size_t>(frames / kStepFrames) + 2;
    if (steps <= history_.size()) return;
    history_.assign(steps, State{});
    keptFrom_ = (mixed_ + kStepFrames - 1) / kStepFrames * kStepFrames;  // nothing kept yet
}

void Mixer::release(Voice& voice, Layer& layer) {
    Sound* sound = layer.sound;
    layer.sound = nullptr;
    // Sized for every command the queue holds and every layer ending in the
    // kept span; were it ever full, the sound would be kept, never freed
    // under a voice that a roll-back brings back.
    if (releaseCount_ == releases_.size()) return;
    releases_[(releaseHead_ + releaseCount_) % releases_.size()] = {
        releaseAt_, sound, static_cast<int>(&voice - rt_.voices.data())};
    ++releaseCount_;
}

void Mixer::giveBack(int64_t frame) {
    while (releaseCount_ > 0 && releases_[releaseHead_].frame <= frame) {
        const Release& gone = releases_[releaseHead_];
        // Rewind the read-ahead towards the start, where the next play
        // begins, unless this voice reads the same sound again.
        const Voice& voice = rt_.voices[static_cast<size_t>(gone.voice)];
        if (voice.active.sound != gone.sound && voice.tail.sound != gone.sound) {
            gone.sound->setPlayhead(0);
        }
        gone.sound->audioRefs.fetch_sub(1, std::memory_order_release);
        releaseHead_ = (releaseHead_ + 1) % releases_.size();
        --releaseCount_;
    }
}

void Mixer::moveToTail(Voice& voice) {
    if (voice.tail.sound != nullptr) release(voice, voice.tail);  // a third cut within one fade
    Layer& active = voice.active;
    if (active.waiting || active.envelope <= 0.0f) {
        release(voice, active);  // silent already: nothing to fade
        return;
    }
    voice.tail = active;
    voice.tail.envelopeStep = -kFadeStep;
    active.sound = nullptr;
}

void Mixer::apply(const MixerCommand& command, int64_t soundsAt) {
    Voice& voice = rt_.voices[command.voice];
    rt_.voiceCount = std::max(rt_.voiceCount, command.voice + 1);
    switch (command.type) {
        case MixerCommand::Type::Play:
            if (voice.active.sound != nullptr) moveToTail(voice);
            // What fades on goes on from the level it had reached.
            if (voice.tail.sound != nullptr) voice.tail.envelope *= voice.fade;
            voice.fade = 1.0f;
            voice.fadeStep = 0.0f;
            voice.active.pos = 0;
            voice.aired = 0;
            voice.first = voice.last = -1;
            voice.laps = voice.dry = 0;
            voice.moved = mixed_;
            if (command.notAfter != 0 && soundsAt > command.notAfter) {
                // It would sound too late to be the start the operator asked
                // for: it never begins, and ends at once.
                command.sound->audioRefs.fetch_sub(1, std::memory_order_release);
                voice.late = voice.ended = command.seq;
                break;
            }
            voice.active = Layer{command.sound, 0, 1.0f, 0.0f, false, command.seq};
            command.sound->setPlayhead(0);
            voice.gain = voice.targetGain = command.gain;
            voice.rampLeft = 0;
            voice.repeat = command.repeat;
            break;
        case MixerCommand::Type::Stop:
            if (voice.active.sound != nullptr) moveToTail(voice);
            break;
        case MixerCommand::Type::Seek: {
            Layer& active = voice.active;
            if (active.sound == nullptr) break;
            const int64_t target = std::clamp<int64_t>(command.frame, 0, active.sound->endFrame());
            if (target == active.pos) break;
            // The old place fades out in the tail while the new one fades in;
            // each layer holds its own reference.
            active.sound->audioRefs.fetch_add(1, std::memory_order_relaxed);
            const Layer old = active;
            moveToTail(voice);
            voice.active = Layer{old.sound, target, 0.0f, kFadeStep, true, old.play};
            voice.moved = mixed_;
            old.sound->setPlayhead(target);
            break;
        }
        case MixerCommand::Type::Repeat:
            voice.repeat = command.repeat;
            break;
        case MixerCommand::Type::Fade:
            // From the level reached: a fade asked again only changes its pace.
            if (voice.active.sound != nullptr) {
                voice.fadeStep =
                    voice.fade / static_cast<float>(std::max<int64_t>(command.frame, 1));
            }
            break;
        case MixerCommand::Type::Gain:
            voice.targetGain = command.gain;
            voice.gainStep = (voice.targetGain - voice.gain) / kGainRampFrames;
            voice.rampLeft = kGainRampFrames;
            break;
    }
    voice.applied = command.seq;
}

void Mixer::render(float* stereo, int frames) {
    const auto began = std::chrono::steady_clock::now();
    applyAt_ = lastCommand_ = mixed_;
    applySoundsAt_ = steadyNanos();
    applyWaiting();
    dry_ = seekWait_ = false;
    mix(stereo, frames);
    played(mixed_);
    // A period counts once, whether a voice ran dry in it or the mix took
    // longer than the period lasts (the device would have played a gap).
    const auto took = std::chrono::steady_clock::now() - began;
    const auto lasts = std::chrono::nanoseconds(int64_t{frames} * 1'000'000'000 / sampleRate_);
    if (dry_ || took > lasts) underruns_.fetch_add(1, std::memory_order_release);
    if (dry_) dryPeriods_.fetch_add(1, std::memory_order_release);
    if (seekWait_) seekWaitPeriods_.fetch_add(1, std::memory_order_relaxed);
}

void Mixer::mixAhead(float* stereo, int frames) {
    dry_ = seekWait_ = false;
    mix(stereo, frames);
    if (dry_) {
        underruns_.fetch_add(1, std::memory_order_release);
        dryPeriods_.fetch_add(1, std::memory_order_release);
    }
    if (seekWait_) seekWaitPeriods_.fetch_add(1, std::memory_order_relaxed);
}

void Mixer::mix(float* stereo, int frames) {
    const bool keeping = !history_.empty();
    for (int done = 0; done < frames;) {
        if (mixed_ == applyAt_) applyWaiting();
        int n = std::min(frames - done, kBlockFrames);
        if (keeping) {
            const auto intoStep = static_cast<int>(mixed_ % kStepFrames);
            if (intoStep == 0) keep();
            n = std::min(n, kStepFrames - intoStep);
        }
        if (applyAt_ > mixed_) n = static_cast<int>(std::min<int64_t>(n, applyAt_ - mixed_));
        releaseAt_ = mixed_ + n;  // the state after this block no longer holds what it lets go of
        renderBlock(stereo + static_cast<ptrdiff_t>(done) * 2, n);
        mixed_ += n;
        done += n;
    }
    if (mixed_ == applyAt_) applyWaiting();
}

// The commands waiting, at the frame a roll-back placed them.
void Mixer::applyWaiting() {
    releaseAt_ = mixed_;
    MixerCommand command;
    while (commands_.pop(command)) apply(command, applySoundsAt_);
    applyAt_ = -1;
    if (!history_.empty() && mixed_ % kStepFrames == 0) keep();
}

// Keeps the state at mixed_, a step's first frame. The oldest state kept
// makes room: the device must have played up to the next one by then.
void Mixer::keep() {
    const int64_t oldest = mixed_ - static_cast<int64_t>(history_.size() - 1) * kStepFrames;
    if (keptFrom_ < oldest) {
        if (playedUpTo_ < oldest) played(oldest);
        keptFrom_ = oldest;
    }
    State& to = kept(mixed_);
    std::copy_n(rt_.voices.begin(), rt_.voiceCount, to.voices.begin());
    to.voiceCount = rt_.voiceCount;
    to.limiterEnvelope = rt_.limiterEnvelope;
    to.limiterHold = rt_.limiterHold;
}

int64_t Mixer::rollBack(int64_t frame, int64_t soundsAt) {
    int64_t at = std::max({frame, playedUpTo_, lastCommand_, keptFrom_, int64_t{0}});
    int64_t restart = at - at % kStepFrames;
    // The state kept at that step is from before a command applied within
    // it: the new ones go in at the next step.
    if (restart < lastCommand_) restart = at = restart + kStepFrames;
    if (history_.empty() || at >= mixed_) {
        at = mixed_;  // nothing mixed there yet: the commands apply at the end of the mix
    } else {
        const State& back = kept(restart);
        std::copy_n(back.voices.begin(), back.voiceCount, rt_.voices.begin());
        std::fill(rt_.voices.begin() + back.voiceCount, rt_.voices.begin() + rt_.voiceCount,
                  Voice{});
        rt_.voiceCount = back.voiceCount;
        rt_.limiterEnvelope = back.limiterEnvelope;
        rt_.limiterHold = back.limiterHold;
        // What the state at `restart` still holds is no longer let go of.
        while (releaseCount_ > 0 &&
               releases_[(releaseHead_ + releaseCount_ - 1) % releases_.size()].frame > restart) {
            --releaseCount_;
        }
        mixed_ = restart;
    }
    applySoundsAt_ = soundsAt + (at - frame) * 1'000'000'000 / sampleRate_;
    // Later roll-backs never undo a command: they place theirs here at the earliest.
    applyAt_ = lastCommand_ = at;
    if (mixed_ == at) applyWaiting();
    return at;
}

void Mixer::played(int64_t frame) {
    frame = std::min(frame, mixed_);
    if (frame <= playedUpTo_) return;
    if (frame < mixed_) {
        if (history_.empty()) return;  // no state kept there
        frame -= frame % kStepFrames;
        if (frame <= playedUpTo_ || frame < keptFrom_) return;
    }
    publish(frame == mixed_ ? rt_ : kept(frame), frame);
    giveBack(frame);
    playedUpTo_ = frame;
    played_.store(frame, std::memory_order_release);
}

// Tells what the voices of `state`, the state at `frame`, put on the air.
void Mixer::publish(const State& state, int64_t frame) {
    for (int v = 0; v < state.voiceCount; ++v) {
        const Voice& at = state.voices[static_cast<size_t>(v)];
        Published& published = voices_[static_cast<size_t>(v)];
        published.position.store(at.active.pos, std::memory_order_relaxed);
        published.aired.store(at.aired, std::memory_order_relaxed);
        published.first.store(at.first, std::memory_order_relaxed);
        published.last.store(at.last, std::memory_order_relaxed);
        published.laps.store(at.laps, std::memory_order_relaxed);
        published.dry.store(at.dry, std::memory_order_relaxed);
        published.late.store(at.late, std::memory_order_relaxed);
        published.ended.store(at.ended, std::memory_order_release);
        published.applied.store(at.applied, std::memory_order_release);
        // The worker keeps the data from the place played on, where a
        // roll-back may go back to; a Play or Seek mixed later has placed
        // the read-ahead where that one begins.
        if (at.active.sound != nullptr && rt_.voices[static_cast<size_t>(v)].moved <= frame) {
            at.active.sound->setPlayhead(at.active.pos);
        }
    }
}

void Mixer::renderBlock(float* out, int frames) {
    std::fill_n(mix_.begin(), frames * 2, 0.0f);
    for (int v = 0; v < rt_.voiceCount; ++v) {
        const Voice& voice = rt_.voices[static_cast<size_t>(v)];
        if (voice.active.sound != nullptr || voice.tail.sound != nullptr) renderVoice(v, frames);
    }
    limit(out, frames);
}

void Mixer::renderVoice(int index, int frames) {
    Voice& voice = rt_.voices[static_cast<size_t>(index)];
    // One gain curve for both layers: flat, or a glide to a new volume,
    // under the fade-out when one was asked.
    for (int i = 0; i < frames; ++i) {
        if (voice.rampLeft > 0) {
            voice.gain = --voice.rampLeft == 0 ? voice.targetGain : voice.gain + voice.gainStep;
        }
        if (voice.fadeStep > 0.0f) voice.fade = std::max(voice.fade - voice.fadeStep, 0.0f);
        gains_[static_cast<size_t>(i)] = voice.gain * voice.fade;
    }
    if (voice.tail.sound != nullptr) mixLayer(voice, voice.tail, frames, true);
    if (voice.active.sound != nullptr) mixLayer(voice, voice.active, frames, false);
    if (voice.fadeStep > 0.0f && voice.fade <= 0.0f) endFade(voice);
}

// Faded to silence: the playback ends there, as at the end of its data.
void Mixer::endFade(Voice& voice) {
    if (voice.active.sound != nullptr) {
        voice.ended = voice.active.play;
        release(voice, voice.active);
    }
    if (voice.tail.sound != nullptr) release(voice, voice.tail);
    voice.fade = 1.0f;
    voice.fadeStep = 0.0f;
}

void Mixer::addLayer(Layer& layer, int offset, int count) {
    const float* in = scratch_.data();
    float* mix = mix_.data() + static_cast<ptrdiff_t>(offset) * 2;
    for (int i = 0; i < count; ++i) {
        float gain = gains_[static_cast<size_t>(offset) + static_cast<size_t>(i)];
        if (layer.envelopeStep != 0.0f) {
            layer.envelope = std::clamp(layer.envelope + layer.envelopeStep, 0.0f, 1.0f);
            if (layer.envelope == 1.0f) layer.envelopeStep = 0.0f;
            gain *= layer.envelope;
        }
        mix[i * 2] += in[i * 2] * gain;
        mix[i * 2 + 1] += in[i * 2 + 1] * gain;
    }
}

Mixer::Aired Mixer::aired(int voice) const {
    const Published& published = voices_[static_cast<size_t>(voice)];
    return {published.aired.load(std::memory_order_relaxed),
            published.laps.load(std::memory_order_relaxed),
            published.dry.load(std::memory_order_relaxed),
            published.first.load(std::memory_order_relaxed),
            published.last.load(std::memory_order_relaxed)};
}

// The sounding layer's frames [offset, offset + frames) of the block went on the air.
void Mixer::count(Voice& voice, int offset, int frames) {
    if (frames <= 0) return;
    const int64_t at = mixed_ + offset;
    if (voice.first < 0) voice.first = at;
    voice.aired += frames;
    voice.last = at + frames;
}

void Mixer::mixLayer(Voice& voice, Layer& layer, int frames, bool isTail) {
    Sound* sound = layer.sound;
    if (layer.waiting && !sound->ready(layer.pos, kSeekReadyFrames)) {
        seekWait_ = true;
        return;
    }
    int got = 0;
    for (;;) {
        const int n = static_cast<int>(sound->read(layer.pos, scratch_.data(), frames - got));
        if (n > 0) layer.waiting = false;
        addLayer(layer, got, n);
        if (!isTail) count(voice, got, n);
        layer.pos += n;
        got += n;
        // A voice told to repeat goes on from the start at the end of its data.
        const bool atEnd = layer.pos >= sound->endFrame();
        if (got == frames || isTail || !voice.repeat || !atEnd || (n == 0 && layer.pos == 0)) {
            break;
        }
        layer.pos = 0;
        ++voice.laps;
    }

    if (isTail) {  // gone once faded or out of data
        if (layer.envelope <= 0.0f || got < frames) release(voice, layer);
        return;
    }
    if (got < frames) {
        if (layer.pos >= sound->endFrame()) {
            voice.ended = layer.play;
            release(voice, layer);
            return;
        }
        if (!layer.waiting) {
            // The read-ahead ran dry: keep time with silence, fade back in
            // when the data is there again.
            dry_ = true;
            ++voice.dry;
            layer.pos += frames - got;
            layer.envelope = 0.0f;
            layer.envelopeStep = kFadeStep;
        } else {
            seekWait_ = true;
        }
    }
}

// A peak-hold envelope over both sides: it rises at once to any peak, holds
// it for a while and then falls slowly; the gain keeps the envelope at the
// ceiling. Held across the cycles of a tone, the gain stays steady instead of
// pumping from peak to peak.
void Mixer::limit(float* out, int frames) {
    const float* mix = mix_.data();
    float envelope = rt_.limiterEnvelope;
    for (int i = 0; i < frames; ++i) {
        const float left = mix[i * 2];
        const float right = mix[i * 2 + 1];
        const float peak = std::max(std::fabs(left), std::fabs(right));
        if (peak >= envelope) {
            envelope = peak;
            rt_.limiterHold = holdFrames_;
        } else if (rt_.limiterHold > 0) {
            --rt_.limiterHold;
        } else {
            envelope = std::max(peak, envelope * releaseFactor_);
        }
        const float gain = envelope > kCeiling ? kCeiling / envelope : 1.0f;
        out[i * 2] = left * gain;
        out[i * 2 + 1] = right * gain;
    }
    rt_.limiterEnvelope = envelope;
}

void Mixer::abandon() {
    // No device takes more: all that was mixed counts as played, and every
    // sound is given back.
    releaseAt_ = mixed_;
    for (int v = 0; v < rt_.voiceCount; ++v) {
        Voice& voice = rt_.voices[static_cast<size_t>(v)];
        if (voice.tail.sound != nullptr) release(voice, voice.tail);
        if (voice.active.sound != nullptr) {
            voice.ended = voice.active.play;
            release(voice, voice.active);
        }
    }
    publish(rt_, mixed_);
    giveBack(mixed_);
    playedUpTo_ = lastCommand_ = mixed_;
    applyAt_ = -1;
    keptFrom_ = (mixed_ + kStepFrames - 1) / kStepFrames * kStepFrames;
    played_.store(mixed_, std::memory_order_release);
    MixerCommand command;
    while (commands_.pop(command)) {
        if (command.type == MixerCommand::Type::Play) {
            command.sound->audioRefs.fetch_sub(1, std::memory_order_release);
        }
        voices_[command.voice].applied.store(command.seq, std::memory_order_release);
        if (command.type == MixerCommand::Type::Play) {
            voices_[command.voice].ended.store(command.seq, std::memory_order_release);
        }
    }
}

}  // namespace tambrel::audio
