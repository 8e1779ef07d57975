#pragma once

// Mixes every voice of one output device into the device's buffer, in the
// device's real-time callback. The control thread talks to it only through a
// fixed-size command queue; the mixer answers only through atomics (position,
// last command applied, end of playback). render() never locks, allocates,
// frees, logs or touches a file.
//
// Each voice has two layers: the sounding one, and a tail that fades out over
// a few milliseconds after a stop or a seek, so that neither cuts mid-wave.
// The master bus ends in a peak limiter: voices that sum above full scale are
// turned down for the moment they would clip, never wrapped or squared off.

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/audio/spsc_queue.h"

namespace tambrel::audio {

class Sound;

struct MixerCommand {
    enum class Type : uint8_t { Play, Stop, Seek, Gain, Repeat };
    Type type = Type::Stop;
    uint16_t voice = 0;
    uint32_t seq = 0;        // per voice, rising; a Play's seq names its playback
    int64_t frame = 0;       // Seek: where to
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

    explicit Mixer(int sampleRate);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Control thread. False when the queue is full; nothing was sent.
    bool send(const MixerCommand& command) { return commands_.push(command); }

    // Audio thread: mixes `frames` stereo frames into `stereo` (overwritten).
    void render(float* stereo, int frames);

    // Any thread.
    int64_t position(int voice) const {
        return voices_[static_cast<size_t>(voice)].position.load(std::memory_order_relaxed);
    }
    uint32_t appliedSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].applied.load(std::memory_order_acquire);
    }
    // The seq of the last playback of `voice` that ran to its end by itself.
    uint32_t endedSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].ended.load(std::memory_order_acquire);
    }
    // The seq of the last playback of `voice` that never began: the device
    // took it up past its Play's notAfter. It counts as ended too.
    uint32_t lateSeq(int voice) const {
        return voices_[static_cast<size_t>(voice)].late.load(std::memory_order_acquire);
    }
    // What the current or last playback of `voice` put on the air so far:
    // the frames that sounded (every lap), the times it went on from the
    // start, the periods it ran dry, and where its first and last frames
    // fell among the frames rendered (-1 before any).
    struct Aired {
        int64_t frames = 0;
        uint32_t laps = 0;
        uint32_t dryPeriods = 0;
        int64_t first = -1;
        int64_t last = -1;  // just after the last
    };
    Aired aired(int voice) const;
    // Frames rendered for the device since it opened.
    int64_t renderedFrames() const { return rendered_.load(std::memory_order_acquire); }
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

    // Control thread, once no audio thread will ever call render() again
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
        bool repeat = false;  // at the end of the data, go on from the start
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

    void apply(const MixerCommand& command);
    void moveToTail(Voice& voice);
    void release(Voice& voice, Layer& layer);
    void renderBlock(float* out, int frames);
    void renderVoice(int index, int frames);
    void mixLayer(Voice& voice, Layer& layer, int frames, bool isTail);
    void addLayer(Layer& layer, int offset, int count);
    void count(Published& published, int offset, int frames);
    void limit(float* out, int frames);

    const int sampleRate_;
    const float releaseFactor_;
    const int holdFrames_;
    SpscQueue<MixerCommand, 4096> commands_;
    std::array<Voice, kMaxVoices> rt_{};  // the audio thread's own
    std::array<Published, kMaxVoices> voices_{};
    std::vector<float> mix_;
    std::vector<float> scratch_;
    std::vector<float> gains_;
    float limiterEnvelope_ = 0.0f;
    int limiterHold_ = 0;
    std::atomic<int64_t> rendered_{0};
    int64_t blockStart_ = 0;  // the audio thread's: the rendered frame the block begins at
    std::atomic<uint64_t> underruns_{0};
    std::atomic<uint64_t> dryPeriods_{0};
    std::atomic<uint64_t> seekWaitPeriods_{0};
    bool dry_ = false;  // the audio thread's, for the period being mixed
    bool seekWait_ = false;
};

}  // namespace tambrel::audio
