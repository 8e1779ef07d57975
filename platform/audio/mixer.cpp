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
      gains_(kBlockFrames) {}

Mixer::~Mixer() {
    abandon();
}

void Mixer::release(Voice& voice, Layer& layer) {
    Sound* sound = layer.sound;
    layer.sound = nullptr;
    // Rewind the read-ahead towards the start, where the next play begins,
    // unless the other layer of this voice still reads the same sound.
    if (voice.active.sound != sound && voice.tail.sound != sound) sound->setPlayhead(0);
    sound->audioRefs.fetch_sub(1, std::memory_order_release);
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

void Mixer::apply(const MixerCommand& command) {
    Voice& voice = rt_[command.voice];
    Published& published = voices_[command.voice];
    switch (command.type) {
        case MixerCommand::Type::Play:
            if (voice.active.sound != nullptr) moveToTail(voice);
            published.position.store(0, std::memory_order_relaxed);
            published.aired.store(0, std::memory_order_relaxed);
            published.first.store(-1, std::memory_order_relaxed);
            published.last.store(-1, std::memory_order_relaxed);
            published.laps.store(0, std::memory_order_relaxed);
            published.dry.store(0, std::memory_order_relaxed);
            if (command.notAfter != 0 && steadyNanos() > command.notAfter) {
                // Taken up too late to be the start the operator asked for:
                // it never begins, and ends at once.
                command.sound->audioRefs.fetch_sub(1, std::memory_order_release);
                published.late.store(command.seq, std::memory_order_relaxed);
                published.ended.store(command.seq, std::memory_order_release);
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
            old.sound->setPlayhead(target);
            published.position.store(target, std::memory_order_relaxed);
            break;
        }
        case MixerCommand::Type::Repeat:
            voice.repeat = command.repeat;
            break;
        case MixerCommand::Type::Gain:
            voice.targetGain = command.gain;
            voice.gainStep = (voice.targetGain - voice.gain) / kGainRampFrames;
            voice.rampLeft = kGainRampFrames;
            break;
    }
    published.applied.store(command.seq, std::memory_order_release);
}

void Mixer::render(float* stereo, int frames) {
    const auto began = std::chrono::steady_clock::now();
    MixerCommand command;
    while (commands_.pop(command)) apply(command);
    dry_ = seekWait_ = false;
    const int64_t rendered = rendered_.load(std::memory_order_relaxed);
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, kBlockFrames);
        blockStart_ = rendered + done;
        renderBlock(stereo + static_cast<ptrdiff_t>(done) * 2, n);
        done += n;
    }
    rendered_.store(rendered + frames, std::memory_order_release);
    // A period counts once, whether a voice ran dry in it or the mix took
    // longer than the period lasts (the device would have played a gap).
    const auto took = std::chrono::steady_clock::now() - began;
    const auto lasts = std::chrono::nanoseconds(int64_t{frames} * 1'000'000'000 / sampleRate_);
    if (dry_ || took > lasts) underruns_.fetch_add(1, std::memory_order_release);
    if (dry_) dryPeriods_.fetch_add(1, std::memory_order_release);
    if (seekWait_) seekWaitPeriods_.fetch_add(1, std::memory_order_relaxed);
}

void Mixer::renderBlock(float* out, int frames) {
    std::fill_n(mix_.begin(), frames * 2, 0.0f);
    for (int v = 0; v < kMaxVoices; ++v) {
        const Voice& voice = rt_[static_cast<size_t>(v)];
        if (voice.active.sound != nullptr || voice.tail.sound != nullptr) renderVoice(v, frames);
    }
    limit(out, frames);
}

