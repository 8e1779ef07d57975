#include "tests/support/test_audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace tambrel::testing {

bool writeAudio(const std::string& path, FileKind kind, int rate, int channels, int64_t frames,
                const std::function<float(int64_t, int)>& sample) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    switch (kind) {
        case FileKind::Wav16:
            info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
            break;
        case FileKind::WavFloat:
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            break;
        case FileKind::Mp3:
            info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
            break;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    constexpr int64_t kBlock = 4096;
    std::vector<float> buffer(static_cast<size_t>(kBlock * channels));
    std::vector<short> shorts(buffer.size());
    bool ok = true;
    for (int64_t start = 0; start < frames && ok; start += kBlock) {
        const int64_t n = std::min(kBlock, frames - start);
        for (int64_t f = 0; f < n; ++f) {
            for (int c = 0; c < channels; ++c) {
                buffer[static_cast<size_t>(f * channels + c)] = sample(start + f, c);
            }
        }
        if (kind == FileKind::Wav16) {
            // Integers written as such: a value k / 32768 reads back exactly.
            for (size_t i = 0; i < buffer.size(); ++i) {
                shorts[i] = static_cast<short>(
                    std::clamp(std::lround(buffer[i] * 32768.0f), -32768L, 32767L));
            }
            ok = sf_writef_short(file, shorts.data(), n) == n;
        } else {
            ok = sf_writef_float(file, buffer.data(), n) == n;
        }
    }
    return sf_close(file) == 0 && ok;
}

float staircase(int64_t frame, int channel) {
    const float value = static_cast<float>(frame % 16384) / 32768.0f;
    return channel == 0 ? value : -value;
}

float programme(int64_t frame, int channel) {
    const double t = static_cast<double>(frame) / 44100.0;
    // A cheap, repeatable noise: the encoder must spend bits on it.
    uint32_t x =
        static_cast<uint32_t>(frame * 2654435761u + static_cast<uint32_t>(channel) * 40503u);
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    const double noise = (static_cast<double>(x & 0xffff) / 32768.0 - 1.0) * 0.05;
    const double tones = 0.2 * std::sin(2 * M_PI * 220.0 * t) +
                         0.15 * std::sin(2 * M_PI * 330.0 * t) +
                         0.1 * std::sin(2 * M_PI * (880.0 + channel * 3.0) * t);
    return static_cast<float>(tones + noise);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tambrel-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace tambrel::testing
