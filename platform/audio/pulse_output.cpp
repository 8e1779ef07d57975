#include "platform/audio/pulse_output.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include "platform/audio/mixer.h"
#include "platform/audio/queue_target.h"
#include "platform/audio/realtime.h"
#include "platform/audio/server_link.h"
#include "platform/audio/unseen_locks.h"

namespace tambrel::audio {

namespace {
int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How long the link's thread waits for the server to answer, at most.
constexpr pa_usec_t kAnswerUsec = ServerLink::kAnswerTime.count() * 1'000'000;
// A new stream may run short while the device wakes up (a null sink runs
// ahead of real time for its first two seconds): not the machine's doing.
constexpr std::chrono::milliseconds kSettle{2500};

UnseenLock libpulseLocks;
}  // namespace

// libpulse's thread and the context on it, connecting from the moment it is
// made. Shared by the backend's link and every output opened on it, so that
// whichever goes last closes it.
class PulseConnection final : public ServerConnection {
  public:
    PulseConnection() {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ != nullptr) {
            context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Tambrel");
        }
        if (context_ == nullptr) {
            ended_.store(true, std::memory_order_release);
            return;
        }
        pa_context_set_state_callback(context_, &PulseConnection::stateChanged, this);
        pa_context_set_subscribe_callback(context_, &PulseConnection::sinkEvent, this);
        libpulseLocks.left();  // what was set up so far happens before the thread's work
        if (pa_threaded_mainloop_start(loop_) < 0) {
            ended_.store(true, std::memory_order_release);
            return;
        }
        started_ = true;
        Lock lock(*this);
        // No autospawn: a desktop without a server gets SDL's devices, not a
        // server started behind its back.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            ended_.store(true, std::memory_order_release);
        }
    }

    ~PulseConnection() override {
        if (started_) {
            {
                Lock lock(*this);
                pa_context_disconnect(context_);
            }
            pa_threaded_mainloop_stop(loop_);
        }
        if (context_ != nullptr) pa_context_unref(context_);
        if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
    }
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Holds libpulse's lock: no callback runs meanwhile.
    class Lock {
      public:
        explicit Lock(PulseConnection& connection)
            : loop_(connection.started_ ? connection.loop_ : nullptr) {
            if (loop_ == nullptr) return;
            pa_threaded_mainloop_lock(loop_);
            libpulseLocks.taken();
        }
        ~Lock() {
            if (loop_ == nullptr) return;
            libpulseLocks.left();
            pa_threaded_mainloop_unlock(loop_);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

    // Under the lock.
    bool ready() const { return started_ && pa_context_get_state(context_) == PA_CONTEXT_READY; }
    // Any thread: ready once, and not failed since.
    bool alive() const override { return alive_.load(std::memory_order_acquire); }
    bool ended() const override { return ended_.load(std::memory_order_acquire); }
    bool takeChange() override {
        return changed_.exchange(false, std::memory_order_acq_rel) ||
               blind_.load(std::memory_order_acquire);
    }
    pa_context* context() const { return context_; }
    std::string failure() override {
        if (!started_) return "impossible de démarrer le client du serveur de son";
        Lock lock(*this);
        return pa_strerror(pa_context_errno(context_));
    }

    // Under the lock: waits for `done`, woken by any callback that calls
    // wake(), at most `usec`. False when the time ran out.
    bool wait(const std::function<bool()>& done, pa_usec_t usec) {
        bool late = false;
        struct Alarm {
            PulseConnection* connection;
            bool* late;
        } alarm{this, &late};
        pa_time_event* timer = pa_context_rttime_new(
            context_, pa_rtclock_now() + usec,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
                auto* fired = static_cast<Alarm*>(data);
                const HeldBy held(libpulseLocks);
                *fired->late = true;
                fired->connection->wake();
            },
            &alarm);
        while (!done() && !late) {
            libpulseLocks.left();
            pa_threaded_mainloop_wait(loop_);
            libpulseLocks.taken();
        }
        if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
        return !late || done();
    }
    // Under the lock, or on libpulse's thread.
    void wake() { pa_threaded_mainloop_signal(loop_, 0); }

    // Under the lock: waits for `operation`, at most kAnswerUsec, and lets it go.
    bool finish(pa_operation* operation) {
        if (operation == nullptr) return false;
        const bool done =
            wait([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                 kAnswerUsec);
        if (!done) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done;
    }

    // The link's thread: the sinks, in the server's order.
    std::optional<std::vector<ServerSink>> sinks() override {
        Lock lock(*this);
        if (!ready()) return std::nullopt;
        std::vector<ServerSink> found;
        struct Listing {
            PulseConnection* connection;
            std::vector<ServerSink>* found;
        } listing{this, &found};
        const bool answered = finish(pa_context_get_sink_info_list(
            context_,
            [](pa_context*, const pa_sink_info* info, int last, void* data) {
                auto* into = static_cast<Listing*>(data);
                const HeldBy held(libpulseLocks);
                if (last == 0 && info != nullptr && info->name != nullptr) {
                    into->found->push_back(
                        {info->index, info->name,
                         info->description != nullptr ? info->description : info->name});
                }
                if (last != 0) into->connection->wake();
            },
            &listing));
        if (!answered) return std::nullopt;
        return found;
    }

  private:
    static void stateChanged(pa_context* context, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        const HeldBy held(libpulseLocks);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) {
            // Asked before anything else on this connection: the server
            // answers in order, so no change after a listing goes unseen.
            pa_operation* subscribing = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK,
                                                             &PulseConnection::subscribed, self);
            if (subscribing != nullptr) {
                pa_operation_unref(subscribing);
            } else {
                self->blind_.store(true, std::memory_order_release);
            }
            self->alive_.store(true, std::memory_order_release);
        } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            self->alive_.store(false, std::memory_order_release);
            self->ended_.store(true, std::memory_order_release);
        }
        self->wake();
    }

    static void subscribed(pa_context*, int success, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        const HeldBy held(libpulseLocks);
        if (success == 0) self->blind_.store(true, std::memory_order_release);
    }

    static void sinkEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        const HeldBy held(libpulseLocks);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK) {
            self->changed_.store(true, std::memory_order_release);
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    std::atomic<bool> alive_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> changed_{true};  // a new connection's sinks are news
    std::atomic<bool> blind_{false};   // not subscribed: every question says true
};

