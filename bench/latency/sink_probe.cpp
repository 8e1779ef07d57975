#include "bench/latency/sink_probe.h"

#include <algorithm>
#include <cmath>

namespace tambrel::bench {

SinkProbe::SinkProbe(int rate) : rate_(rate) {
    samples_.reserve(static_cast<size_t>(rate) * 240);
    fragments_.reserve(240'000);
}

void SinkProbe::append(const float* data, size_t count, Clock::time_point firstTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto first = static_cast<int64_t>(samples_.size());
    if (data == nullptr) {
        samples_.resize(samples_.size() + count, 0.0f);  // a hole: nothing was there
        missed_.emplace_back(first, first + static_cast<int64_t>(count));
    } else {
        samples_.insert(samples_.end(), data, data + count);
    }
    fragments_.push_back({first, firstTime});
}

void SinkProbe::noteLatency(double ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    latencyMs_ = ms;
    minLatencyMs_ = std::min(minLatencyMs_, ms);
    maxLatencyMs_ = std::max(maxLatencyMs_, ms);
}

void SinkProbe::settleLatency() {
    std::lock_guard<std::mutex> lock(mutex_);
    minLatencyMs_ = maxLatencyMs_ = latencyMs_;
}

int64_t SinkProbe::missedFrames(int64_t from, int64_t to) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t missed = 0;
    for (const auto& [begin, end] : missed_) {
        missed += std::max<int64_t>(0, std::min(end, to) - std::max(begin, from));
    }
    return missed;
}

int64_t SinkProbe::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only frames whose fragment has its time.
    if (fragments_.empty()) return 0;
    return static_cast<int64_t>(samples_.size());
}

std::vector<float> SinkProbe::samples(int64_t from, int64_t to) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto size = static_cast<int64_t>(samples_.size());
    from = std::clamp<int64_t>(from, 0, size);
    to = std::clamp<int64_t>(to, from, size);
    return {samples_.begin() + from, samples_.begin() + to};
}

int64_t SinkProbe::findLoud(int64_t from, int64_t to, float threshold) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto end = std::min(static_cast<size_t>(std::max<int64_t>(to, 0)), samples_.size());
    for (auto i = static_cast<size_t>(std::max<int64_t>(from, 0)); i < end; ++i) {
        if (std::fabs(samples_[i]) > threshold) return static_cast<int64_t>(i);
    }
    return -1;
}

Clock::time_point SinkProbe::timeOf(int64_t frame) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fragments_.empty()) return Clock::time_point{};
    auto after = std::upper_bound(
        fragments_.begin(), fragments_.end(), frame,
        [](int64_t value, const Fragment& fragment) { return value < fragment.firstFrame; });
    const Fragment& fragment = after == fragments_.begin() ? fragments_.front() : *(after - 1);
    const double offset = static_cast<double>(frame - fragment.firstFrame) / rate_;
    return fragment.firstTime +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
}

double SinkProbe::latencyMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencyMs_;
}

double SinkProbe::minLatencyMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return minLatencyMs_;
}

double SinkProbe::maxLatencyMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxLatencyMs_;
}

}  // namespace tambrel::bench
