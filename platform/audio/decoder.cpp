#include "platform/audio/decoder.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace tambrel::audio {
namespace {

constexpr int64_t kSourceBlockFrames = 1024;
constexpr float kSideLevel = 0.70710678f;  // -3 dB, the usual fold-down of a centre or rear channel

// A file's bytes, read whole, that libsndfile decodes as it would the file.
struct Bytes {
    std::vector<unsigned char> data;
    sf_count_t at = 0;
    ~Bytes() { heldInMemory.fetch_sub(static_cast<int64_t>(data.size())); }
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    static sf_count_t length(void* self) {
        return static_cast<sf_count_t>(static_cast<Bytes*>(self)->data.size());
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        auto* bytes = static_cast<Bytes*>(self);
        const sf_count_t base = whence == SEEK_CUR   ? bytes->at
                                : whence == SEEK_END ? length(self)
                                                     : 0;
        bytes->at = std::clamp<sf_count_t>(base + offset, 0, length(self));
        return bytes->at;
    }
    static sf_count_t read(void* out, sf_count_t count, void* self) {
        auto* bytes = static_cast<Bytes*>(self);
        const sf_count_t n = std::clamp<sf_count_t>(count, 0, length(self) - bytes->at);
        std::memcpy(out, bytes->data.data() + bytes->at, static_cast<size_t>(n));
        bytes->at += n;
        return n;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* self) { return static_cast<Bytes*>(self)->at; }

    static std::atomic<int64_t> heldInMemory;
};
std::atomic<int64_t> Bytes::heldInMemory{0};

class SndfileSource final : public AudioSource {
  public:
    SndfileSource(SNDFILE* file, const SF_INFO& info, std::unique_ptr<Bytes> bytes, uint64_t share)
        : file_(file), info_(info), bytes_(std::move(bytes)), share_(share) {}
    ~SndfileSource() override { sf_close(file_); }
    SndfileSource(const SndfileSource&) = delete;
    SndfileSource& operator=(const SndfileSource&) = delete;

    int channels() const override { return info_.channels; }
    int sampleRate() const override { return info_.samplerate; }
    int64_t frames() const override { return info_.frames; }
    int64_t read(float* interleaved, int64_t count) override {
        const sf_count_t got = sf_readf_float(file_, interleaved, count);
        return got > 0 ? got : 0;
    }
    bool seek(int64_t frame) override { return sf_seek(file_, frame, SEEK_SET) >= 0; }
    std::vector<int> channelMap() const override {
        std::vector<int> map(static_cast<size_t>(info_.channels));
        if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
            map.clear();
        }
        return map;
    }
    uint64_t share() const override { return share_; }

  private:
    SNDFILE* file_;
    SF_INFO info_;
    std::unique_ptr<Bytes> bytes_;  // what it decodes, when read whole; outlives file_'s close
    uint64_t share_;
};

// File systems served over the network (or by a user process): a call there
// can wait on a server, so a sound is better read whole while it is loaded.
bool servedFromAfar(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<uint32_t>(fs.f_type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE (sshfs, and the rest)
        case 0x01021997:  // 9P
        case 0x00C36400:  // Ceph
        case 0x5346414F:  // AFS
        case 0x73757245:  // Coda
            return true;
        default:
            return false;
    }
}

// Reads the whole file; null when it does not fit within the bounds, or the
// read fails (the file is then decoded from the disk as it plays).
std::unique_ptr<Bytes> readWhole(int fd, off_t size) {
    if (size <= 0 || size > kMostBytesReadWhole) return nullptr;
    if (Bytes::heldInMemory.fetch_add(size) + size > kMostBytesHeldWhole) {
        Bytes::heldInMemory.fetch_sub(size);
        return nullptr;
    }
    auto bytes = std::make_unique<Bytes>();  // counted from here
    bytes->data.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < bytes->data.size()) {
        const ssize_t n = ::pread(fd, bytes->data.data() + got, bytes->data.size() - got,
                                  static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < bytes->data.size()) return nullptr;  // shorter now than it said: read as it plays
    return bytes;
}

