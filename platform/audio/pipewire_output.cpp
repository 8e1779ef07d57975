#include "platform/audio/pipewire_output.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/mixer.h"
#include "platform/audio/pipewire_format.h"
#include "platform/audio/queue_target.h"
#include "platform/audio/server_link.h"
#include "platform/audio/unseen_locks.h"

namespace tambrel::audio {

namespace {
// A new stream may miss cycles while the graph sets itself up around it.
constexpr std::chrono::milliseconds kSettle{2500};
constexpr int kDefaultRate = 48000;
constexpr uint32_t kFrameBytes = 2 * sizeof(float);

UnseenLock pipewireLocks;

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// The core and the registry are proxies of the daemon's objects.
template <typename Object>
pw_proxy* asProxy(Object* object) {
    return reinterpret_cast<pw_proxy*>(object);
}

const char* lookup(const spa_dict* props, const char* key) {
    return props != nullptr ? spa_dict_lookup(props, key) : nullptr;
}

// The sink a value of "default.audio.sink" names: {"name":"…"}.
std::optional<std::string> sinkNamed(const char* json) {
    if (json == nullptr) return std::nullopt;
    spa_json whole{};
    spa_json object{};
    spa_json_init(&whole, json, std::strlen(json));
    if (spa_json_enter_object(&whole, &object) <= 0) return std::nullopt;
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) {
            char name[1024];
            if (spa_json_get_string(&object, name, sizeof name) <= 0) return std::nullopt;
            return std::string(name);
        }
        const char* value = nullptr;
        if (spa_json_next(&object, &value) <= 0) break;
    }
    return std::nullopt;
}
}  // namespace

// PipeWire's main-loop thread, the daemon's core and registry on it, and
// the sinks the registry announced, connecting from the moment it is made.
// Shared by the backend's link and every output opened on it, so that
// whichever goes last closes it.
class PipeWireConnection final : public ServerConnection {
  public:
    struct Sink {
        uint32_t id = 0;
        uint64_t serial = 0;      // never reused, unlike ids: the order sinks were made in
        std::string name;         // node.name, what a stream targets
        std::string description;  // what the desktop shows
    };
    // An output's node, marked gone when it leaves the registry (or, for the
    // default device, when no sink is left at all).
    struct Watch {
        uint32_t node = PW_ID_ANY;
        std::atomic<bool> gone{false};
    };