namespace {

class PulseOutput final : public AudioOutput {
  public:
    PulseOutput(std::shared_ptr<PulseConnection> connection, Mixer& mixer)
        : connection_(std::move(connection)), mixer_(mixer) {}

    ~PulseOutput() override {
        if (stream_ == nullptr) return;
        // Under the lock no write request is being served; after it none will be.
        PulseConnection::Lock lock(*connection_);
        // The server answers a disconnection later, and requests still
        // pending until then would call back into this object once gone.
        for (pa_operation* operation : operations_) {
            pa_operation_cancel(operation);
            pa_operation_unref(operation);
        }
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_buffer_attr_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Under the lock: asks the server for the stream, without waiting for
    // it (see ready()). False when it cannot be asked.
    bool connect(const char* sink, int sampleRate, int periodFrames) {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(sampleRate), 2};
        pa_channel_map map;
        pa_channel_map_init_stereo(&map);
        stream_ = pa_stream_new(connection_->context(), "Tambrel", &format, &map);
        if (stream_ == nullptr) return false;
        pa_stream_set_state_callback(stream_, &PulseOutput::stateChanged, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::pull, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::underflow, this);
        pa_stream_set_buffer_attr_callback(stream_, &PulseOutput::attributesChanged, this);

        periodFrames_ = periodFrames;
        rate_ = sampleRate;
        queue_.emplace(QueueTarget::Steps{periodFrames * PulseBackend::kServerPeriods,
                                          periodFrames * PulseBackend::kMostServerPeriods,
                                          periodFrames * PulseBackend::kGrowPeriods, periodFrames,
                                          PulseBackend::kCleanStretch, kSettle});
        applied_ = queue_->target();
        const pa_buffer_attr attr = attributes();
        // The buffer asked for is the whole latency, the device's included;
        // a named device that goes away ends the stream instead of moving it
        // to another device behind the operator's back.
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        if (sink != nullptr) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        return pa_stream_connect_playback(stream_, sink, &attr, flags, nullptr, nullptr) >= 0;
    }

    bool lost() const override {
        return lost_.load(std::memory_order_acquire) || !connection_->alive();
    }

