#include "platform/audio/pulse_output.h"

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
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
        // Asked with the sinks, so that it is never older than them.
        std::optional<std::string> fallback;
        struct Asking {
            PulseConnection* connection;
            std::optional<std::string>* name;
        } asking{this, &fallback};
        const bool told = finish(pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* into = static_cast<Asking*>(data);
                const HeldBy held(libpulseLocks);
                if (info != nullptr && info->default_sink_name != nullptr) {
                    *into->name = info->default_sink_name;
                }
                into->connection->wake();
            },
            &asking));
        if (!told) return std::nullopt;
        defaultSink_ = std::move(fallback);
        return found;
    }
    // The link's thread.
    std::optional<std::string> defaultSink() override { return defaultSink_; }

  private:
    static void stateChanged(pa_context* context, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        const HeldBy held(libpulseLocks);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) {
            // Asked before anything else on this connection: the server
            // answers in order, so no change after a listing goes unseen.
            // The server's events tell of its default sink changed.
            pa_operation* subscribing =
                pa_context_subscribe(context,
                                     static_cast<pa_subscription_mask_t>(
                                         PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
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
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            self->changed_.store(true, std::memory_order_release);
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    std::atomic<bool> alive_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> changed_{true};         // a new connection's sinks are news
    std::atomic<bool> blind_{false};          // not subscribed: every question says true
    std::optional<std::string> defaultSink_;  // the link thread's
};

namespace {

constexpr size_t kFrameBytes = 2 * sizeof(float);
// How often libpulse's thread asks where the server reads and tops the
// reserve up: the reserve is many times this.
constexpr pa_usec_t kTickUsec = 5000;
// A reading of the server's position older than this does not place a
// command: the server (or this thread) has been held, and the command waits
// for the next reading, so that a start is never mixed in where the server
// is not playing.
constexpr int64_t kFreshNanos = 40'000'000;
// Between two readings the read position is reckoned on by the clock, this
// far at most: a server that holds still does not run on in the reckoning.
constexpr int64_t kMostReckonNanos = 20'000'000;
// Mixed again from a place before what the server holds, a forecast is
// written a piece at a time, the first with the seek back: PipeWire's server
// for PulseAudio clients heard only the end of one larger write that seeked.
constexpr int kPieceFrames = 1024;
// How far past the read position a command is mixed in, which a write must
// reach the server within. It grows at once by what a write came late, and
// gives back kMarginStep after each kCleanRemixes in time.
constexpr double kMarginMs = 2.0;
constexpr double kLeastMarginMs = 1.0;
constexpr double kMostMarginMs = 20.0;
constexpr double kMarginStepMs = 0.25;
constexpr int kCleanRemixes = 32;
// The span the mixer keeps for going back, beyond the largest reserve: the
// reckoning ahead of the last reading, a piece, a tick.
constexpr std::chrono::milliseconds kKeptBeyondReserve{100};
// Requests under way at once: a reading of the position, a cork.
constexpr size_t kMostOperations = 16;

int framesIn(double ms, int rate) {
    return static_cast<int>(ms * rate / 1000.0);
}

// The mix is sent to the server well ahead of what it plays, as a reserve
// against a machine that does not run this program's thread for a while
// (PulseBackend::kReserve), while the stream itself asks the server for
// only a short buffer, so that the device's own buffer stays small. A
// command is mixed in from a little past the server's read position: the
// mixer rolls back to there and the forecast is written over from there on,
// placed by a seek back from the stream's write index, so that the frames
// mixed again line up with the old ones to the sample.
class PulseOutput final : public AudioOutput {
  public:
    PulseOutput(std::shared_ptr<PulseConnection> connection, Mixer& mixer)
        : connection_(std::move(connection)), mixer_(mixer) {}

    ~PulseOutput() override {
        {
            // Under the lock no callback runs; after it none will.
            PulseConnection::Lock lock(*connection_);
            // The server answers a disconnection later, and requests still
            // pending until then would call back into this object once gone.
            for (pa_operation* operation : operations_) {
                pa_operation_cancel(operation);
                pa_operation_unref(operation);
            }
            pa_mainloop_api* api = connection_->api();
            if (ticker_ != nullptr) api->time_free(ticker_);
            if (waker_ != nullptr) api->io_free(waker_);
            if (stream_ != nullptr) {
                pa_stream_set_write_callback(stream_, nullptr, nullptr);
                pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
                pa_stream_set_state_callback(stream_, nullptr, nullptr);
                pa_stream_disconnect(stream_);
                pa_stream_unref(stream_);
            }
        }
        if (wakeFd_ >= 0) close(wakeFd_);
    }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Under the lock: asks the server for the stream, without waiting for
    // it (see ready()). False when it cannot be asked.
    bool connect(const char* sink, int sampleRate, int periodFrames) {
        periodFrames_ = periodFrames;
        rate_ = sampleRate;
        const auto frames = [sampleRate](std::chrono::milliseconds time) {
            return static_cast<int>(time.count() * sampleRate / 1000);
        };
        queue_.emplace(QueueTarget::Steps{
            frames(PulseBackend::kReserve), frames(PulseBackend::kMostReserve),
            frames(PulseBackend::kGrowReserve), frames(PulseBackend::kShrinkReserve),
            PulseBackend::kCleanStretch, kSettle});
        depth_.store(queue_->target(), std::memory_order_relaxed);
        margin_.store(framesIn(kMarginMs, sampleRate), std::memory_order_relaxed);
        operations_.reserve(kMostOperations);  // none allocated on libpulse's thread

        // Commands from the window's thread wake libpulse's without its lock.
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) return false;
        pa_mainloop_api* api = connection_->api();
        waker_ = api->io_new(api, wakeFd_, PA_IO_EVENT_INPUT, &PulseOutput::woken, this);
        if (waker_ == nullptr) return false;

        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(sampleRate), 2};
        pa_channel_map map;
        pa_channel_map_init_stereo(&map);
        stream_ = pa_stream_new(connection_->context(), "Tambrel", &format, &map);
        if (stream_ == nullptr) return false;
        pa_stream_set_state_callback(stream_, &PulseOutput::stateChanged, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::pull, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::underflow, this);

        // A short target: the server sets the device's buffer from it (the
        // target less two requests, one period), and nothing a start waits
        // behind is longer than that and the margin. No prebuffering: the
        // stream plays from its first frame, the reserve written before it
        // is uncorked.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength =
            static_cast<uint32_t>(periodFrames * PulseBackend::kServerPeriods * kFrameBytes);
        attr.prebuf = 0;
        attr.minreq = static_cast<uint32_t>(periodFrames * kFrameBytes);
        attr.fragsize = static_cast<uint32_t>(-1);
        // A named device that goes away ends the stream instead of moving it
        // to another device behind the operator's back.
        auto flags = PA_STREAM_START_CORKED;
        if (sink != nullptr) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        return pa_stream_connect_playback(stream_, sink, &attr, flags, nullptr, nullptr) >= 0;
    }

    bool lost() const override {
        return lost_.load(std::memory_order_acquire) || !connection_->alive();
    }

    // A device still waking up may take a start up late, as before it was
    // watched; one that has been playing steadily drops a start it would
    // play too late, its server having frozen since the press.
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

    // The reserve follows the machine: it grows when it ran low, or the
    // server ran short, to twice the longest the thread was kept from
    // writing, and comes back down after long clean stretches.
    void adapt(Clock::time_point now, bool /*silent*/) override {
        const int64_t waited = longestWait_.exchange(0, std::memory_order_relaxed);
        const auto cover = static_cast<int>(2 * waited * rate_ / 1'000'000'000);
        const uint64_t shortfalls =
            mixer_.underruns() - mixer_.dryPeriods() + lowReserves_.load(std::memory_order_relaxed);
        depth_.store(queue_->follow(shortfalls, now, cover), std::memory_order_relaxed);
    }

    // What a start waits behind: the margin, then the device's buffer.
    int queuedFrames() const override {
        if (!placed_.load(std::memory_order_acquire)) return 0;
        return margin_.load(std::memory_order_relaxed) +
               deviceFrames_.load(std::memory_order_relaxed);
    }
    int reserveFrames() const override { return reserve_.load(std::memory_order_relaxed); }
    void commandsSent() override {
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) return;  // already awake
    }
    std::chrono::nanoseconds remixTime() const override {
        return std::chrono::nanoseconds(remixNanos_.load(std::memory_order_relaxed));
    }

  private:
    // Under the lock, or on libpulse's thread.
    void askTiming(int64_t now) {
        // An answer lost with its request would stop the readings: ask again.
        if (asking_ && now - askedAt_ < 200'000'000) return;
        pa_operation* asking =
            pa_stream_update_timing_info(stream_, &PulseOutput::timingKnown, this);
        if (asking == nullptr) return;
        asking_ = true;
        askedAt_ = now;
        keep(asking);
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

    static void stateChanged(pa_stream* stream, void* data) {
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) {
            self->start();
            self->ready_.store(true, std::memory_order_release);
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            self->lost_.store(true, std::memory_order_release);
        }
        self->connection_->wake();
    }

    // libpulse's thread, once the server has made the stream: the reserve
    // goes first, then the stream plays.
    void start() {
        base_ = mixer_.mixedFrames();
        started_ = true;
        write(0, depth_.load(std::memory_order_relaxed));
        pa_operation* uncorking = pa_stream_cork(stream_, 0, nullptr, nullptr);
        if (uncorking != nullptr) pa_operation_unref(uncorking);
        ticker_ = pa_context_rttime_new(connection_->context(), pa_rtclock_now() + kTickUsec,
                                        &PulseOutput::tick, this);
        askTiming(steadyNanos());
    }

    static void tick(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* data) {
        raiseToRealtime();
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        pa_context_rttime_restart(self->connection_->context(), event,
                                  pa_rtclock_now() + kTickUsec);
        const int64_t now = steadyNanos();
        self->askTiming(now);
        self->service(now);
    }

    // The window's thread sent commands.
    static void woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* data) {
        raiseToRealtime();
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        uint64_t count = 0;
        if (read(fd, &count, sizeof count) < 0) count = 0;  // nothing to take: woken twice
        self->service(steadyNanos());
    }

    // The server asks for more: the reserve ran out.
    static void pull(pa_stream*, size_t, void* data) {
        raiseToRealtime();
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        self->service(steadyNanos());
    }

    static void timingKnown(pa_stream* stream, int success, void* data) {
        auto* self = static_cast<PulseOutput*>(data);
        const HeldBy held(libpulseLocks);
        self->asking_ = false;
        const pa_timing_info* timing = pa_stream_get_timing_info(stream);
        if (success == 0 || timing == nullptr || timing->read_index_corrupt != 0) return;
        const int64_t now = steadyNanos();
        self->heard(*timing, now);
        self->service(now);
        if (self->checkFrom_ >= 0) self->askTiming(now);
        self->connection_->wake();
    }

    // A reading of where the server reads: what was played is told, the
    // reserve measured, and a rewrite judged in time or not.
    void heard(const pa_timing_info& timing, int64_t now) {
        const auto read =
            static_cast<int64_t>(timing.read_index / static_cast<int64_t>(kFrameBytes));
        if (readFrames_ >= 0 && read > readFrames_) pulls_.pulled();
        readFrames_ = read;
        readAt_ =
            now - std::min<int64_t>(pa_timeval_age(&timing.timestamp), kFreshNanos / 1000) * 1000;
        playing_ = timing.playing != 0;
        deviceFrames_.store(static_cast<int>(timing.configured_sink_usec * rate_ / 1'000'000),
                            std::memory_order_relaxed);
        mixer_.played(base_ + std::min(read, written_));

        const int64_t reserve = written_ - read;
        reserve_.store(static_cast<int>(std::max<int64_t>(0, reserve)), std::memory_order_relaxed);
        // Whoever sees the stream placed sees what the reading measured.
        placed_.store(true, std::memory_order_release);
        const int depth = depth_.load(std::memory_order_relaxed);
        if (!low_ && reserve < depth / 3) {
            low_ = true;
            lowReserves_.fetch_add(1, std::memory_order_relaxed);
        } else if (reserve > depth / 2) {
            low_ = false;
        }

        // A rewrite the server had read past by the first reading taken
        // after it may have come late: the margin grows by that much.
        if (checkFrom_ < 0) return;
        if (checkSkip_) {
            checkSkip_ = false;  // a reading asked before the rewrite
            return;
        }
        const int64_t late = read - checkFrom_;
        int margin = margin_.load(std::memory_order_relaxed);
        if (late > 0) {
            margin = std::min<int>(framesIn(kMostMarginMs, rate_), margin + static_cast<int>(late));
            cleanRemixes_ = 0;
        } else if (++cleanRemixes_ >= kCleanRemixes) {
            margin =
                std::max(framesIn(kLeastMarginMs, rate_), margin - framesIn(kMarginStepMs, rate_));
            cleanRemixes_ = 0;
        }
        margin_.store(margin, std::memory_order_relaxed);
        checkFrom_ = -1;
    }

    // Where the server reads now, reckoned from the last reading.
    int64_t readNow(int64_t now) const {
        const int64_t since =
            playing_ ? std::clamp<int64_t>(now - readAt_, 0, kMostReckonNanos) : 0;
        return readFrames_ + since * rate_ / 1'000'000'000;
    }

    // libpulse's thread: commands mixed in, or the reserve topped up.
    void service(int64_t now) {
        if (!started_ || broken_) return;
        const int depth = depth_.load(std::memory_order_relaxed);
        if (lastService_ > 0) {
            const int64_t held = now - lastService_;
            if (held > longestWait_.load(std::memory_order_relaxed)) {
                longestWait_.store(held, std::memory_order_relaxed);
            }
            // Held from writing, the thread let the server drain the reserve
            // for as long: that is running low, whichever comes first after
            // the hold, the top-up or the reading that would have seen it.
            if (playing_ && !low_ && held * rate_ / 1'000'000'000 > depth - depth / 3) {
                low_ = true;
                lowReserves_.fetch_add(1, std::memory_order_relaxed);
            }
        }
        lastService_ = now;
        const int64_t read = readFrames_ >= 0 ? readNow(now) : 0;
        // Held longer than the reserve, the server played silence past what
        // was written: those frames are gone, and the mix goes on from where
        // it reads, as the voices would have.
        while (written_ < read) {
            const int frames = static_cast<int>(std::min<int64_t>(read - written_, kPieceFrames));
            mixer_.mixAhead(discarded_.data(), frames);
            written_ += frames;
        }
        if (mixer_.commandsWaiting() && readFrames_ >= 0 && now - readAt_ < kFreshNanos) {
            const int margin = margin_.load(std::memory_order_relaxed);
            const int64_t soundsAt = now + int64_t{margin} * 1'000'000'000 / rate_;
            checkFrom_ = mixer_.rollBack(base_ + read + margin, soundsAt) - base_;
            checkSkip_ = asking_;
            write(mixer_.mixedFrames() - base_, std::max(written_, read + depth));
            askTiming(now);
            remixNanos_.fetch_add(steadyNanos() - now, std::memory_order_relaxed);
            return;
        }
        if (read + depth - written_ >= periodFrames_) write(written_, read + depth);
    }

    // Mixes the stream's frames [from, to) and writes them, placed from the
    // server's write index to `from`: a forecast is written over from there.
    void write(int64_t from, int64_t to) {
        int64_t seek = (from - sent_) * static_cast<int64_t>(kFrameBytes);
        for (int64_t at = from; at < to && !broken_;) {
            size_t bytes =
                static_cast<size_t>(std::min<int64_t>(to - at, kPieceFrames)) * kFrameBytes;
            void* buffer = nullptr;
            if (pa_stream_begin_write(stream_, &buffer, &bytes) < 0 || buffer == nullptr ||
                bytes < kFrameBytes) {
                broken_ = true;  // the stream is failing: its state says so next
                return;
            }
            bytes -= bytes % kFrameBytes;
            const auto frames = static_cast<int>(bytes / kFrameBytes);
            mixer_.mixAhead(static_cast<float*>(buffer), frames);
            if (pa_stream_write(stream_, buffer, bytes, nullptr, seek, PA_SEEK_RELATIVE) < 0) {
                broken_ = true;
                return;
            }
            seek = 0;
            at += frames;
            written_ = sent_ = at;
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
    pa_time_event* ticker_ = nullptr;
    pa_io_event* waker_ = nullptr;
    int wakeFd_ = -1;
    std::atomic<bool> ready_{false};
    std::atomic<bool> lost_{false};
    std::atomic<bool> placed_{false};  // the server's position is known
    PullWatch pulls_;
    int periodFrames_ = 0;
    int rate_ = 0;
    // libpulse's thread's own. Frames count from the stream's first; the
    // mixer's frame base_ is the stream's frame 0.
    bool started_ = false;
    bool broken_ = false;
    int64_t base_ = 0;
    int64_t written_ = 0;  // the end of the mix
    int64_t sent_ = 0;     // the server's write index
    std::vector<float> discarded_ = std::vector<float>(size_t{kPieceFrames} * 2);
    int64_t readFrames_ = -1;  // its read index, as last read
    int64_t readAt_ = 0;       // when it was there
    bool playing_ = false;
    bool asking_ = false;
    int64_t askedAt_ = 0;
    int64_t lastService_ = 0;
    bool low_ = false;
    int64_t checkFrom_ = -1;  // a rewrite's first frame, until a reading after it
    bool checkSkip_ = false;
    int cleanRemixes_ = 0;
    std::atomic<int> margin_{0};
    std::atomic<int> depth_{0};  // the reserve wanted
    std::atomic<int> reserve_{0};
    std::atomic<int> deviceFrames_{0};
    std::atomic<uint64_t> lowReserves_{0};
    std::atomic<int64_t> longestWait_{0};  // between two turns, since adapt() last looked
    std::atomic<int64_t> remixNanos_{0};
    // The control thread's, in adapt().
    std::optional<QueueTarget> queue_;
    std::vector<pa_operation*> operations_;  // under the lock: requests not yet answered
};

}  // namespace

PulseBackend::PulseBackend(ServerLink::Clock::duration firstWait)
    : link_([] { return std::make_shared<PulseConnection>(); }, firstWait) {}

PulseBackend::~PulseBackend() = default;

void PulseBackend::holdClientThread(std::chrono::milliseconds time) {
    const ServerLink::Known known = link_.known();
    if (!known.connection) return;
    PulseConnection::Lock lock(*std::static_pointer_cast<PulseConnection>(known.connection));
    std::this_thread::sleep_for(time);
}

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

std::optional<std::string> PulseBackend::defaultDeviceName() {
    return link_.defaultDescription();
}

std::string PulseBackend::problem() {
    const ServerLink::Known known = link_.known();
    if (!known.connection) {
        // No failure yet: the first try is still waiting for an answer.
        return "le serveur de son ne répond pas" +
               (known.failure.empty() ? "" : " (" + known.failure + ")");
    }
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
    // Made before libpulse's thread is held: other devices play on meanwhile.
    mixer.keepHistory(static_cast<int>((PulseBackend::kMostReserve + kKeptBeyondReserve).count() *
                                       sampleRate / 1000));
    PulseConnection::Lock lock(*server);
    if (!server->ready()) return nullptr;
    auto output = std::make_unique<PulseOutput>(server, mixer);
    if (!output->connect(name ? sink.c_str() : nullptr, sampleRate, periodFrames)) return nullptr;
    return output;
}

}  // namespace tambrel::audio
