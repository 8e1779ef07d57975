#include "bench/latency/pulse_probe.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

// Settled: readings 1 ms apart, the last 300 of them within 0.5 ms, and
// below 20 ms and a fragment.
constexpr size_t kSettleReadings = 300;
constexpr double kSettledSpreadMs = 0.5;
constexpr double kSettledMaxMs = 20;

class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

template <typename Done>
bool PulseProbe::waitLocked(Done done, std::chrono::milliseconds limit) {
    // Not pa_threaded_mainloop_wait: nothing may signal if the server dies,
    // and every wait here is bounded.
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        pa_threaded_mainloop_unlock(loop_);
        std::this_thread::sleep_for(1ms);
        pa_threaded_mainloop_lock(loop_);
    }
    return true;
}

PulseProbe::PulseProbe(const std::string& source, int rate, uint32_t fragmentUsec)
    : SinkProbe(rate) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "latency_bench probe");
    try {
        open(source, fragmentUsec);
    } catch (...) {
        close();  // the loop's thread must not outlive us
        throw;
    }
}

void PulseProbe::open(const std::string& source, uint32_t fragmentUsec) {
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(loop_) < 0) {
        throw std::runtime_error("probe: cannot connect to pulseaudio");
    }
    LoopLock lock(loop_);
    const bool connected = waitLocked(
        [this] {
            const pa_context_state_t state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        5000ms);
    if (!connected || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        throw std::runtime_error("probe: pulseaudio context not ready");
    }

    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(rate()), 1};
    stream_ = pa_stream_new(context_, "latency probe", &sampleFormat, nullptr);
    pa_stream_set_read_callback(stream_, &PulseProbe::onRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentUsec, &sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(stream_, source.c_str(), &attr, flags) < 0) {
        throw std::runtime_error(std::string("probe: cannot record ") + source + ": " +
                                 pa_strerror(pa_context_errno(context_)));
    }
    const bool ready = waitLocked(
        [this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        5000ms);
    if (!ready || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        throw std::runtime_error("probe: record stream not ready on " + source);
    }
    auto monitored = [](pa_context*, const pa_source_info* info, int eol, void* data) {
        if (eol == 0 && info != nullptr) *static_cast<uint32_t*>(data) = info->monitor_of_sink;
    };
    pa_operation* asking = pa_context_get_source_info_by_index(
        context_, pa_stream_get_device_index(stream_), monitored, &sink_);
    if (asking != nullptr) {
        waitLocked([asking] { return pa_operation_get_state(asking) != PA_OPERATION_RUNNING; },
                   1000ms);
        pa_operation_unref(asking);
    }
    if (sink_ == PA_INVALID_INDEX) throw std::runtime_error("probe: " + source + " is no monitor");
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_)) {
        fragmentMs_ =
            static_cast<double>(pa_bytes_to_usec(granted->fragsize, &sampleFormat)) / 1000.0;
    }
    if (!waitLocked([this] { return frames() > rate() / 10; }, 5000ms)) {
        throw std::runtime_error("probe: no data from " + source);
    }
    // libpulse's interpolation starts hundreds of ms off and takes about a
    // second to find the server's clock; no time is good before it settles.
    std::vector<double> recent;
    const double most = kSettledMaxMs + fragmentMs_;
    const bool settled = waitLocked(
        [&] {
            recent.push_back(latencyMs());
            if (recent.size() < kSettleReadings) return false;
            const auto [low, high] =
                std::minmax_element(recent.end() - kSettleReadings, recent.end());
            return *high - *low < kSettledSpreadMs && std::fabs(*high) < most;
        },
        10000ms);
    if (!settled) throw std::runtime_error("probe: the capture latency never settled");
    settleLatency();
}

PulseProbe::~PulseProbe() {
    close();
}

void PulseProbe::close() {
    {
        LoopLock lock(loop_);
        if (stream_ != nullptr) {
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseProbe::onRead(pa_stream* stream, size_t /*bytes*/, void* self) {
    static_cast<PulseProbe*>(self)->take(stream);
}

// The loop's thread, one fragment at a time: the latency asked right after
// a fragment is dropped is the age of the frame just after it, so frame i
// of n entered the sink at arrival - latency - (n - i) / rate.
void PulseProbe::take(pa_stream* stream) {
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        const auto arrived = Clock::now();
        const size_t count = bytes / sizeof(float);
        std::vector<float> copy;
        if (data != nullptr) {
            const auto* values = static_cast<const float*>(data);
            copy.assign(values, values + count);
        }
        pa_stream_drop(stream);

        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &usec, &negative) == 0) {
            noteLatency((negative ? -1.0 : 1.0) * static_cast<double>(usec) / 1000.0);
        }
        const double before = latencyMs() / 1000.0 + static_cast<double>(count) / rate();
        append(data != nullptr ? copy.data() : nullptr, count,
               arrived - std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(before)));
    }
}

std::vector<SinkInput> PulseProbe::sinkInputs() {
    struct Query {
        uint32_t sink = PA_INVALID_INDEX;
        std::vector<SinkInput> found;
        bool done = false;
    } query;
    query.sink = sink_;
    auto collect = [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
        auto* q = static_cast<Query*>(data);
        if (eol != 0 || info == nullptr) {
            q->done = true;
            return;
        }
        if (info->sink != q->sink) return;
        SinkInput input;
        input.index = info->index;
        input.sink = info->sink;
        const char* client = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
        input.client = client != nullptr ? client : info->name != nullptr ? info->name : "";
        input.rate = info->sample_spec.rate;
        input.format = pa_sample_format_to_string(info->sample_spec.format);
        input.resampler = info->resample_method != nullptr ? info->resample_method : "";
        input.bufferMs = static_cast<double>(info->buffer_usec) / 1000.0;
        input.corked = info->corked != 0;
        q->found.push_back(input);
    };
    LoopLock lock(loop_);
    pa_operation* operation = pa_context_get_sink_input_info_list(context_, collect, &query);
    if (operation == nullptr) return {};
    const bool done = waitLocked([&query] { return query.done; }, 1000ms);
    if (!done) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done ? query.found : std::vector<SinkInput>{};
}

}  // namespace tambrel::bench
