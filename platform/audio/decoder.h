#pragma once

// Turns an audio file into the engine's one sample format: interleaved
// stereo float at the engine's rate. Decoding, downmixing and resampling all
// happen here, on the thread that loads a file or keeps its read-ahead full,
// never on the audio thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct soxr;

namespace tambrel::audio {

// A decoded file as it is stored: any channel count, any rate. The engine
// reads files through this interface so that tests can put a slow or failing
// source in place of a real file.
class AudioSource {
  public:
    virtual ~AudioSource() = default;
    virtual int channels() const = 0;
    virtual int sampleRate() const = 0;
    virtual int64_t frames() const = 0;  // as the header says; the data may end sooner
    // Reads up to `count` frames of interleaved float; returns the frames read,
    // 0 at the end or on a read error.
    virtual int64_t read(float* interleaved, int64_t count) = 0;
    virtual bool seek(int64_t frame) = 0;
    // Speaker position of each channel, in libsndfile's channel map numbering;
    // empty when the file does not say.
    virtual std::vector<int> channelMap() const { return {}; }
    // The network file system the file is still read from as it plays (its
    // device number), or 0: a local disk, or a file read whole.
    virtual uint64_t share() const { return 0; }
};

// Opens a file for decoding, or gives the reason it cannot be played.
struct OpenResult {
    std::unique_ptr<AudioSource> source;
    std::string error;
};
using SourceOpener = OpenResult (*)(const std::string& nativePath);

// libsndfile over a regular file (WAV, MP3, FLAC, Ogg/Vorbis, Opus...).
// Refuses directories, devices and pipes before opening anything, so that a
// path naming a FIFO can never block the caller. A file on a network file
// system (NFS, SMB, FUSE...) is read whole at once, within these bounds, so
// that a share that stalls while it plays leaves no gap; a longer one, or one
// past the total, is read as it plays like a local file.
inline constexpr int64_t kMostBytesReadWhole = int64_t{64} << 20;  // a file: 6 min of CD WAV
inline constexpr int64_t kMostBytesHeldWhole = int64_t{1} << 30;   // every file at once
OpenResult openSndfile(const std::string& nativePath);
// The bytes held now by files read whole.
int64_t bytesHeldWhole();

// Stereo float at `outputRate` from any AudioSource: mono goes to both
// sides at unity, more than two channels are folded down, another rate is
// converted with libsoxr.
class StereoStream {
  public:
    StereoStream(std::unique_ptr<AudioSource> source, int outputRate);
    ~StereoStream();
    StereoStream(const StereoStream&) = delete;
    StereoStream& operator=(const StereoStream&) = delete;

    // Length at the output rate, from the header.
    int64_t frames() const { return frames_; }
    bool resampling() const { return resampler_ != nullptr; }

    // Reads up to `count` stereo frames; fewer only at the end of the data.
    int64_t read(float* stereo, int64_t count);
    // Moves to `frame` at the output rate; the next read starts there.
    bool seek(int64_t frame);
    int64_t position() const { return position_; }
    uint64_t share() const { return source_->share(); }

  private:
    int64_t readSource(float* stereo, int64_t count);
    void downmix(const float* in, float* out, int64_t count) const;

    std::unique_ptr<AudioSource> source_;
    int outputRate_;
    int64_t frames_ = 0;
    int64_t position_ = 0;
    bool sourceEnded_ = false;
    // Per source channel, its weight on the left and the right side.
    std::vector<float> leftWeight_, rightWeight_;
    std::vector<float> sourceBuffer_;  // interleaved, as the source gives it
    std::vector<float> stereoBuffer_;  // source frames folded to stereo, before resampling
    int64_t stereoOffset_ = 0;         // first frame of stereoBuffer_ not yet resampled
    int64_t stereoCount_ = 0;
    soxr* resampler_ = nullptr;
    bool flushed_ = false;
};

}  // namespace tambrel::audio
