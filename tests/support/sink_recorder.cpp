#include "tests/support/sink_recorder.h"

#include <pulse/simple.h>

namespace tambrel::testing {

SinkRecorder::SinkRecorder(const std::string& sink, int rate) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(rate), 2};
    // Small fragments, so that stop() comes soon after the last sound.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(rate / 100) * 2 * sizeof(float);
    const std::string monitor = sink + ".monitor";
    pa_simple* connection =
        pa_simple_new(nullptr, "Tambrel tests", PA_STREAM_RECORD, monitor.c_str(), "record",
                      &format, nullptr, &attr, nullptr);
    if (connection == nullptr) return;
    ok_ = true;
    thread_ = std::thread([this, connection] { run(connection); });
}

SinkRecorder::~SinkRecorder() {
    stop();
}

void SinkRecorder::run(void* connection) {
    auto* simple = static_cast<pa_simple*>(connection);
    std::vector<float> block(441 * 2);
    while (!quit_.load()) {
        if (pa_simple_read(simple, block.data(), block.size() * sizeof(float), nullptr) < 0) break;
        const std::lock_guard<std::mutex> lock(mutex_);
        samples_.insert(samples_.end(), block.begin(), block.end());
    }
    pa_simple_free(simple);
}

int64_t SinkRecorder::frames() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int64_t>(samples_.size() / 2);
}

void SinkRecorder::stop() {
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<float> SinkRecorder::samples() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

}  // namespace tambrel::testing
