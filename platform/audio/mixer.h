#pragma once

// Mixes every voice of one output device into the device's buffer, in the
// device's real-time callback. The control thread talks to it only through a
// fixed-size command queue; the mixer answers only through atomics (position,
// last command applied, end of playback). Nothing on the audio thread's side
// ever locks, allocates, frees, logs or touches a file.
//
// Each voice has two layers: the sounding one, and a tail that fades out over
// a few milliseconds after a stop or a seek, so that neither cuts mid-wave.
// A fade-out the operator asks for is a third gain over both, falling to
// silence over its length; there the playback ends as at the end of its data.
// The master bus ends in a limiter that holds the output at -1 dB true peak,
// so that a codec or a resampler after us never clips between samples:
// voices that sum above it are turned down, never wrapped or squared off. It
// reads the mix eight times finer than its frames, and a few frames past each
// block, in what the voices go on with (mixed ahead on copies of them and
// thrown away), so the mix is never delayed. Below the ceiling the mix passes
// bit for bit. Only a command cannot be foreseen: the frames before it are
// limited for what would have followed without it.
//
// A device either plays what it pulls at once (render()), or is sent a mix
// well ahead of what it plays, as a reserve against a machine that does not
// run this program for a while. What is queued there is only a forecast: the
// mixer keeps its state at every kStepFrames-th frame of it, so that a
// command can be mixed in at a frame a few milliseconds after the device's
// read position (rollBack()) and the forecast overwritten from the step
// before, the voices it does not touch mixed again sample for sample. What the voices put on the
// air is told only as the device takes it (played()): a forecast overwritten
// never counts, and a sound stays held while any kept state still reads it.

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/audio/spsc_queue.h"

namespace tambrel::audio {

class Sound;

struct MixerCommand {
    enum class Type : uint8_t { Play, Stop, Seek, Gain, Repeat, Fade };
    Type type = Type::Stop;
    uint16_t voice = 0;
    uint32_t seq = 0;        // per voice, rising; a Play's seq names its playback
    int64_t frame = 0;       // Seek: where to; Fade: over how many frames
    float gain = 1.0f;       // Play, Gain: linear
    Sound* sound = nullptr;  // Play: one audioRefs count travels with it
    bool repeat = false;     // Play, Repeat: at the end of the data, go on from the start
    int64_t notAfter =
        0;  // Play: steady-clock nanoseconds past which it starts no more; 0: any time
};

class Mixer {
  public:
    static constexpr int kMaxVoices = 128;
    static constexpr int kFadeFrames = 256;      // stop and seek fades, about 6 ms
    static constexpr int kGainRampFrames = 256;  // a volume change glides over this
    static constexpr int kBlockFrames = 1024;    // render() works in pieces of at most this
    // A roll-back restarts the mix at a multiple of this (2.9 ms at 44.1
    // kHz), the commands going in at the very frame asked: a coarser step
    // keeps fewer copies of the voices' states, a finer one mixes less again.
    static constexpr int kStepFrames = 128;

    explicit Mixer(int sampleRate);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Control thread. False when the queue is full; nothing was sent.
    bool send(const MixerCommand& command) { return commands_.push(command); }

    // Audio thread, for a device that plays what it pulls at once: applies
    // the commands sent, mixes `frames` stereo frames into `stereo`
    // (overwritten) and counts them as played.
    void render(float* stereo, int frames);

    // Control thread, before an audio thread first mixes ahead: keep enough
    // of the mixer's states to go back over the last `frames` frames mixed
    // and not yet played. Allocates; never shrinks.
    void keepHistory(int frames);
    // Audio thread: mixes the next `frames` frames of the forecast. Commands
    // wait for rollBack().
    void mixAhead(float* stereo, int frames);
    // Audio thread: whether commands wait to be mixed in.
    bool commandsWaiting() const { return commands_.size() > 0; }
    // Audio thread: places the commands waiting at `frame` (never before a
    // frame played or a command applied, and at most at the end of the mix)
    // and returns where they went. The mix goes back to the step before,
    // mixedFrames(), and on from there, the commands applied as it passes
    // their frame. `soundsAt`: the steady-clock nanoseconds at which the
    // device will play `frame`, against which a start's notAfter is held.
    int64_t rollBack(int64_t frame, int64_t soundsAt);
    // Audio thread: the device has taken every frame before `frame` (to the
    // step before it, or all that was mixed): what the voices aired up to
    // there is told, and sounds no state holds any more are given back.
    void played(int64_t frame);
    // Audio thread: the end of the mix, the frame mixAhead() goes on from.
    int64_t mixedFrames() const { return mixed_; }