// Channel positions of a file that has more than two channels and no map:
// the order WAV and most encoders use.
int defaultPosition(int channel) {
    static constexpr int kOrder[] = {
        SF_CHANNEL_MAP_LEFT,
        SF_CHANNEL_MAP_RIGHT,
        SF_CHANNEL_MAP_CENTER,
        SF_CHANNEL_MAP_LFE,
        SF_CHANNEL_MAP_REAR_LEFT,
        SF_CHANNEL_MAP_REAR_RIGHT,
        SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
        SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER,
        SF_CHANNEL_MAP_REAR_CENTER,
        SF_CHANNEL_MAP_SIDE_LEFT,
        SF_CHANNEL_MAP_SIDE_RIGHT,
    };
    if (channel < static_cast<int>(std::size(kOrder))) return kOrder[channel];
    return channel % 2 == 0 ? SF_CHANNEL_MAP_LEFT : SF_CHANNEL_MAP_RIGHT;
}

void weightsFor(int position, float& left, float& right) {
    switch (position) {
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
            left = 1.0f, right = 0.0f;
            return;
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
            left = 0.0f, right = 1.0f;
            return;
        case SF_CHANNEL_MAP_REAR_LEFT:
        case SF_CHANNEL_MAP_SIDE_LEFT:
        case SF_CHANNEL_MAP_TOP_REAR_LEFT:
            left = kSideLevel, right = 0.0f;
            return;
        case SF_CHANNEL_MAP_REAR_RIGHT:
        case SF_CHANNEL_MAP_SIDE_RIGHT:
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
            right = kSideLevel, left = 0.0f;
            return;
        case SF_CHANNEL_MAP_LFE:
            left = right = 0.0f;  // the bass channel has no place on two speakers
            return;
        default:  // centre, mono, rear or top centre, ambisonic or unknown
            left = right = kSideLevel;
            return;
    }
}

}  // namespace

OpenResult openSndfile(const std::string& nativePath) {
    OpenResult result;
    // O_NONBLOCK so that opening a FIFO returns at once; it is refused below.
    const int fd = ::open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        result.error = "not a regular file";
        return result;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    SF_INFO info{};
    SNDFILE* file = nullptr;
    const bool afar = servedFromAfar(fd);
    std::unique_ptr<Bytes> bytes = afar ? readWhole(fd, st.st_size) : nullptr;
    // Still read as it plays from a share: its read-ahead waits on that share alone.
    const uint64_t share = afar && !bytes ? static_cast<uint64_t>(st.st_dev) : 0;
    if (bytes) {
        ::close(fd);
        static SF_VIRTUAL_IO io{Bytes::length, Bytes::seek, Bytes::read, Bytes::write, Bytes::tell};
        file = sf_open_virtual(&io, SFM_READ, &info, bytes.get());
        if (file == nullptr) {
            result.error = sf_strerror(nullptr);
            return result;
        }
    } else {
        file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
        if (file == nullptr) {
            result.error = sf_strerror(nullptr);
            ::close(fd);  // sf_open_fd leaves the descriptor open when it fails
            return result;
        }
    }
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames <= 0) {
        sf_close(file);
        result.error = "no audio in the file";
        return result;
    }
    result.source = std::make_unique<SndfileSource>(file, info, std::move(bytes), share);
    return result;
}

int64_t bytesHeldWhole() {
    return Bytes::heldInMemory.load();
}

StereoStream::StereoStream(std::unique_ptr<AudioSource> source, int outputRate)
    : source_(std::move(source)), outputRate_(outputRate) {
    const int channels = source_->channels();
    leftWeight_.resize(static_cast<size_t>(channels));
    rightWeight_.resize(static_cast<size_t>(channels));
    if (channels == 1) {
        leftWeight_[0] = rightWeight_[0] = 1.0f;
    } else if (channels == 2) {
        leftWeight_ = {1.0f, 0.0f};
        rightWeight_ = {0.0f, 1.0f};
    } else {
        std::vector<int> map = source_->channelMap();
        for (int c = 0; c < channels; ++c) {
            const int position = map.empty() ? defaultPosition(c) : map[static_cast<size_t>(c)];
            weightsFor(position, leftWeight_[static_cast<size_t>(c)],
                       rightWeight_[static_cast<size_t>(c)]);
        }
    }
    sourceBuffer_.resize(static_cast<size_t>(kSourceBlockFrames * channels));

    const int sourceRate = source_->sampleRate();
    if (sourceRate == outputRate_) {
        frames_ = source_->frames();
        return;
    }
    frames_ = (source_->frames() * outputRate_ + sourceRate / 2) / sourceRate;
    stereoBuffer_.resize(static_cast<size_t>(kSourceBlockFrames * 2));
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    resampler_ = soxr_create(sourceRate, outputRate_, 2, &error, &io, &quality, nullptr);
    if (error != nullptr) {
        resampler_ = nullptr;
        frames_ = 0;  // nothing can be played at this rate
    }
}

