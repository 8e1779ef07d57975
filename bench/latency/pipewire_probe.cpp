#include "bench/latency/pipewire_probe.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>

#include "platform/audio/pipewire_format.h"
#include "platform/audio/spsc_queue.h"

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

constexpr size_t kMostFrames = 2048;  // the largest quantum a graph allows by default

struct Chunk {
    int64_t cycleNanos = 0;
    uint32_t frames = 0;
    uint32_t lost = 0;  // frames the graph's clock moved past without a buffer, before these
    std::array<float, kMostFrames> samples{};
};

}  // namespace

struct PipeWireProbe::Graph {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    // A second of cycles of 64 frames, or twenty of 1024.
    audio::SpscQueue<Chunk, 1024> chunks;
    std::atomic<uint64_t> overflows{0};
    uint64_t nextTicks = 0;  // the data thread's own

    static void process(void* data) {
        auto* graph = static_cast<Graph*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(graph->stream);
        if (buffer == nullptr) return;
        const spa_data& in = buffer->buffer->datas[0];
        pw_time time{};
        if (in.data != nullptr && in.chunk != nullptr &&
            pw_stream_get_time_n(graph->stream, &time, sizeof time) == 0) {
            Chunk chunk;
            const uint32_t offset = std::min(in.chunk->offset, in.maxsize);
            chunk.frames = static_cast<uint32_t>(std::min<size_t>(
                std::min(in.chunk->size, in.maxsize - offset) / (2 * sizeof(float)), kMostFrames));
            chunk.cycleNanos = time.now;
            if (graph->nextTicks != 0 && time.ticks > graph->nextTicks) {
                chunk.lost = static_cast<uint32_t>(
                    std::min<uint64_t>(time.ticks - graph->nextTicks, kMostFrames));
            }
            graph->nextTicks = time.ticks + chunk.frames;
            // Both channels as they are, averaged here: the graph's own
            // down-mix to one channel lowers the level.
            const float* stereo = static_cast<const float*>(in.data) + offset / sizeof(float);
            for (uint32_t i = 0; i < chunk.frames; ++i) {
                chunk.samples[i] = 0.5f * (stereo[2 * i] + stereo[2 * i + 1]);
            }
            if (!graph->chunks.push(chunk)) graph->overflows.fetch_add(1);
        }
        pw_stream_queue_buffer(graph->stream, buffer);
    }
};

PipeWireProbe::PipeWireProbe(const std::string& sink, int rate)
    : SinkProbe(rate), graph_(std::make_unique<Graph>()) {
    pw_init(nullptr, nullptr);
    Graph& graph = *graph_;
    graph.loop = pw_thread_loop_new("latency probe", nullptr);
    graph.context =
        pw_context_new(pw_thread_loop_get_loop(graph.loop),
                       pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (graph.context == nullptr || pw_thread_loop_start(graph.loop) < 0) {
        throw std::runtime_error("probe: cannot start a PipeWire client");
    }
    pw_thread_loop_lock(graph.loop);
    graph.core = pw_context_connect(graph.context, nullptr, 0);
    if (graph.core != nullptr) {
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
            "Production", PW_KEY_TARGET_OBJECT, sink.c_str(), PW_KEY_STREAM_CAPTURE_SINK, "true",
            PW_KEY_NODE_NAME, "latency probe", nullptr);
        graph.stream = pw_stream_new(graph.core, "latency probe", props);
    }
    bool connected = false;
    if (graph.stream != nullptr) {
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &Graph::process;
            return e;
        }();
        pw_stream_add_listener(graph.stream, &graph.listener, &events, &graph);
        uint8_t space[1024];
        const spa_pod* params[] = {audio::stereoFloatFormat(space, rate)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        connected =
            pw_stream_connect(graph.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) >= 0;
    }
    pw_thread_loop_unlock(graph.loop);
    filer_ = std::thread([this] { file(); });
    const auto deadline = Clock::now() + 5s;
    while (connected && frames() <= rate / 10 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    if (!connected || frames() <= rate / 10) {
        close();  // the threads must not outlive a throw
        throw std::runtime_error("probe: no data from the monitor of " + sink);
    }
}

PipeWireProbe::~PipeWireProbe() {
    close();
}

double PipeWireProbe::fragmentMs() const {
    return 1000.0 * cycleFrames_.load() / rate();
}

void PipeWireProbe::close() {
    if (!graph_) return;
    quit_.store(true);
    if (filer_.joinable()) filer_.join();
    Graph& graph = *graph_;
    if (graph.loop != nullptr) {
        pw_thread_loop_lock(graph.loop);
        if (graph.stream != nullptr) pw_stream_destroy(graph.stream);
        if (graph.core != nullptr) pw_core_disconnect(graph.core);
        pw_thread_loop_unlock(graph.loop);
        pw_thread_loop_stop(graph.loop);
    }
    if (graph.context != nullptr) pw_context_destroy(graph.context);
    if (graph.loop != nullptr) pw_thread_loop_destroy(graph.loop);
    graph_.reset();
}

void PipeWireProbe::file() {
    auto chunk = std::make_unique<Chunk>();
    while (!quit_.load()) {
        bool took = false;
        while (graph_->chunks.pop(*chunk)) {
            took = true;
            const Clock::time_point cycle{std::chrono::nanoseconds(chunk->cycleNanos)};
            if (chunk->lost > 0) {
                // Frames before this cycle that never came: silence, marked lost.
                append(nullptr, chunk->lost,
                       cycle - std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(chunk->lost) /
                                                                 rate())));
            }
            append(chunk->samples.data(), chunk->frames, cycle);
            cycleFrames_.store(chunk->frames);
        }
        if (!took) std::this_thread::sleep_for(1ms);
    }
}

}  // namespace tambrel::bench