    PipeWireConnection() {
        initialiseOnce();
        loop_ = pw_thread_loop_new("tambrel-pw", nullptr);
        if (loop_ != nullptr) {
            // The client configuration that makes the data thread real-time.
            context_ =
                pw_context_new(pw_thread_loop_get_loop(loop_),
                               pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        }
        if (context_ == nullptr) {
            ended_.store(true, std::memory_order_release);
            return;
        }
        pipewireLocks.left();  // what was set up so far happens before the thread's work
        if (pw_thread_loop_start(loop_) < 0) {
            ended_.store(true, std::memory_order_release);
            return;
        }
        started_ = true;
        Lock lock(*this);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_ == nullptr) {
            failure_ = std::strerror(errno);
            ended_.store(true, std::memory_order_release);
            return;
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.info = &PipeWireConnection::coreInfo;
            events.done = &PipeWireConnection::coreDone;
            events.error = &PipeWireConnection::coreError;
            return events;
        }();
        // Through the proxy functions: the interfaces' own macros are GNU
        // statement expressions.
        pw_proxy_add_object_listener(asProxy(core_), &coreListener_, &coreEvents, this);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global = &PipeWireConnection::global;
            events.global_remove = &PipeWireConnection::globalRemoved;
            return events;
        }();
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr) {
            failure_ = std::strerror(errno);
            ended_.store(true, std::memory_order_release);
            return;
        }
        pw_proxy_add_object_listener(asProxy(registry_), &registryListener_, &registryEvents, this);
        // Every object the registry holds now is announced before this answer.
        syncSeq_ = pw_proxy_sync(asProxy(core_), 0);
    }

    ~PipeWireConnection() override {
        if (started_) {
            {
                Lock lock(*this);
                forgetDefaults();
                if (registry_ != nullptr) {
                    spa_hook_remove(&registryListener_);
                    pw_proxy_destroy(asProxy(registry_));
                }
                if (core_ != nullptr) {
                    spa_hook_remove(&coreListener_);
                    pw_core_disconnect(core_);
                }
            }
            pw_thread_loop_stop(loop_);
        }
        if (context_ != nullptr) pw_context_destroy(context_);
        if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
    }
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Holds the main loop's lock: no callback but the data thread's runs.
    class Lock {
      public:
        explicit Lock(PipeWireConnection& connection)
            : loop_(connection.started_ ? connection.loop_ : nullptr) {
            if (loop_ == nullptr) return;
            pw_thread_loop_lock(loop_);
            pipewireLocks.taken();
        }
        ~Lock() {
            if (loop_ == nullptr) return;
            pipewireLocks.left();
            pw_thread_loop_unlock(loop_);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pw_thread_loop* loop_;
    };

    // Any thread: connected and answering, not broken since.
    bool alive() const override { return alive_.load(std::memory_order_acquire); }
    bool ended() const override { return ended_.load(std::memory_order_acquire); }
    bool takeChange() override { return changed_.exchange(false, std::memory_order_acq_rel); }

    // Under the lock.
    pw_core* core() const { return core_; }

    // The link's thread.
    std::string failure() override {
        if (!started_) return "impossible de démarrer le client PipeWire";
        Lock lock(*this);
        return failure_.empty() ? "connexion perdue" : failure_;
    }
    int rate() override {
        Lock lock(*this);
        return rate_;
    }
    std::optional<std::string> defaultSink() override {
        Lock lock(*this);
        return defaultSink_;
    }
    std::optional<std::vector<ServerSink>> sinks() override {
        Lock lock(*this);
        std::vector<Sink> found;
        found.reserve(sinks_.size());
        for (const auto& [id, sink] : sinks_) found.push_back(sink);
        std::ranges::sort(found, {}, &Sink::serial);
        std::vector<ServerSink> shown;
        shown.reserve(found.size());
        for (Sink& sink : found) {
            shown.push_back({sink.id, std::move(sink.name), std::move(sink.description)});
        }
        return shown;
    }
    void watch(Watch* watch) {
        watches_.push_back(watch);
        if (!alive()) watch->gone.store(true, std::memory_order_release);
    }
    void unwatch(Watch* watch) { std::erase(watches_, watch); }

    // Under the lock: waits for `done`, woken by any callback that calls
    // wake(), at most `nanos`. False when the time ran out.
    bool wait(const std::function<bool()>& done, int64_t nanos) {
        timespec deadline{};
        pw_thread_loop_get_time(loop_, &deadline, nanos);
        while (!done()) {
            pipewireLocks.left();
            const int waited = pw_thread_loop_timed_wait_full(loop_, &deadline);
            pipewireLocks.taken();
            if (waited != 0) return done();
        }
        return true;
    }
    // Under the lock, or on the loop's thread.
    void wake() { pw_thread_loop_signal(loop_, false); }

  private:
    static void coreInfo(void* data, const pw_core_info* info) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        const char* rate = lookup(info->props, "default.clock.rate");
        if (rate != nullptr) self->rate_ = std::atoi(rate);
    }

    static void coreDone(void* data, uint32_t id, int seq) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        if (id == PW_ID_CORE && seq == self->syncSeq_ && !self->broken_) {
            self->alive_.store(true, std::memory_order_release);
        }
        self->wake();
    }

    // A broken pipe on the core is the connection's end (the daemon gone);
    // other errors on it answer a request, such as one on an object just
    // destroyed, and the connection goes on.
    static void coreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        if (id != PW_ID_CORE || res != -EPIPE) return;
        self->broken_ = true;
        self->failure_ = message != nullptr ? message : std::strerror(-res);
        self->alive_.store(false, std::memory_order_release);
        self->ended_.store(true, std::memory_order_release);
        self->changed_.store(true, std::memory_order_release);
        for (Watch* watch : self->watches_) watch->gone.store(true, std::memory_order_release);
        self->wake();
    }

    static void global(void* data, uint32_t id, uint32_t /*permissions*/, const char* type,
                       uint32_t /*version*/, const spa_dict* props) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
            self->watchDefaults(id, props);
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
        const char* kind = lookup(props, PW_KEY_MEDIA_CLASS);
        const char* name = lookup(props, PW_KEY_NODE_NAME);
        if (kind == nullptr || std::strcmp(kind, "Audio/Sink") != 0 || name == nullptr) return;
        const char* description = lookup(props, PW_KEY_NODE_DESCRIPTION);
        const char* serial = lookup(props, PW_KEY_OBJECT_SERIAL);
        self->sinks_[id] = Sink{id, serial != nullptr ? std::strtoull(serial, nullptr, 10) : id,
                                name, description != nullptr ? description : name};
        self->changed_.store(true, std::memory_order_release);
    }

    static void globalRemoved(void* data, uint32_t id) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        if (self->defaults_ != nullptr && id == self->defaultsId_) self->forgetDefaults();
        if (self->sinks_.erase(id) == 0) return;
        self->changed_.store(true, std::memory_order_release);
        for (Watch* watch : self->watches_) {
            if (watch->node == id || (watch->node == PW_ID_ANY && self->sinks_.empty())) {
                watch->gone.store(true, std::memory_order_release);
            }
        }
    }

    // The session manager's "default" metadata says which sink the default
    // plays on; its listener follows it as the desktop changes it.
    void watchDefaults(uint32_t id, const spa_dict* props) {
        const char* name = lookup(props, PW_KEY_METADATA_NAME);
        if (defaults_ != nullptr || name == nullptr || std::strcmp(name, "default") != 0) return;
        defaults_ = static_cast<pw_metadata*>(
            pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (defaults_ == nullptr) return;
        defaultsId_ = id;
        static const pw_metadata_events events = [] {
            pw_metadata_events metadata{};
            metadata.version = PW_VERSION_METADATA_EVENTS;
            metadata.property = &PipeWireConnection::defaultChanged;
            return metadata;
        }();
        pw_proxy_add_object_listener(asProxy(defaults_), &defaultsListener_, &events, this);
    }
    void forgetDefaults() {
        if (defaults_ == nullptr) return;
        spa_hook_remove(&defaultsListener_);
        pw_proxy_destroy(asProxy(defaults_));
        defaults_ = nullptr;
        defaultSink_.reset();
        changed_.store(true, std::memory_order_release);
    }
    static int defaultChanged(void* data, uint32_t subject, const char* key, const char* /*type*/,
                              const char* value) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const HeldBy held(pipewireLocks);
        if (subject != PW_ID_CORE) return 0;
        if (key == nullptr) {
            self->defaultSink_.reset();  // all cleared
        } else if (std::strcmp(key, "default.audio.sink") == 0) {
            self->defaultSink_ = sinkNamed(value);
        } else {
            return 0;
        }
        self->changed_.store(true, std::memory_order_release);
        return 0;
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    pw_metadata* defaults_ = nullptr;
    uint32_t defaultsId_ = PW_ID_ANY;
    spa_hook defaultsListener_{};
    bool started_ = false;
    // Under the lock, or the loop thread's.
    bool broken_ = false;
    int syncSeq_ = -1;
    int rate_ = 0;
    std::string failure_;
    std::map<uint32_t, Sink> sinks_;          // by id
    std::optional<std::string> defaultSink_;  // its node.name
    std::vector<Watch*> watches_;
    std::atomic<bool> alive_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> changed_{true};  // a new connection's sinks are news
};