    // Any thread.
    int64_t position(int voice) const {
        return voices_[static_cast<size_t>(voice)].position.load(std::memory_order_relaxed);
    }
    // The seq of the last command whose effect the device has played up to.
    uint32_t appliedSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].applied.load(std::memory_order_acquire);
    }
    // The seq of the last playback of `voice` that ran to its end by itself.
    uint32_t endedSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].ended.load(std::memory_order_acquire);
    }
    // The seq of the last playback of `voice` that never began: the device
    // would have played its start past its Play's notAfter. It counts as
    // ended too.
    uint32_t lateSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].late.load(std::memory_order_acquire);
    }
    // What the current or last playback of `voice` put on the air so far:
    // the frames that sounded (every lap), the times it went on from the
    // start, the periods it ran dry, and where its first and last frames
    // fell among the frames played (-1 before any).
    struct Aired {
        int64_t frames = 0;
        uint32_t laps = 0;
        uint32_t dryPeriods = 0;
        int64_t first = -1;
        int64_t last = -1;  // just after the last
    };
    Aired aired(int voice) const;
    // Frames the device has taken since it opened.
    int64_t playedFrames() const { return played_.load(std::memory_order_acquire); }
    // Periods that could not be filled on time: a sounding voice found its
    // read-ahead dry, or the mix took longer than the period lasts.
    uint64_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
    // Of those, the periods in which a voice's read-ahead ran dry: the disk's
    // or the worker's doing, not the device thread's lateness.
    uint64_t dryPeriods() const { return dryPeriods_.load(std::memory_order_relaxed); }
    // Periods in which a voice, silent after a seek, waited for the data at
    // its new place: the seek's own short gap, not counted as underruns.
    uint64_t seekWaitPeriods() const { return seekWaitPeriods_.load(std::memory_order_relaxed); }
    // The underruns that were not dry read-aheads: the device kept short. A
    // dry period is counted in both, underruns first, so reading the dry
    // ones first never makes this negative.
    uint64_t shortfalls() const {
        const uint64_t dry = dryPeriods_.load(std::memory_order_acquire);
        return underruns_.load(std::memory_order_acquire) - dry;
    }
    // Device thread: the sound server found the device's buffer empty.
    void countUnderrun() { underruns_.fetch_add(1, std::memory_order_relaxed); }

    // Control thread, once no audio thread will ever call the mixer again
    // (the device is closed): gives back every sound, drops the queued
    // commands and marks every sounding playback as ended.
    void abandon();

  private:
    struct Layer {
        Sound* sound = nullptr;
        int64_t pos = 0;
        float envelope = 1.0f;
        float envelopeStep = 0.0f;
        bool waiting = false;  // after a seek: silent, not advancing, until enough data is there
        uint32_t play = 0;
    };
    struct Voice {
        Layer active;
        Layer tail;
        float gain = 1.0f;
        float targetGain = 1.0f;
        float gainStep = 0.0f;
        int rampLeft = 0;
        // A fade-out: 1 until asked, then falling by fadeStep a frame; kept
        // with the rest of the voice, so a roll-back mixes it again alike.
        float fade = 1.0f;
        float fadeStep = 0.0f;
        bool repeat = false;  // at the end of the data, go on from the start
        // What is told once the device has played up to here.
        uint32_t applied = 0;
        uint32_t ended = 0;
        uint32_t late = 0;
        uint32_t laps = 0;
        uint32_t dry = 0;
        int64_t aired = 0;
        int64_t first = -1;
        int64_t last = -1;
        int64_t moved = -1;  // where the last Play or Seek was applied
    };
    // The master limiter's ceiling: -1 dB true peak.
    static constexpr float kCeiling = 0.89125094f;
    // The limiter reads the mix between its frames too, at kOversample
    // points a frame, through an interpolator kInterpolatorTaps frames long:
    // it needs the frames just before the one it judges, kept with the state,
    // and those just after, which the voices' own continuation gives.
    static constexpr int kOversample = 8;
    static constexpr int kInterpolatorTaps = 16;
    static constexpr int kLimiterPast = kInterpolatorTaps / 2 - 1;
    static constexpr int kLimiterAhead = kInterpolatorTaps / 2;
    static constexpr int kPeakGroup = 32;  // frames judged at once
    struct Limiter {
        float envelope = kCeiling;  // never below: under the ceiling nothing is turned down
        int hold = 0;
        std::array<float, kLimiterPast * 2> past{};  // the frames mixed just before
    };
    // Everything a mix goes on from.
    struct State {
        std::array<Voice, kMaxVoices> voices{};
        Limiter limiter;
        int voiceCount = 0;  // voices past this were never used
    };
    // A sound a layer let go of, given back once `frame` is played: until
    // then a roll-back may need it again.
    struct Release {
        int64_t frame = 0;
        Sound* sound = nullptr;
        int voice = 0;
    };
    struct alignas(64) Published {
        std::atomic<int64_t> position{0};
        std::atomic<uint32_t> applied{0};
        std::atomic<uint32_t> ended{0};
        std::atomic<uint32_t> late{0};
        std::atomic<int64_t> aired{0};
        std::atomic<int64_t> first{-1};
        std::atomic<int64_t> last{-1};
        std::atomic<uint32_t> laps{0};
        std::atomic<uint32_t> dry{0};
    };

    void apply(const MixerCommand& command, int64_t soundsAt);
    void applyWaiting();
    void moveToTail(Voice& voice);
    void release(Voice& voice, Layer& layer);
    void mix(float* out, int frames);
    void renderBlock(float* out, int frames);
    // What a layer's last read found past the block: the start of its continuation.
    struct Ahead {
        const Sound* sound = nullptr;
        int64_t pos = 0;
        int frames = 0;
        std::array<float, kLimiterAhead * 2> samples{};
    };
    bool renderVoice(int index, Voice& voice, float* mix, int frames);
    void mixContinuation(int index, const Voice& voice, float* mix);
    void endFade(Voice& voice);
    bool mixLayer(Voice& voice, Layer& layer, Ahead& ahead, float* mix, int frames, bool isTail);
    int readLayer(const Layer& layer, Ahead& ahead, int count);
    void addLayer(Layer& layer, float* mix, int offset, int count);
    void count(Voice& voice, int offset, int frames);
    void limit(float* out, int frames);
    float truePeak(const float* frame) const;
    bool quiet(const float* mix, int from, int to, float lowest) const;
    State& kept(int64_t frame) {
        return history_[static_cast<size_t>(frame / kStepFrames) % history_.size()];
    }
    void keep();
    void publish(const State& state, int64_t frame);
    void giveBack(int64_t frame);

    const int sampleRate_;
    const float releaseFactor_;
    const int holdFrames_;
    const float groupRelease_;  // the most the envelope falls over a group of frames
    // The interpolator, tap by tap: each tap's weight at every point
    // between a frame and the next, the frame itself first.
    std::array<std::array<float, kOversample>, kInterpolatorTaps> taps_{};
    // The most any point reads, the samples at most 1; and the most it
    // differs from the frame it follows, no step between samples over 1.
    float interpolatorGain_ = 0.0f;
    float slopeGain_ = 0.0f;
    SpscQueue<MixerCommand, 4096> commands_;
    State rt_;  // the audio thread's own, at mixed_
    std::array<Published, kMaxVoices> voices_{};
    std::vector<float> mix_;  // the frames before the block, the block, its continuation
    std::vector<float> scratch_;
    std::array<Ahead, static_cast<size_t>(kMaxVoices) * 2> ahead_{};  // each voice's two layers
    std::vector<float> gains_;
    // The audio thread's: the frames mixed, played, the earliest frame whose
    // state is kept, the last frame a command was placed at, where the
    // commands waiting go in (-1: none placed) and when that sounds, and what
    // the block being mixed lets go of (released from its end).
    int64_t mixed_ = 0;
    int64_t playedUpTo_ = 0;
    int64_t keptFrom_ = 0;
    int64_t lastCommand_ = 0;
    int64_t applyAt_ = -1;
    int64_t applySoundsAt_ = 0;
    int64_t releaseAt_ = 0;
    std::vector<State> history_;     // the state at every kStepFrames-th frame, a ring
    std::vector<Release> releases_;  // a ring, oldest at releaseHead_
    size_t releaseHead_ = 0;
    size_t releaseCount_ = 0;
    std::atomic<int64_t> played_{0};
    std::atomic<uint64_t> underruns_{0};
    std::atomic<uint64_t> dryPeriods_{0};
    std::atomic<uint64_t> seekWaitPeriods_{0};
    bool dry_ = false;  // the audio thread's, for the period being mixed
    bool seekWait_ = false;
    bool continuing_ = false;  // mixing the continuation: nothing is let go of
};

}  // namespace tambrel::audio
