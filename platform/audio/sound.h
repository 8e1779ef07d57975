#pragma once

// One loaded audio file, ready to sound at once and for as long as it lasts.
//
// The head of the file (its first seconds) stays in memory, so that a start,
// and the loop restart to 0, never waits for the disk. Loading decodes the
// first chunk of it before returning, which is enough for the next period
// and many more; the stream worker decodes the rest of the head at once, so
// that loading 28 slots in a row stays quick on the window's thread. The rest
// of the file streams through a ring of chunks that the worker keeps filled
// ahead of the playhead; a file no longer than head and ring together ends up
// wholly in memory. Memory per sound is therefore bounded whatever the
// file's length.
//
// Threads: the loading thread builds it; afterwards the audio thread only
// calls read() and setPlayhead(), the stream worker only nextMissingChunk()
// and fill(). The head never changes after loading; a ring slot is handed
// between worker and audio thread through its atomic chunk index and the
// reader count, so that neither side ever waits on the other in the audio
// thread's direction.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/decoder.h"

namespace tambrel::audio {

class Sound {
  public:
    static constexpr int64_t kChunkFrames = 8192;  // 186 ms at 44.1 kHz
    static constexpr int64_t kHeadChunks = 10;     // about 1.9 s always in memory
    static constexpr int64_t kRingChunks = 24;     // about 4.5 s of read-ahead

    // Never fails: a file that cannot be played gives a sound of length 0
    // whose error() says why.
    static std::shared_ptr<Sound> load(const std::string& nativePath, int outputRate,
                                       SourceOpener opener = openSndfile);
    ~Sound();
    Sound(const Sound&) = delete;
    Sound& operator=(const Sound&) = delete;

    bool playable() const { return frames_ > 0; }
    int64_t frames() const { return frames_; }  // at the output rate
    int rate() const { return rate_; }
    const std::string& error() const { return error_; }

    // Where the data really ends: the length, or less when the file turned out
    // shorter than its header said.
    int64_t endFrame() const { return end_.load(std::memory_order_acquire); }

    // Audio thread. Copies up to `count` stereo frames from `frame` on and
    // returns how many were there; fewer than asked (before endFrame()) means
    // the read-ahead has not got that far yet.
    int64_t read(int64_t frame, float* stereo, int64_t count);
    // Audio thread: true when every frame from `frame` on, up to `count` of
    // them or to the end, is in memory now.
    bool ready(int64_t frame, int64_t count) const;
    // Audio thread: where the sounding voice is, so the worker reads ahead of it.
    void setPlayhead(int64_t frame) { playhead_.store(frame, std::memory_order_relaxed); }

    // Voices of the audio thread that hold this sound; counted up by the
    // thread that sends the start, down by the audio thread when done with it.
    std::atomic<int> audioRefs{0};

    // Stream worker. The next chunk the sound lacks, with how soon it is
    // needed (frames ahead of the playhead; the rest of the head comes first,
    // idle sounds' ring after every sounding one). kHeadRest names the rest of
    // the head. False when nothing is missing.
    static constexpr int64_t kHeadRest = -1;
    bool nextMissingChunk(int64_t& chunk, int64_t& urgency) const;
    // Stream worker: decodes `chunk` into its ring slot, or more of the head.
    void fill(int64_t chunk);

    // The network file system the read-ahead reads from (its device
    // number), or 0: a local disk, or a sound wholly in memory.
    uint64_t share() const { return share_; }

    // Memory held for samples, in bytes.
    size_t sampleBytes() const;

  private:
    struct Slot {
        std::atomic<int64_t> chunk{-1};  // which chunk the slot holds, -1 while it is rewritten
        std::unique_ptr<float[]> samples;
    };

    Sound() = default;
    int64_t chunkCount() const { return (frames_ + kChunkFrames - 1) / kChunkFrames; }
    void markEnd(int64_t frame);
    void fillHead();

    std::string error_;
    int rate_ = 0;
    int64_t frames_ = 0;
    std::atomic<int64_t> end_{0};
    std::atomic<int64_t> playhead_{0};
    std::atomic<int> readers_{0};
    // The first kHeadChunks chunks, interleaved stereo, decoded up to headReady_.
    std::unique_ptr<float[]> head_;
    int64_t headFrames_ = 0;
    std::atomic<int64_t> headReady_{0};
    // Chunk c >= kHeadChunks lives in ring_[(c - kHeadChunks) % ringSize_].
    std::unique_ptr<Slot[]> ring_;
    int64_t ringSize_ = 0;
    std::unique_ptr<StereoStream> stream_;  // the worker's after loading
    uint64_t share_ = 0;
};

}  // namespace tambrel::audio