namespace {

class PipeWireOutput final : public AudioOutput {
  public:
    PipeWireOutput(std::shared_ptr<PipeWireConnection> connection, Mixer& mixer)
        : connection_(std::move(connection)), mixer_(mixer) {}

    ~PipeWireOutput() override {
        PipeWireConnection::Lock lock(*connection_);
        connection_->unwatch(&watch_);
        if (stream_ == nullptr) return;
        // Takes the stream out of the data thread's loop before returning:
        // the mixer is not called after this.
        spa_hook_remove(&listener_);
        pw_stream_destroy(stream_);
        dataThread_.taken();  // its last call is over
    }
    PipeWireOutput(const PipeWireOutput&) = delete;
    PipeWireOutput& operator=(const PipeWireOutput&) = delete;

    // Under the lock: asks the daemon for the stream, without waiting for it
    // (see ready()). `sink`: null for the default device, which the session
    // manager chooses and follows. False when the stream could not be made.
    bool connect(const ServerSink* sink, int sampleRate, int leastQuantum, int mostDoublings) {
        rate_ = sampleRate;
        base_ = leastQuantum;
        queue_.emplace(
            QueueTarget::Steps{0, mostDoublings, 1, 1, PipeWireBackend::kCleanStretch, kSettle});
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Production", PW_KEY_APP_NAME, "Tambrel", PW_KEY_NODE_NAME, "Tambrel", nullptr);
        if (props == nullptr) return false;
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", quantum(0), sampleRate);
        if (sink != nullptr) {
            // A named device that goes away ends the stream instead of moving
            // it to another device behind the operator's back.
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, sink->name.c_str());
            pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
        }
        watch_.node = sink != nullptr ? sink->id : PW_ID_ANY;
        connection_->watch(&watch_);
        stream_ = pw_stream_new(connection_->core(), "Tambrel", props);
        if (stream_ == nullptr) return false;
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = &PipeWireOutput::stateChanged;
            events.process = &PipeWireOutput::process;
            return events;
        }();
        pw_stream_add_listener(stream_, &listener_, &streamEvents, this);

