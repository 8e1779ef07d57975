#include "platform/audio/mixer.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <numbers>

#include "platform/audio/sound.h"

namespace tambrel::audio {
namespace {
constexpr float kFadeStep = 1.0f / Mixer::kFadeFrames;
constexpr double kHoldSeconds = 0.010;
// The interpolator's window, Kaiser's: of the shapes tried this one read
// tones up to 20 kHz, and sums of them, closest to a long resampler.
constexpr double kKaiserBeta = 5.0;
constexpr double kReleaseSeconds = 0.100;
// A seek sounds again only once this much lies ready at its new place, as
// much as a start has in its head: landing just before the end of a chunk,
// it would otherwise play a few frames and run dry before the next one.
constexpr int64_t kSeekReadyFrames = Sound::kChunkFrames;
// Releases waiting for the device to play past them: two per command the
// queue can hold, and room for every layer ending within the kept span.
constexpr size_t kMostReleases = 16384;

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 30; ++k) {
        term *= x / (2.0 * k);
        sum += term * term;
    }
    return sum;
}

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
      groupRelease_(static_cast<float>(std::pow(releaseFactor_, kPeakGroup + 1))),
      mix_(static_cast<size_t>(kLimiterPast + kBlockFrames + kLimiterAhead) * 2),
      scratch_(static_cast<size_t>(kBlockFrames + kLimiterAhead) * 2),
      gains_(kBlockFrames),
      releases_(kMostReleases) {
    // A windowed sinc for each point between a frame and the next, scaled so
    // that a constant passes unchanged; the frame itself is read as it is.
    constexpr int kHalf = kInterpolatorTaps / 2;
    for (int p = 0; p < kOversample; ++p) {
        double sum = 0.0;
        std::array<double, kInterpolatorTaps> weights{};
        for (int k = 0; k < kInterpolatorTaps; ++k) {
            const double d = kLimiterPast - k + static_cast<double>(p) / kOversample;
            const double w = d / kHalf;
            const double sinc =
                d == 0.0 ? 1.0 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
            weights[static_cast<size_t>(k)] =
                sinc * besselI0(kKaiserBeta * std::sqrt(1.0 - w * w)) / besselI0(kKaiserBeta);
            sum += weights[static_cast<size_t>(k)];
        }
        for (int k = 0; k < kInterpolatorTaps; ++k) {
            taps_[static_cast<size_t>(k)][static_cast<size_t>(p)] =
                p == 0 ? (k == kLimiterPast ? 1.0f : 0.0f)
                       : static_cast<float>(weights[static_cast<size_t>(k)] / sum);
        }
    }
    // What bounds the points a group of frames can read, for quiet().
    for (size_t p = 0; p < kOversample; ++p) {
        float gain = 0.0f;
        float slope = 0.0f;
        for (int k = 0; k < kInterpolatorTaps; ++k) {
            const float weight = std::fabs(taps_[static_cast<size_t>(k)][p]);
            gain += weight;
            slope += weight * static_cast<float>(std::abs(k - kLimiterPast));
        }
        interpolatorGain_ = std::max(interpolatorGain_, gain);
        slopeGain_ = std::max(slopeGain_, slope);
    }
}

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
    if (continuing_) return;  // a copy of the voice, mixed ahead and thrown away
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
    to.limiter = rt_.limiter;
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
        rt_.limiter = back.limiter;
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
    // The block goes between the frames mixed before it and its continuation.
    std::copy(rt_.limiter.past.begin(), rt_.limiter.past.end(), mix_.begin());
    float* block = mix_.data() + static_cast<ptrdiff_t>(kLimiterPast) * 2;
    std::fill_n(block, (frames + kLimiterAhead) * 2, 0.0f);
    float* continuation = block + static_cast<ptrdiff_t>(frames) * 2;
    for (int v = 0; v < rt_.voiceCount; ++v) {
        Voice& voice = rt_.voices[static_cast<size_t>(v)];
        if (voice.active.sound == nullptr && voice.tail.sound == nullptr) continue;
        if (!renderVoice(v, voice, block, frames)) mixContinuation(v, voice, continuation);
    }
    limit(out, frames);
    std::copy_n(mix_.begin() + static_cast<ptrdiff_t>(frames) * 2, kLimiterPast * 2,
                rt_.limiter.past.begin());
}

