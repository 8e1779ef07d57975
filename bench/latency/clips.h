#pragma once

// The test sounds, made on the spot: each shape as WAV and MP3, at 48 kHz
// and at 44.1 kHz. Both shapes are a 1 kHz tone lasting 1 s.
//
// - loud: -6 dBFS from its very first sample (a cosine starts at its peak),
//   so the first captured sample is already the sound;
// - ramp: its level rises steadily from 0.05 to 0.5, so the level heard at
//   the start tells where in the file the sound began: a skipped start
//   sounds louder than the file's own first milliseconds.

#include <cstdint>
#include <string>
#include <vector>

namespace tambrel::bench {

enum class Shape { Loud, Ramp };

constexpr double kToneHz = 1000.0;
constexpr double kLoudPeak = 0.5;
constexpr double kRampFrom = 0.05;
constexpr double kRampTo = 0.5;
constexpr double kClipSeconds = 1.0;

struct Clip {
    std::string path;
    bool mp3 = false;
    int rate = 0;
    Shape shape = Shape::Loud;
    int64_t frames = 0;
    // The file's own start as libsndfile decodes it: the level over its first
    // 10 ms and the peak of its first 1 ms, against which captures are held.
    double startLevel = 0;
    double startPeak = 0;

    std::string format() const;  // "WAV 48k"
    const char* shapeName() const { return shape == Shape::Loud ? "loud" : "ramp"; }
};

// The four formats, in the order they are reported.
constexpr int kFormats = 4;
std::string formatName(int format);

// Eight clips, index = format * 2 + shape. With `write` false the files are
// only read back (a child process reusing its parent's files). Throws on failure.
std::vector<Clip> makeClips(const std::string& folder, bool write);

inline int clipIndex(int format, Shape shape) {
    return format * 2 + (shape == Shape::Ramp ? 1 : 0);
}
inline int formatOf(int clip) {
    return clip / 2;
}

// Amplitude of a steady tone from its mean square: exact over whole cycles.
double toneLevel(const float* samples, size_t count);
double peakOf(const float* samples, size_t count);

}  // namespace tambrel::bench