        uint8_t space[1024];
        const spa_pod* params[] = {stereoFloatFormat(space, sampleRate)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        dataThread_.left();  // all of the above happens before its first call
        return params[0] != nullptr &&
               pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) >= 0;
    }

    bool lost() const override {
        return lost_.load(std::memory_order_acquire) ||
               watch_.gone.load(std::memory_order_acquire) || !connection_->alive();
    }

    // A device still waking up may take a start up late, as before it was
    // watched; one that has been asking steadily drops a start it takes up
    // too late, its server having frozen since the press.
    std::chrono::milliseconds lateStartLimit() const override {
        return pulls_.steady() ? kLateStart : std::chrono::milliseconds{0};
    }
    bool ready(std::chrono::milliseconds wait) override {
        if (!ready_.load(std::memory_order_acquire) && wait.count() > 0) {
            PipeWireConnection::Lock lock(*connection_);
            connection_->wait(
                [this] {
                    return ready_.load(std::memory_order_acquire) ||
                           lost_.load(std::memory_order_acquire);
                },
                std::chrono::nanoseconds(wait).count());
        }
        return ready_.load(std::memory_order_acquire) && !lost() && !pulls_.stalled();
    }

    // A start waits about one quantum. A larger one is asked for at once
    // when cycles were missed, and a smaller one after a clean stretch; the
    // graph changes its quantum between two cycles, so nothing is dropped.
    void adapt(Clock::time_point now, bool /*silent*/) override {
        const int level = queue_->follow(mixer_.underruns() - mixer_.dryPeriods(), now);
        if (level == applied_) return;
        applied_ = level;
        char latency[32];
        std::snprintf(latency, sizeof latency, "%d/%d", quantum(level), rate_);
        const spa_dict_item item{PW_KEY_NODE_LATENCY, latency};
        const spa_dict dict{0, 1, &item};
        PipeWireConnection::Lock lock(*connection_);
        if (!lost()) pw_stream_update_properties(stream_, &dict);
    }

    // The frames of the last cycle: what a start waits behind.
    int queuedFrames() const override { return cycleFrames_.load(std::memory_order_relaxed); }

  private:
    int quantum(int doublings) const { return base_ << doublings; }

    static void stateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* /*error*/) {
        auto* self = static_cast<PipeWireOutput*>(data);
        const HeldBy held(pipewireLocks);
        // Unconnected after having been connected: the daemon let it go.
        if (state == PW_STREAM_STATE_ERROR ||
            (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)) {
            self->lost_.store(true, std::memory_order_release);
        } else if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->ready_.store(true, std::memory_order_release);
        }
        self->connection_->wake();
    }

    // The data thread, once a graph cycle: the mixer renders what the sink
    // plays next, straight into the stream's buffer.
    static void process(void* data) {
        auto* self = static_cast<PipeWireOutput*>(data);
        const HeldBy ordered(self->dataThread_);
        self->pulls_.pulled();
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (buffer == nullptr) return;  // all of them are queued already
        spa_data& out = buffer->buffer->datas[0];
        if (out.data == nullptr || out.chunk == nullptr) {
            pw_stream_queue_buffer(self->stream_, buffer);
            return;
        }
        uint64_t frames = out.maxsize / kFrameBytes;
        if (buffer->requested > 0) frames = std::min(frames, buffer->requested);
        self->noteCycle(frames);
        self->mixer_.render(static_cast<float*>(out.data), static_cast<int>(frames));
        out.chunk->offset = 0;
        out.chunk->stride = kFrameBytes;
        out.chunk->size = static_cast<uint32_t>(frames * kFrameBytes);
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    // The data thread.
    void noteCycle(uint64_t frames) {
        pw_time time{};
        if (pw_stream_get_time_n(stream_, &time, sizeof time) == 0) {
            // One shortfall however many cycles the hole lasted: the queue
            // grows a doubling for it, not one for each cycle of a long stall.
            if (missedCycles(lastTicks_, time.ticks, std::max(frames, lastFrames_), rate_,
                             time.rate.num, time.rate.denom) > 0) {
                mixer_.countUnderrun();
            }
            lastTicks_ = time.ticks;
        }
        lastFrames_ = frames;
        cycleFrames_.store(static_cast<int>(frames), std::memory_order_relaxed);
    }

    std::shared_ptr<PipeWireConnection> connection_;
    Mixer& mixer_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    PipeWireConnection::Watch watch_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> lost_{false};
    PullWatch pulls_;
    // PipeWire orders the data thread's calls after the stream is connected
    // and before pw_stream_destroy() returns, by means ThreadSanitizer does
    // not see; this tells it.
    UnseenLock dataThread_;
    int rate_ = 0;
    int base_ = 0;  // the quantum asked while the machine keeps up
    std::atomic<int> cycleFrames_{0};
    // The data thread's own.
    uint64_t lastTicks_ = 0;
    uint64_t lastFrames_ = 0;
    // The control thread's, in adapt().
    std::optional<QueueTarget> queue_;
    int applied_ = 0;  // doublings last asked of the graph
};

}  // namespace

