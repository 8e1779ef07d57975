#include "bench/latency/clips.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "tests/support/test_audio.h"

namespace tambrel::bench {
namespace {

struct FileFormat {
    bool mp3;
    int rate;
    const char* name;
};

constexpr FileFormat kFileFormats[kFormats] = {
    {false, 48000, "WAV 48k"},
    {false, 44100, "WAV 44.1k"},
    {true, 48000, "MP3 48k"},
    {true, 44100, "MP3 44.1k"},
};

float sampleOf(Shape shape, int rate, int64_t frame) {
    const double t = static_cast<double>(frame) / rate;
    const double level =
        shape == Shape::Loud ? kLoudPeak : kRampFrom + (kRampTo - kRampFrom) * t / kClipSeconds;
    return static_cast<float>(level * std::cos(2.0 * M_PI * kToneHz * t));
}

// Reads the file's start back as the engine's decoder does, channels averaged.
void measureStart(Clip& clip) {
    SF_INFO info{};
    SNDFILE* file = sf_open(clip.path.c_str(), SFM_READ, &info);
    if (file == nullptr) throw std::runtime_error("cannot read " + clip.path);
    const auto wanted = static_cast<sf_count_t>(clip.rate / 50);  // 20 ms
    std::vector<float> interleaved(static_cast<size_t>(wanted * info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), wanted);
    sf_close(file);
    std::vector<float> mono(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    for (size_t i = 0; i < mono.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c) {
            sum += interleaved[i * static_cast<size_t>(info.channels) + static_cast<size_t>(c)];
        }
        mono[i] = sum / static_cast<float>(info.channels);
    }
    const size_t tenMs = static_cast<size_t>(clip.rate / 100);
    const size_t oneMs = static_cast<size_t>(clip.rate / 1000);
    if (mono.size() < tenMs) throw std::runtime_error("too short: " + clip.path);
    clip.startLevel = toneLevel(mono.data(), tenMs);
    clip.startPeak = peakOf(mono.data(), oneMs);
}

}  // namespace

std::string Clip::format() const {
    for (const auto& fileFormat : kFileFormats) {
        if (fileFormat.mp3 == mp3 && fileFormat.rate == rate) return fileFormat.name;
    }
    return "?";
}

std::string formatName(int format) {
    return kFileFormats[format].name;
}

std::vector<Clip> makeClips(const std::string& folder, bool write) {
    std::vector<Clip> clips;
    for (const auto& fileFormat : kFileFormats) {
        for (Shape shape : {Shape::Loud, Shape::Ramp}) {
            Clip clip;
            clip.mp3 = fileFormat.mp3;
            clip.rate = fileFormat.rate;
            clip.shape = shape;
            clip.frames = static_cast<int64_t>(std::llround(kClipSeconds * fileFormat.rate));
            clip.path = folder + "/" + clip.shapeName() + "-" + std::to_string(fileFormat.rate) +
                        (fileFormat.mp3 ? ".mp3" : ".wav");
            if (write) {
                const auto kind =
                    fileFormat.mp3 ? testing::FileKind::Mp3 : testing::FileKind::Wav16;
                const int rate = fileFormat.rate;
                const bool ok = testing::writeAudio(
                    clip.path, kind, rate, 2, clip.frames,
                    [shape, rate](int64_t frame, int) { return sampleOf(shape, rate, frame); });
                if (!ok) throw std::runtime_error("cannot write " + clip.path);
            }
            measureStart(clip);
            clips.push_back(clip);
        }
    }
    return clips;
}

double toneLevel(const float* samples, size_t count) {
    if (count == 0) return 0;
    double sum = 0;
    for (size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(2.0 * sum / static_cast<double>(count));
}

double peakOf(const float* samples, size_t count) {
    double peak = 0;
    for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::fabs(double{samples[i]}));
    return peak;
}

}  // namespace tambrel::bench