StereoStream::~StereoStream() {
    if (resampler_ != nullptr) soxr_delete(resampler_);
}

void StereoStream::downmix(const float* in, float* out, int64_t count) const {
    const size_t channels = leftWeight_.size();
    if (channels == 2) {
        std::copy(in, in + count * 2, out);
        return;
    }
    for (int64_t f = 0; f < count; ++f) {
        const float* frame = in + f * static_cast<int64_t>(channels);
        float left = 0.0f;
        float right = 0.0f;
        for (size_t c = 0; c < channels; ++c) {
            left += frame[c] * leftWeight_[c];
            right += frame[c] * rightWeight_[c];
        }
        out[f * 2] = left;
        out[f * 2 + 1] = right;
    }
}

int64_t StereoStream::readSource(float* stereo, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        const int64_t want = std::min(count - done, kSourceBlockFrames);
        const int64_t got = source_->read(sourceBuffer_.data(), want);
        if (got <= 0) break;
        downmix(sourceBuffer_.data(), stereo + done * 2, got);
        done += got;
    }
    return done;
}

int64_t StereoStream::read(float* stereo, int64_t count) {
    count = std::clamp<int64_t>(count, 0, frames_ - position_);
    int64_t done = 0;
    if (resampler_ == nullptr) {
        done = readSource(stereo, count);
    } else {
        while (done < count) {
            if (stereoOffset_ == stereoCount_ && !sourceEnded_) {
                stereoOffset_ = 0;
                stereoCount_ = readSource(stereoBuffer_.data(), kSourceBlockFrames);
                sourceEnded_ = stereoCount_ < kSourceBlockFrames;
            }
            size_t consumed = 0;
            size_t produced = 0;
            if (stereoOffset_ < stereoCount_) {
                soxr_process(resampler_, stereoBuffer_.data() + stereoOffset_ * 2,
                             static_cast<size_t>(stereoCount_ - stereoOffset_), &consumed,
                             stereo + done * 2, static_cast<size_t>(count - done), &produced);
                stereoOffset_ += static_cast<int64_t>(consumed);
                if (consumed == 0 && produced == 0) break;  // a stuck filter must not spin
            } else if (!flushed_) {
                // The source is spent: drain what the filter still holds.
                soxr_process(resampler_, nullptr, 0, nullptr, stereo + done * 2,
                             static_cast<size_t>(count - done), &produced);
                flushed_ = produced == 0;
            } else {
                break;
            }
            done += static_cast<int64_t>(produced);
        }
    }
    // A damaged float file can hold NaN or infinity; one such sample would
    // poison the whole mix of its output.
    for (float* sample = stereo; sample != stereo + done * 2; ++sample) {
        if (!std::isfinite(*sample)) *sample = 0.0f;
    }
    position_ += done;
    return done;
}

bool StereoStream::seek(int64_t frame) {
    frame = std::clamp<int64_t>(frame, 0, frames_);
    const int64_t sourceFrame =
        resampler_ == nullptr ? frame : frame * source_->sampleRate() / outputRate_;
    if (!source_->seek(sourceFrame)) return false;
    if (resampler_ != nullptr) soxr_clear(resampler_);
    stereoOffset_ = stereoCount_ = 0;
    sourceEnded_ = flushed_ = false;
    position_ = frame;
    return true;
}

}  // namespace tambrel::audio