// What a voice would go on with past the block were no command to come, for
// the limiter to read ahead without delaying the mix: a copy of it is mixed
// and thrown away, so nothing is let go of, counted or told.
void Mixer::mixContinuation(int index, const Voice& voice, float* mix) {
    const bool dry = dry_;
    const bool seekWait = seekWait_;
    continuing_ = true;
    Voice ahead = voice;
    renderVoice(index, ahead, mix, kLimiterAhead);
    continuing_ = false;
    dry_ = dry;
    seekWait_ = seekWait;
}

// Mixes `frames` frames of the voice; true when its continuation was mixed
// along with them, as it is while it plays on steadily.
bool Mixer::renderVoice(int index, Voice& voice, float* mix, int frames) {
    // One gain curve for both layers: flat, or a glide to a new volume,
    // under the fade-out when one was asked.
    for (int i = 0; i < frames; ++i) {
        if (voice.rampLeft > 0) {
            voice.gain = --voice.rampLeft == 0 ? voice.targetGain : voice.gain + voice.gainStep;
        }
        if (voice.fadeStep > 0.0f) voice.fade = std::max(voice.fade - voice.fadeStep, 0.0f);
        gains_[static_cast<size_t>(i)] = voice.gain * voice.fade;
    }
    Ahead* ahead = &ahead_[static_cast<size_t>(index) * 2];
    if (voice.tail.sound != nullptr) mixLayer(voice, voice.tail, ahead[1], mix, frames, true);
    bool continued = voice.tail.sound == nullptr;
    if (voice.active.sound != nullptr) {
        continued = mixLayer(voice, voice.active, ahead[0], mix, frames, false) && continued;
    }
    if (voice.fadeStep > 0.0f && voice.fade <= 0.0f) endFade(voice);
    return continued;
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

void Mixer::addLayer(Layer& layer, float* block, int offset, int count) {
    const float* in = scratch_.data();
    float* mix = block + static_cast<ptrdiff_t>(offset) * 2;
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

// Reads up to `count` frames of `layer` into the scratch buffer. The mix
// reads a little past them too, so that its continuation, mixed on copies of
// the voices, goes to the sound only where the layer went on elsewhere.
int Mixer::readLayer(const Layer& layer, Ahead& ahead, int count) {
    if (continuing_) {
        if (ahead.sound != layer.sound || ahead.pos != layer.pos) {
            return static_cast<int>(layer.sound->read(layer.pos, scratch_.data(), count));
        }
        const int n = std::min(count, ahead.frames);
        std::copy_n(ahead.samples.begin(), n * 2, scratch_.begin());
        return n;
    }
    const auto read =
        static_cast<int>(layer.sound->read(layer.pos, scratch_.data(), count + kLimiterAhead));
    const int n = std::min(read, count);
    ahead.sound = layer.sound;
    ahead.pos = layer.pos + n;
    ahead.frames = read - n;
    std::copy_n(scratch_.begin() + static_cast<ptrdiff_t>(n) * 2, ahead.frames * 2,
                ahead.samples.begin());
    return n;
}

// Mixes `frames` frames of the layer; true when it plays on steadily and its
// continuation, read along, was mixed after them as the next block will.
bool Mixer::mixLayer(Voice& voice, Layer& layer, Ahead& ahead, float* mix, int frames,
                     bool isTail) {
    Sound* sound = layer.sound;
    if (layer.waiting && !sound->ready(layer.pos, kSeekReadyFrames)) {
        seekWait_ = true;
        return false;
    }
    int got = 0;
    for (;;) {
        const int n = readLayer(layer, ahead, frames - got);
        if (n > 0) layer.waiting = false;
        addLayer(layer, mix, got, n);
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
        return false;
    }
    if (got < frames) {
        if (layer.pos >= sound->endFrame()) {
            voice.ended = layer.play;
            release(voice, layer);
            return false;
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
        return false;
    }
    // At one level, a layer goes on as the samples read past the block: the
    // same products as the next block's.
    if (continuing_ || voice.tail.sound != nullptr || voice.rampLeft > 0 || voice.fadeStep > 0.0f ||
        layer.envelopeStep != 0.0f || ahead.frames < kLimiterAhead) {
        return false;
    }
    const float gain = voice.gain * voice.fade;
    float* next = mix + static_cast<ptrdiff_t>(frames) * 2;
    for (size_t i = 0; i < ahead.samples.size(); ++i) next[i] += ahead.samples[i] * gain;
    return true;
}

// A peak-hold envelope over both sides, fed with the true peak of the mix
// from each frame to the next: it rises at once to any peak, holds it for a
// while and then falls slowly; the gain keeps the envelope at the ceiling.
// Held across the cycles of a tone, the gain stays steady instead of pumping
// from peak to peak. The envelope never falls below the ceiling, so a peak
// under it changes nothing.
void Mixer::limit(float* out, int frames) {
    const float* mix = mix_.data() + static_cast<ptrdiff_t>(kLimiterPast) * 2;
    Limiter& limiter = rt_.limiter;
    // Most blocks come nowhere near the ceiling: the envelope at rest, they
    // pass as they are.
    if (limiter.envelope == kCeiling && quiet(mix, 0, frames, kCeiling)) {
        limiter.hold = std::max(0, limiter.hold - frames);
        std::copy_n(mix, frames * 2, out);
        return;
    }
    float envelope = limiter.envelope;
    for (int group = 0; group < frames; group += kPeakGroup) {
        const int end = std::min(group + kPeakGroup, frames);
        const bool fine = !quiet(mix, group, end, std::max(kCeiling, envelope * groupRelease_));
        for (int i = group; i < end; ++i) {
            const float* frame = mix + static_cast<ptrdiff_t>(i) * 2;
            const float peak = fine ? truePeak(frame) : 0.0f;
            if (peak >= envelope) {
                envelope = peak;
                limiter.hold = holdFrames_;
            } else if (limiter.hold > 0) {
                --limiter.hold;
            } else {
                envelope = std::max({kCeiling, peak, envelope * releaseFactor_});
            }
            const float gain = envelope > kCeiling ? kCeiling / envelope : 1.0f;
            out[i * 2] = frame[0] * gain;
            out[i * 2 + 1] = frame[1] * gain;
        }
    }
    limiter.envelope = envelope;
}

// Whether every point the interpolator reads for frames [from, to) stays
// under `lowest`, what would move the envelope in any of them: no point
// rises past the largest sample it weighs times its weights, nor past the
// frame it follows by more than the steepest step allows. Scanned as
// integers, which the compiler turns into vector code.
bool Mixer::quiet(const float* mix, int from, int to, float lowest) const {
    const auto magnitude = [](float x) { return std::bit_cast<int32_t>(x) & 0x7fffffff; };
    const float* first = mix + static_cast<ptrdiff_t>(from - kLimiterPast) * 2;
    const float* last = mix + static_cast<ptrdiff_t>(to + kLimiterAhead) * 2;
    int32_t here = 0;
    for (const float* at = mix + static_cast<ptrdiff_t>(from) * 2; at < mix + to * 2; ++at) {
        here = std::max(here, magnitude(*at));
    }
    int32_t loudest = 0;
    for (const float* at = first; at < last; ++at) loudest = std::max(loudest, magnitude(*at));
    int32_t steepest = 0;
    for (const float* at = first + 2; at < last; ++at) {
        steepest = std::max(steepest, magnitude(*at - at[-2]));
    }
    const float reach =
        std::min(std::bit_cast<float>(loudest) * interpolatorGain_,
                 std::bit_cast<float>(here) + std::bit_cast<float>(steepest) * slopeGain_);
    return reach * 1.0001f < lowest;  // a hair over, for the rounding of the interpolator's sums
}

// The highest the mix's two sides reach at `frame` and between it and the
// next, read through the interpolator.
float Mixer::truePeak(const float* frame) const {
    const float* first = frame - static_cast<ptrdiff_t>(kLimiterPast) * 2;
    std::array<float, kOversample> left{};
    std::array<float, kOversample> right{};
    for (size_t k = 0; k < taps_.size(); ++k) {
        const float l = first[k * 2];
        const float r = first[k * 2 + 1];
        for (size_t p = 0; p < kOversample; ++p) {
            left[p] += taps_[k][p] * l;
            right[p] += taps_[k][p] * r;
        }
    }
    float peak = 0.0f;
    for (size_t p = 0; p < kOversample; ++p) {
        peak = std::max({peak, std::fabs(left[p]), std::fabs(right[p])});
    }
    return peak;
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