    // A device still waking up may take a start up late, as before it was
    // watched; one that has been asking steadily drops a start it takes up
    // too late, its server having frozen since the press.
    std::chrono::milliseconds lateStartLimit() const override {
        return pulls_.steady() ? kLateStart : std::chrono::milliseconds{0};
    }
    bool ready(std::chrono::milliseconds wait) override {
        if (!ready_.load(std::memory_order_acquire) && wait.count() > 0) {
            PulseConnection::Lock lock(*connection_);
            connection_->wait([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                              static_cast<pa_usec_t>(wait.count()) * 1000);
        }
        return ready_.load(std::memory_order_acquire) && !lost() && !pulls_.stalled();
    }

    // A start waits behind what the server keeps queued, which must outlast
    // the server's own delays, and those depend on the machine. A larger
    // target is filled by the next requests and a smaller one drains as it
    // plays, so nothing queued is ever dropped or played twice.
    void adapt(Clock::time_point now, bool /*silent*/) override {
        // The server splits the queue between the device and the stream, and
        // a device that was kept waiting catches up at once from the stream's
        // half: to ride out a wait like the longest just seen, the whole
        // queue needs twice that, and a request more on each side.
        const int64_t waited = longestWait_.exchange(0, std::memory_order_relaxed);
        const auto cover = static_cast<int>(2 * waited * rate_ / 1'000'000'000 + 2 * periodFrames_);
        const int wanted = queue_->follow(mixer_.underruns() - mixer_.dryPeriods(), now, cover);
        // The server converts to microseconds and back: a frame or two off.
        const bool granted = std::abs(queuedFrames() - applied_) < periodFrames_ / 2;
        // A large step is taken a few periods at a time, each once the last
        // is granted: the device's half grows at once, and must not take more
        // than the stream's half holds until the stream has been topped up.
        int next = applied_;
        if (wanted < applied_) {
            next = wanted;
        } else if (wanted > applied_ && granted) {
            next = std::min(wanted, applied_ + PulseBackend::kGrowPeriods * periodFrames_);
        }
        if (next != applied_) {
            applied_ = next;
            asks_ = 0;
            PulseConnection::Lock lock(*connection_);
            const pa_buffer_attr attr = attributes();
            pa_operation* changing =
                pa_stream_set_buffer_attr(stream_, &attr, &PulseOutput::attributesSet, this);
            keep(changing);
        } else if (!granted && asks_ < kMostAsks && !asking_.load(std::memory_order_acquire)) {
            // The device takes its share of a change a little after the
            // stream does; look again until the two add up to the target.
            ++asks_;
            PulseConnection::Lock lock(*connection_);
            askTiming(stream_, this);
        }
    }

    int queuedFrames() const override { return grantedFrames_.load(std::memory_order_relaxed); }

  private:
    pa_buffer_attr attributes() const {
        constexpr uint32_t kFrameBytes = 2 * sizeof(float);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(applied_) * kFrameBytes;
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(periodFrames_) * kFrameBytes;  // starts go out soon
        attr.fragsize = static_cast<uint32_t>(-1);
        return attr;
    }

    // libpulse's thread. The server splits the target between the device's
    // own buffer and the stream's, so what a start waits behind is the
    // stream's granted length plus the latency the device was set to.
    static void attributesSet(pa_stream* stream, int success, void* data) {
        const HeldBy held(libpulseLocks);
        if (success != 0) askTiming(stream, static_cast<PulseOutput*>(data));
    }

    // Under the lock, or on libpulse's thread.
    static void askTiming(pa_stream* stream, PulseOutput* self) {
        pa_operation* asking =
            pa_stream_update_timing_info(stream, &PulseOutput::timingKnown, self);
        if (asking == nullptr) return;
        self->asking_.store(true, std::memory_order_release);
        self->keep(asking);
    }

    // Under the lock: a request whose answer calls back into this object,
    // kept until it is answered, so that the destructor can cancel it.
    void keep(pa_operation* operation) {
        if (operation == nullptr) return;
        std::erase_if(operations_, [](pa_operation* kept) {
            if (pa_operation_get_state(kept) == PA_OPERATION_RUNNING) return false;
            pa_operation_unref(kept);
            return true;
        });
        operations_.push_back(operation);
    }

    static void timingKnown(pa_stream* stream, int success, void* data) {
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        self->asking_.store(false, std::memory_order_release);
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream);
        const pa_timing_info* timing = pa_stream_get_timing_info(stream);
        if (success != 0 && granted != nullptr && timing != nullptr) {
            const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
            const auto device =
                static_cast<int64_t>(timing->configured_sink_usec) * format->rate / 1'000'000;
            self->grantedFrames_.store(
                static_cast<int>(granted->tlength / pa_frame_size(format) + device),
                std::memory_order_relaxed);
        }
        self->connection_->wake();
    }

    // The server moved the stream or changed its buffer by itself.
    static void attributesChanged(pa_stream* stream, void* data) {
        const HeldBy held(libpulseLocks);
        askTiming(stream, static_cast<PulseOutput*>(data));
    }

    static void stateChanged(pa_stream* stream, void* data) {
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) {
            askTiming(stream, self);  // what the server granted, for queuedFrames()
            self->ready_.store(true, std::memory_order_release);
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            self->lost_.store(true, std::memory_order_release);
        }
        self->connection_->wake();
    }