void Mixer::renderVoice(int index, int frames) {
    Voice& voice = rt_[static_cast<size_t>(index)];
    // One gain curve for both layers: flat, or a glide to a new volume.
    for (int i = 0; i < frames; ++i) {
        if (voice.rampLeft > 0) {
            voice.gain = --voice.rampLeft == 0 ? voice.targetGain : voice.gain + voice.gainStep;
        }
        gains_[static_cast<size_t>(i)] = voice.gain;
    }
    if (voice.tail.sound != nullptr) mixLayer(voice, voice.tail, frames, true);
    if (voice.active.sound != nullptr) {
        mixLayer(voice, voice.active, frames, false);
        voices_[static_cast<size_t>(index)].position.store(voice.active.pos,
                                                           std::memory_order_relaxed);
    }
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
void Mixer::count(Published& published, int offset, int frames) {
    if (frames <= 0) return;
    const int64_t at = blockStart_ + offset;
    if (published.first.load(std::memory_order_relaxed) < 0) {
        published.first.store(at, std::memory_order_relaxed);
    }
    published.aired.store(published.aired.load(std::memory_order_relaxed) + frames,
                          std::memory_order_relaxed);
    published.last.store(at + frames, std::memory_order_relaxed);
}

void Mixer::mixLayer(Voice& voice, Layer& layer, int frames, bool isTail) {
    Published& published = voices_[static_cast<size_t>(&voice - rt_.data())];
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
        if (!isTail) count(published, got, n);
        layer.pos += n;
        got += n;
        // A voice told to repeat goes on from the start at the end of its data.
        const bool atEnd = layer.pos >= sound->endFrame();
        if (got == frames || isTail || !voice.repeat || !atEnd || (n == 0 && layer.pos == 0)) {
            break;
        }
        layer.pos = 0;
        published.laps.store(published.laps.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
    }

    if (isTail) {  // gone once faded or out of data
        if (layer.envelope <= 0.0f || got < frames) release(voice, layer);
        return;
    }
    if (got < frames) {
        if (layer.pos >= sound->endFrame()) {
            const uint32_t play = layer.play;
            release(voice, layer);
            published.ended.store(play, std::memory_order_release);
            return;
        }
        if (!layer.waiting) {
            // The read-ahead ran dry: keep time with silence, fade back in
            // when the data is there again.
            dry_ = true;
            published.dry.store(published.dry.load(std::memory_order_relaxed) + 1,
                                std::memory_order_relaxed);
            layer.pos += frames - got;
            layer.envelope = 0.0f;
            layer.envelopeStep = kFadeStep;
        } else {
            seekWait_ = true;
        }
    }
    sound->setPlayhead(layer.pos);
}

// A peak-hold envelope over both sides: it rises at once to any peak, holds
// it for a while and then falls slowly; the gain keeps the envelope at the
// ceiling. Held across the cycles of a tone, the gain stays steady instead of
// pumping from peak to peak.
void Mixer::limit(float* out, int frames) {
    const float* mix = mix_.data();
    float envelope = limiterEnvelope_;
    for (int i = 0; i < frames; ++i) {
        const float left = mix[i * 2];
        const float right = mix[i * 2 + 1];
        const float peak = std::max(std::fabs(left), std::fabs(right));
        if (peak >= envelope) {
            envelope = peak;
            limiterHold_ = holdFrames_;
        } else if (limiterHold_ > 0) {
            --limiterHold_;
        } else {
            envelope = std::max(peak, envelope * releaseFactor_);
        }
        const float gain = envelope > kCeiling ? kCeiling / envelope : 1.0f;
        out[i * 2] = left * gain;
        out[i * 2 + 1] = right * gain;
    }
    limiterEnvelope_ = envelope;
}

void Mixer::abandon() {
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
    for (size_t v = 0; v < rt_.size(); ++v) {
        Voice& voice = rt_[v];
        if (voice.tail.sound != nullptr) release(voice, voice.tail);
        if (voice.active.sound != nullptr) {
            const uint32_t play = voice.active.play;
            release(voice, voice.active);
            voices_[v].ended.store(play, std::memory_order_release);
        }
    }
}

}  // namespace tambrel::audio