int PipeWireBackend::quantumFor(int periodFrames) {
    int quantum = kLeastQuantum;
    while (quantum < periodFrames && quantum < kMostQuantum) quantum *= 2;
    return quantum;
}

uint64_t missedCycles(uint64_t lastTicks, uint64_t ticks, uint64_t cycleFrames, int rate,
                      uint32_t tickNum, uint32_t tickDenom) {
    if (lastTicks == 0 || ticks <= lastTicks || rate <= 0 || tickNum == 0 || tickDenom == 0) {
        return 0;
    }
    const uint64_t cycle = cycleFrames * tickDenom / (static_cast<uint64_t>(rate) * tickNum);
    if (cycle == 0) return 0;
    const uint64_t moved = ticks - lastTicks;
    // Half a cycle of slack: a quantum may change between two calls.
    if (moved <= cycle + cycle / 2) return 0;
    return std::max<uint64_t>((moved + cycle / 2) / cycle - 1, 1);
}

PipeWireBackend::PipeWireBackend(int mostDoublings, ServerLink::Clock::duration firstWait)
    : link_([] { return std::make_shared<PipeWireConnection>(); }, firstWait),
      mostDoublings_(mostDoublings) {}

PipeWireBackend::~PipeWireBackend() = default;

bool PipeWireBackend::usable() const {
    return link_.alive();
}

bool PipeWireBackend::devicesMayHaveChanged() {
    return link_.takeNews();
}

std::vector<std::string> PipeWireBackend::deviceNames() {
    std::vector<std::string> names;
    for (ServerSink& sink : link_.known().sinks) names.push_back(std::move(sink.description));
    return names;
}

std::optional<std::string> PipeWireBackend::defaultDeviceName() {
    return link_.defaultDescription();
}

std::string PipeWireBackend::problem() {
    const ServerLink::Known known = link_.known();
    if (!known.connection) {
        // No failure yet: the first try is still waiting for an answer.
        return "PipeWire ne répond pas" + (known.failure.empty() ? "" : " (" + known.failure + ")");
    }
    return known.sinks.empty() ? "aucune sortie audio trouvée" : std::string();
}

int PipeWireBackend::preferredRate() {
    const int rate = link_.known().rate;
    return rate > 0 ? rate : kDefaultRate;
}

std::unique_ptr<AudioOutput> PipeWireBackend::open(const std::optional<std::string>& name,
                                                   Mixer& mixer, int sampleRate, int periodFrames) {
    const ServerLink::Known known = link_.known();
    if (!known.connection) return nullptr;
    auto daemon = std::static_pointer_cast<PipeWireConnection>(known.connection);
    const ServerSink* sink = nullptr;
    if (name) {
        const auto found = std::ranges::find(known.sinks, *name, &ServerSink::description);
        if (found == known.sinks.end()) return nullptr;  // not there now
        sink = &*found;
    }
    PipeWireConnection::Lock lock(*daemon);
    if (!daemon->alive()) return nullptr;
    auto output = std::make_unique<PipeWireOutput>(daemon, mixer);
    if (!output->connect(sink, sampleRate, quantumFor(periodFrames), mostDoublings_)) {
        return nullptr;
    }
    return output;
}

}  // namespace tambrel::audio