    // libpulse's thread: the server wants `bytes` more. The buffer comes
    // from libpulse's shared memory pool; the mixer writes straight into it.
    static void pull(pa_stream* stream, size_t bytes, void* data) {
        raiseToRealtime();
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        self->pulls_.pulled();
        // How long since the server last asked: a machine that held the
        // server or this thread still shows here, even when no sound is on.
        const int64_t now = steadyNanos();
        const int64_t waited = self->lastPull_ > 0 ? now - self->lastPull_ : 0;
        self->lastPull_ = now;
        if (waited > self->longestWait_.load(std::memory_order_relaxed)) {
            self->longestWait_.store(waited, std::memory_order_relaxed);
        }
        constexpr size_t kFrameBytes = 2 * sizeof(float);
        while (bytes >= kFrameBytes) {
            void* buffer = nullptr;
            size_t size = bytes;
            if (pa_stream_begin_write(stream, &buffer, &size) < 0 || buffer == nullptr) return;
            size -= size % kFrameBytes;
            if (size == 0) {
                pa_stream_cancel_write(stream);
                return;
            }
            self->mixer_.render(static_cast<float*>(buffer), static_cast<int>(size / kFrameBytes));
            if (pa_stream_write(stream, buffer, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= std::min(bytes, size);
        }
    }

    static void underflow(pa_stream*, void* data) {
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        self->mixer_.countUnderrun();
    }

    std::shared_ptr<PulseConnection> connection_;
    Mixer& mixer_;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> ready_{false};
    std::atomic<bool> lost_{false};
    PullWatch pulls_;
    int periodFrames_ = 0;
    std::atomic<int> grantedFrames_{0};
    std::atomic<bool> asking_{false};  // a look at what was granted is under way
    int rate_ = 0;
    int64_t lastPull_ = 0;                 // libpulse's thread's own
    std::atomic<int64_t> longestWait_{0};  // between two requests, since adapt() last looked
    // The control thread's, in adapt().
    std::optional<QueueTarget> queue_;
    int applied_ = 0;  // the target last asked of the server
    int asks_ = 0;     // looks since the last change
    static constexpr int kMostAsks = 100;
    std::vector<pa_operation*> operations_;  // under the lock: requests not yet answered
};

}  // namespace

PulseBackend::PulseBackend() : link_([] { return std::make_shared<PulseConnection>(); }) {}

PulseBackend::~PulseBackend() = default;

bool PulseBackend::usable() const {
    return link_.alive();
}

bool PulseBackend::devicesMayHaveChanged() {
    return link_.takeNews();
}

std::vector<std::string> PulseBackend::deviceNames() {
    std::vector<std::string> names;
    for (ServerSink& sink : link_.known().sinks) names.push_back(std::move(sink.description));
    return names;
}

std::string PulseBackend::problem() {
    const ServerLink::Known known = link_.known();
    if (!known.connection) return "le serveur de son ne répond pas (" + known.failure + ")";
    return known.sinks.empty() ? "aucune sortie audio trouvée" : std::string();
}

std::unique_ptr<AudioOutput> PulseBackend::open(const std::optional<std::string>& name,
                                                Mixer& mixer, int sampleRate, int periodFrames) {
    const ServerLink::Known known = link_.known();
    if (!known.connection) return nullptr;
    auto server = std::static_pointer_cast<PulseConnection>(known.connection);
    std::string sink;
    if (name) {
        const auto found = std::ranges::find(known.sinks, *name, &ServerSink::description);
        if (found == known.sinks.end()) return nullptr;  // not there now
        sink = found->name;
    }
    PulseConnection::Lock lock(*server);
    if (!server->ready()) return nullptr;
    auto output = std::make_unique<PulseOutput>(server, mixer);
    if (!output->connect(name ? sink.c_str() : nullptr, sampleRate, periodFrames)) return nullptr;
    return output;
}

}  // namespace tambrel::audio
