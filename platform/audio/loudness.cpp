#include "platform/audio/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace tambrel::audio {
namespace {
constexpr int64_t kBlockFrames = 16384;
constexpr double kGateSeconds = 0.4;

struct StateDeleter {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
}  // namespace

Loudness measureLoudness(const std::string& nativePath, SourceOpener opener,
                         const std::atomic<bool>* stop) {
    Loudness loudness;
    OpenResult opened = opener(nativePath);
    if (!opened.source) return loudness;
    const int rate = opened.source->sampleRate();
    if (rate <= 0 || opened.source->channels() <= 0) return loudness;
    // At its own rate: the measure's filters are defined for any rate, and
    // the resampler would only cost time.
    StereoStream stream(std::move(opened.source), rate);
    const std::unique_ptr<ebur128_state, StateDeleter> state(
        ebur128_init(2, static_cast<unsigned long>(rate),
                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK));
    if (!state) return loudness;
    std::vector<float> block(static_cast<size_t>(kBlockFrames) * 2);
    int64_t frames = 0;
    for (;;) {
        const int64_t got = stream.read(block.data(), kBlockFrames);
        if (got <= 0) break;
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return loudness;
        if (ebur128_add_frames_float(state.get(), block.data(), static_cast<size_t>(got)) !=
            EBUR128_SUCCESS) {
            return loudness;
        }
        frames += got;
    }
    double peak = 0.0;
    for (unsigned int channel = 0; channel < 2; ++channel) {
        double channelPeak = 0.0;
        if (ebur128_true_peak(state.get(), channel, &channelPeak) == EBUR128_SUCCESS) {
            peak = std::max(peak, channelPeak);
        }
    }
    double lufs = -HUGE_VAL;
    double lra = 0.0;
    ebur128_loudness_global(state.get(), &lufs);
    ebur128_loudness_range(state.get(), &lra);
    loudness.peak = peak > 0.0 ? std::max(20.0 * std::log10(peak), kNoPeakDb) : kNoPeakDb;
    loudness.lra = std::isfinite(lra) ? lra : 0.0;
    if (static_cast<double>(frames) < kGateSeconds * rate) {
        loudness.kind = Loudness::Kind::TooShort;
    } else if (!std::isfinite(lufs)) {
        loudness.kind = Loudness::Kind::Silent;
    } else {
        loudness.kind = Loudness::Kind::Measured;
        loudness.lufs = lufs;
    }
    return loudness;
}

double normalisingGainDb(const Loudness& loudness, double targetLufs) {
    if (loudness.kind != Loudness::Kind::Measured) return 0.0;
    return std::min(targetLufs - loudness.lufs, kNormalPeakDb - loudness.peak);
}

}  // namespace tambrel::audio
