// The palette under load, in real time: 28 slots of long MP3 and WAV files
// sounding at once on null outputs pulled by a real-time thread, while the
// window's thread loads palettes over and over, stops and fires slots again,
// flips loop markers, seeks, moves sliders and switches the output device,
// every play ending in the as-run log. Prints the periods not filled on
// time, the window's longest stall, memory early and late, CPU, and the
// lines the log wrote.
// Each turn of the window's event loop longer than 30 ms, each stall and each
// period in which a read-ahead ran dry is logged on standard error with what
// was going on, beside the late wake-ups of an idle thread, which tell the
// machine's stalls from the program's. Stalls count from the operator's first
// action, once the window is up and the first palette loaded; the start-up's
// longest turn is printed apart.
//
//   stress_bench [--seconds N] [--output null|pulse|pipewire] [--server ADDRESS]
//                [--period FRAMES]
//
// --seconds: 60 by default. --output null (the default) pulls null outputs
// from a thread of the bench's own; --output pulse plays through the sound
// server's streams into two null sinks of a private PulseAudio server, so
// that the server's own underflows count too; --output pipewire through
// PipeWire's own streams into two null sinks of a private PipeWire, counting
// the cycles the graph ran without the stream. --server: through a server
// already running there instead (implies --output pulse), into its sinks
// Studio and Cue only, as another bench loads it. --period: the engine's period.

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QMetaEnum>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "bench/idle_probe.h"
#include "bench/null_puller.h"
#include "bench/process_figures.h"
#include "journal/air_log.h"
#include "palettes/palette_file.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/null_output.h"
#include "platform/audio/pipewire_output.h"
#include "platform/audio/pulse_output.h"
#include "platform/audio/sound.h"
#include "platform/heap_arenas.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
#include "tests/support/fake_platform.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_audio.h"

namespace {

using namespace tambrel;
using Clock = std::chrono::steady_clock;
using bench::IdleProbe;

constexpr int kRate = 44100;
constexpr int kGraphRate = 48000;  // a private PipeWire's, as a desktop's
int period = audio::kPeriodFrames;
constexpr int64_t kLongFrames = int64_t{kRate} * 60 * 10;  // ten minutes
// With --check, a stall this long fails the run: far beyond any machine's
// hiccup, it is the program's own doing.
constexpr double kMostStallMs = 1000.0;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// CPU time and context switches of the calling thread.
struct ThreadUsage {
    double cpuMs = 0;
    long waits = 0;     // voluntary switches: the thread blocked (a lock, the disk, a page)
    long preempts = 0;  // involuntary: it was ready but kept off a core
    long pageIns = 0;   // major faults: pages read back from the disk
    static ThreadUsage now() {
        ThreadUsage usage;
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        usage.cpuMs =
            static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6;
        rusage counts{};
        getrusage(RUSAGE_THREAD, &counts);
        usage.waits = counts.ru_nvcsw;
        usage.preempts = counts.ru_nivcsw;
        usage.pageIns = counts.ru_majflt;
        return usage;
    }
    // From `before` to now, for the log.
    std::string since(const ThreadUsage& before) const {
        char text[128];
        std::snprintf(text, sizeof text, "cpu %.1f ms, %ld waits, %ld preemptions, %ld page-ins",
                      cpuMs - before.cpuMs, waits - before.waits, preempts - before.preempts,
                      pageIns - before.pageIns);
        return text;
    }
};

// The window's event loop, turn by turn: a turn runs from the first event it
// delivers after waking to the moment it goes back to sleep. A turn longer
// than kLongTurn is logged with what ran in it: its longest event, the
// bench's own actions, the thread's CPU time and switches over the turn (CPU
// far below the turn's length: the thread was kept off its core or blocked)
// and the idle probe's late wake-ups at the time.
class TurnWatch {
  public:
    static constexpr double kLongTurnMs = 30.0;

    TurnWatch(const IdleProbe& probe, Clock::time_point start) : probe_(probe), start_(start) {}

    // The bench names what it does; the longest of them in a turn is logged.
    class Doing {
      public:
        Doing(TurnWatch& watch, const char* what) : watch_(watch), what_(what) {}
        ~Doing() { watch_.done(what_, msBetween(began_, Clock::now())); }
        Doing(const Doing&) = delete;
        Doing& operator=(const Doing&) = delete;

      private:
        TurnWatch& watch_;
        const char* what_;
        Clock::time_point began_ = Clock::now();
    };

    // An event the loop delivers, outermost only.
    struct Event {
        const QMetaObject* kind = nullptr;
        QString name;
        int type = 0;
        int interval = -1;  // a timer's
    };
    void eventBegins() {
        if (!inTurn_) {
            inTurn_ = true;
            turnBegan_ = Clock::now();
            usageBegan_ = ThreadUsage::now();
            events_ = 0;
            longestEventMs_ = 0;
            actions_.clear();
        }
        eventBegan_ = Clock::now();
    }
    void eventEnds(Event&& event) {
        ++events_;
        const double ms = msBetween(eventBegan_, Clock::now());
        if (ms > longestEventMs_) {
            longestEventMs_ = ms;
            longestEvent_ = std::move(event);
        }
    }
    // The loop is about to sleep: the turn is over.
    void asleep() {
        if (!inTurn_) return;
        inTurn_ = false;
        const auto now = Clock::now();
        const double ms = msBetween(turnBegan_, now);
        busySinceTickMs_ += ms;
        ++turnsSinceTick_;
        longestSinceTickMs_ = std::max(longestSinceTickMs_, ms);
        if (!onAir_) startupMs_ = std::max(startupMs_, ms);
        if (ms <= kLongTurnMs) return;
        if (onAir_) ++longTurns_;
        std::string actions;
        for (const auto& [what, took] : actions_) {
            char part[96];
            std::snprintf(part, sizeof part, "%s%s %.1f ms", actions.empty() ? "" : ", ", what,
                          took);
            actions += part;
        }
        std::fprintf(stderr,
                     "long turn %6.1f ms at %7.2f s%s: %s; %d events, longest %.1f ms: %s; "
                     "bench: %s; idle probe late %.1f ms\n",
                     ms, msBetween(start_, turnBegan_) / 1000.0, onAir_ ? "" : " (start-up)",
                     ThreadUsage::now().since(usageBegan_).c_str(), events_, longestEventMs_,
                     describe(longestEvent_).c_str(), actions.empty() ? "-" : actions.c_str(),
                     probe_.lateDuringMs(turnBegan_, now));
    }
    // The stall probe's tick: what the loop did since the last one.
    void tick(double gapMs, Clock::time_point now) {
        const ThreadUsage usage = ThreadUsage::now();
        if (gapMs > kLongTurnMs) {
            const double busy = busySinceTickMs_ + (inTurn_ ? msBetween(turnBegan_, now) : 0.0);
            std::fprintf(
                stderr,
                "stall %6.1f ms at %7.2f s: busy %.1f ms in %d turns (longest %.1f ms), "
                "asleep %.1f ms; %s; idle probe late %.1f ms\n",
                gapMs, msBetween(start_, now) / 1000.0 - gapMs / 1000.0, busy,
                turnsSinceTick_ + (inTurn_ ? 1 : 0), longestSinceTickMs_,
                std::max(0.0, gapMs - busy), usage.since(usageAtTick_).c_str(),
                probe_.lateDuringMs(
                    now - std::chrono::microseconds(static_cast<int64_t>(gapMs * 1000)), now));
        }
        usageAtTick_ = usage;
        busySinceTickMs_ = 0;
        turnsSinceTick_ = 0;
        longestSinceTickMs_ = 0;
    }
    // The window is up and the first palette loaded: the broadcast begins.
    // Turns before are the start-up's, counted apart.
    void goOnAir() { onAir_ = true; }
    int longTurns() const { return longTurns_; }
    double startupMs() const { return startupMs_; }

  private:
    void done(const char* what, double ms) {
        if (inTurn_) actions_.emplace_back(what, ms);
    }
    static std::string describe(const Event& event) {
        if (event.kind == nullptr) return "-";
        std::string text = event.kind->className();
        if (!event.name.isEmpty()) text += " \"" + event.name.toStdString() + '"';
        if (event.interval >= 0) {
            // The program's own timers have no name; they are known by their period.
            const char* role = !event.name.isEmpty()   ? ""
                               : event.interval == 5   ? " (engine pump)"
                               : event.interval == 100 ? " (loop rewind tick)"
                               : event.interval == 500 ? " (refresh tick, Timer1)"
                                                       : "";
            text += " every " + std::to_string(event.interval) + " ms" + role;
        }
        const char* type = QMetaEnum::fromType<QEvent::Type>().valueToKey(event.type);
        text += ' ';
        text += type != nullptr ? type : std::to_string(event.type).c_str();
        return text;
    }

    const IdleProbe& probe_;
    const Clock::time_point start_;
    bool inTurn_ = false;
    Clock::time_point turnBegan_, eventBegan_;
    ThreadUsage usageBegan_, usageAtTick_;
    int events_ = 0;
    double longestEventMs_ = 0;
    Event longestEvent_;
    std::vector<std::pair<const char*, double>> actions_;
    bool onAir_ = false;
    int longTurns_ = 0;
    double startupMs_ = 0;
    double busySinceTickMs_ = 0;
    int turnsSinceTick_ = 0;
    double longestSinceTickMs_ = 0;
};

// Times every event the window's thread delivers from its loop.
class WatchedApplication final : public QApplication {
  public:
    using QApplication::QApplication;
    TurnWatch* watch = nullptr;

    bool notify(QObject* receiver, QEvent* event) override {
        if (watch == nullptr || depth_ > 0) return nested(receiver, event);
        // Read before delivery: the receiver may be gone after it.
        TurnWatch::Event seen;
        seen.kind = receiver->metaObject();
        seen.name = receiver->objectName();
        seen.type = static_cast<int>(event->type());
        if (const auto* timer = qobject_cast<const QTimer*>(receiver))
            seen.interval = timer->interval();
        watch->eventBegins();
        const bool handled = nested(receiver, event);
        watch->eventEnds(std::move(seen));
        return handled;
    }

  private:
    bool nested(QObject* receiver, QEvent* event) {
        ++depth_;
        const bool handled = QApplication::notify(receiver, event);
        --depth_;
        return handled;
    }
    int depth_ = 0;
};

void writePalette(const std::string& path, const std::vector<std::string>& files) {
    std::array<QString, kSlots> paths;
    std::array<int32_t, kSlots> volumes{};
    for (size_t i = 0; i < paths.size(); ++i) {
        paths[i] = platform::toSystemPath(QString::fromStdString(files[i % files.size()]));
        volumes[i] = 12000 + static_cast<int32_t>(i) * 100;
    }
    QByteArray bytes;
    QString error;
    palettes::writePalette(paths, volumes, bytes, error);
    std::ofstream(path, std::ios::binary).write(bytes.constData(), bytes.size());
}

// A server shared with another bench: the window sees only our two sinks,
// and lists and switches them as on a server of our own.
class OwnSinks : public audio::OutputBackend {
  public:
    explicit OwnSinks(std::unique_ptr<audio::OutputBackend> server) : server_(std::move(server)) {}
    std::vector<std::string> deviceNames() override {
        std::vector<std::string> names = server_->deviceNames();
        std::erase_if(names,
                      [](const std::string& name) { return name != "Studio" && name != "Cue"; });
        return names;
    }
    bool devicesMayHaveChanged() override { return server_->devicesMayHaveChanged(); }
    std::string problem() override { return server_->problem(); }
    std::unique_ptr<audio::AudioOutput> open(const std::optional<std::string>& name,
                                             audio::Mixer& mixer, int sampleRate,
                                             int periodFrames) override {
        return server_->open(name, mixer, sampleRate, periodFrames);
    }

  private:
    std::unique_ptr<audio::OutputBackend> server_;
};

}  // namespace

int main(int argc, char* argv[]) {
    platform::limitHeapArenas();  // as the program
    int seconds = 60;
    std::string output = "null";
    std::string serverAddress;
    bool check = false;  // faults, not figures, decide the exit status
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0) check = true;
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(3, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--output") == 0) output = argv[i + 1];
        if (std::strcmp(argv[i], "--server") == 0) serverAddress = argv[i + 1];
        if (std::strcmp(argv[i], "--period") == 0)
            period = std::clamp(std::atoi(argv[i + 1]), 16, 8192);
    }
    if (!serverAddress.empty()) output = "pulse";
    if (output != "null" && output != "pulse" && output != "pipewire") {
        std::fprintf(stderr, "stress_bench: --output must be null, pulse or pipewire\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    WatchedApplication application(argc, argv);

    testing::TempDir dir;
    std::fprintf(stderr, "making test files...\n");
    const std::string mp3 = dir.file("long.mp3");
    const std::string wav = dir.file("long.wav");
    // Ten-minute WAV and two-minute MP3 files for a full run; a brief run
    // (the test suite's) makes do with shorter ones.
    const int64_t frames = seconds >= 60 ? kLongFrames : kLongFrames / 10;
    testing::writeAudio(mp3, testing::FileKind::Mp3, kRate, 2, frames / 5, testing::programme);
    testing::writeAudio(wav, testing::FileKind::Wav16, kRate, 2, frames, testing::programme);
    std::vector<std::string> morning, evening;
    for (int i = 0; i < 28; ++i) {
        for (auto* set : {&morning, &evening}) {
            std::string base(set == &morning ? "m" : "e");
            base += std::to_string(i);
            base += i % 2 ? ".mp3" : ".wav";
            const std::string name = dir.file(base);
            std::filesystem::create_hard_link(i % 2 ? mp3 : wav, name);
            set->push_back(name);
        }
    }
    writePalette(dir.file("Matin.Bnk"), morning);
    writePalette(dir.file("Soir.Bnk"), evening);

    // Studio and Cue: two devices, for the device switches.
    std::unique_ptr<testing::SoundServer> server;
    audio::NullBackend* nullBackend = nullptr;
    std::unique_ptr<audio::OutputBackend> backend;
    if (!serverAddress.empty()) {
        setenv("PULSE_SERVER", serverAddress.c_str(), 1);
        // That server's default is someone else's sink: ours starts on Studio.
        setenv("PULSE_SINK", "Studio", 1);
        backend = std::make_unique<OwnSinks>(std::make_unique<audio::PulseBackend>());
    } else if (output == "pulse") {
        const std::string folder = dir.file("pulse");
        std::filesystem::create_directory(folder);
        server = std::make_unique<testing::PulseServer>(folder, "Studio", kRate,
                                                        std::vector<std::string>{"Cue"});
        backend = std::make_unique<audio::PulseBackend>();
    } else if (output == "pipewire") {
        const std::string folder = dir.file("pipewire");
        std::filesystem::create_directory(folder);
        server = std::make_unique<testing::PipeWireServer>(folder, "Studio", kGraphRate,
                                                           std::vector<std::string>{"Cue"});
        backend = std::make_unique<audio::PipeWireBackend>();
    } else {
        nullBackend = new audio::NullBackend({"Studio", "Cue"});
        backend.reset(nullBackend);
    }
    audio::AudioEngine::Options options;
    options.periodFrames = period;
    if (const int rate = backend->preferredRate(); rate > 0) options.sampleRate = rate;
    playback::AudioHost host{std::move(backend), options};
    host.loadWait = std::chrono::seconds(5);  // each file loaded as it is given
    testing::FakeSystem system;
    system.folder = QString::fromStdString(dir.path());
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<app::F1a> window = app::Main(system, dialogs, host);
    app::F1a& w = *window;
    std::optional<bench::NullPuller> puller;
    if (nullBackend != nullptr) puller.emplace(*nullBackend, period, kRate);

    // The window's thread: how long between two turns of its event loop, and
    // what each long turn did.
    pthread_setname_np(pthread_self(), "window");
    const IdleProbe probe;
    const Clock::time_point began = Clock::now();
    TurnWatch watch(probe, began);
    application.watch = &watch;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [&] { watch.asleep(); });
    using Doing = TurnWatch::Doing;

    // What was done last, for the log of a read-ahead that ran dry.
    struct Last {
        Clock::time_point at;
        int slot = -1;
        int64_t frame = 0;
    };
    Last lastSeek, lastLoad, lastSwitch;
    uint64_t dry = 0;
    auto agoMs = [](const Last& last, Clock::time_point now) {
        return last.at == Clock::time_point{} ? -1.0 : msBetween(last.at, now);
    };

    QElapsedTimer sinceTurn;
    sinceTurn.start();
    double worstStallMs = 0;
    QTimer turn;
    turn.setObjectName(QStringLiteral("stall probe"));
    turn.setTimerType(Qt::PreciseTimer);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const double gapMs = sinceTurn.nsecsElapsed() / 1e6;
        worstStallMs = std::max(worstStallMs, gapMs - 5.0);
        sinceTurn.restart();
        const auto now = Clock::now();
        watch.tick(gapMs - 5.0, now);
        const uint64_t dryNow = host.engine().dryPeriods();
        if (dryNow != dry) {
            const auto chunk = audio::Sound::kChunkFrames;
            std::fprintf(
                stderr,
                "read-ahead ran dry: %llu more periods at %.2f s; last seek %.0f ms ago "
                "(slot %d to frame %lld, %lld frames before its chunk's end, chunk %lld), "
                "last palette load %.0f ms ago, last device switch %.0f ms ago; idle "
                "probe late %.1f ms in the last second\n",
                static_cast<unsigned long long>(dryNow - dry), msBetween(began, now) / 1e3,
                agoMs(lastSeek, now), lastSeek.slot, static_cast<long long>(lastSeek.frame),
                static_cast<long long>(chunk - lastSeek.frame % chunk),
                static_cast<long long>(lastSeek.frame / chunk), agoMs(lastLoad, now),
                agoMs(lastSwitch, now), probe.lateDuringMs(now - std::chrono::seconds(1), now));
            dry = dryNow;
        }
    });
    turn.start(5);

    std::mt19937 random(42);
    int loads = 0, seeks = 0, switches = 0, flips = 0;
    double worstLoadMs = 0;
    auto pick = [&](const QString& entry) {
        const Doing doing(watch, "palette load");
        lastLoad.at = Clock::now();
        QElapsedTimer took;
        took.start();
        w.ComboBank->setText(entry);
        w.ComboBank_Click();
        worstLoadMs = std::max(worstLoadMs, took.nsecsElapsed() / 1e6);
        ++loads;
    };
    // Within the loop, so that the first load is watched as the others are.
    QTimer::singleShot(0, [&] { pick(QStringLiteral("Matin.Bnk")); });

    // The operator at work, ten actions a second.
    QTimer operatorHand;
    operatorHand.setObjectName(QStringLiteral("operator"));
    int action = 0;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        if (action == 0) {  // stalls count from here; the start-up is told apart
            watch.goOnAir();
            worstStallMs = worstLoadMs = 0;
            sinceTurn.restart();
        }
        const auto slot = static_cast<int16_t>(random() % 28);
        {
            const Doing doing(watch, "slot starts");
            for (int16_t i = 0; i < kSlots; ++i) {  // keep every slot on air
                if (!w.slotPlaying(i)) w.Touche_Click(i);
            }
        }
        switch (action++ % 10) {
            case 0:
                pick(action % 20 < 10 ? QStringLiteral("Soir.Bnk") : QStringLiteral("Matin.Bnk"));
                break;
            case 1: {  // stopped by its key, fired again on the next action: a line in the log
                const Doing doing(watch, "slot stop");
                if (w.slotPlaying(slot)) w.Touche_Click(slot);
                break;
            }
            case 3: {
                const Doing doing(watch, "loop flip");
                w.Boucle_Click(slot);
                ++flips;
                break;
            }
            case 5: {
                const Doing doing(watch, "seek");
                w.VueMettre_MouseDown(
                    slot, 1, 0,
                    static_cast<float>(random() % std::max(1, w.Player[slot]->Length())), 0);
                ++seeks;
                lastSeek = {
                    Clock::now(), slot,
                    int64_t{w.Player[slot]->Position()} * host.engine().sampleRate() / 1000};
                break;
            }
            case 7: {
                const Doing doing(watch, "slider");
                w.Slider[slot]->setValue(static_cast<int32_t>(random() % 17001));
                break;
            }
            case 9:
                if (action % 100 == 0) {  // every ten seconds, another device
                    const Doing doing(watch, "device switch");
                    w.Output->setListIndex(1 + (switches++ % 2));
                    lastSwitch.at = Clock::now();
                }
                break;
            default:
                break;
        }
    });
    operatorHand.start(100);

    // Memory once a second; the first and the last minute are compared (the
    // first and last third of a shorter run).
    std::vector<double> rss;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        rss.push_back(bench::residentMb());
        if (rss.size() % 60 == 0)
            std::fprintf(stderr, "resident %.1f MB at %zu s\n", rss.back(), rss.size());
    });
    sampler.start(1000);

    // Underruns after the first seconds, once a sound server's queue has
    // settled into the machine.
    uint64_t underrunsEarly = 0;
    QTimer::singleShot(10'000, &application, [&] { underrunsEarly = host.engine().underruns(); });

    const double cpuBefore = bench::processCpuSeconds();
    const std::map<std::string, double> threadsBefore = bench::threadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // Ended as the window ends when closed, without its question: every slot
    // sounds here, and closing would ask whether to end.
    QTimer::singleShot(seconds * 1000, &application, [&w] {
        w.Form_Unload();
        QCoreApplication::exit(0);
    });
    QApplication::exec();
    const double cpu = 100.0 * (bench::processCpuSeconds() - cpuBefore) /
                       (static_cast<double>(wall.elapsed()) / 1000.0);
    std::map<std::string, double> threadsAfter = bench::threadCpuSeconds();
    auto threadCpu = [&](const std::string& name) {
        const auto before = threadsBefore.find(name);
        return 100.0 * (threadsAfter[name] - (before == threadsBefore.end() ? 0 : before->second)) /
               (static_cast<double>(wall.elapsed()) / 1000.0);
    };
    const double windowCpu = threadCpu("window");
    const double workerCpu = threadCpu("tambrel-stream");

    const size_t window3 = std::max<size_t>(1, std::min<size_t>(60, rss.size() / 3));
    double first = 0, last = 0;
    for (size_t i = 0; i < window3 && i < rss.size(); ++i) first = std::max(first, rss[i]);
    for (size_t i = rss.size() - std::min(window3, rss.size()); i < rss.size(); ++i) {
        last = std::max(last, rss[i]);
    }
    const uint64_t underruns = host.engine().underruns();
    const double wallSeconds = static_cast<double>(wall.elapsed()) / 1000.0;
    const double remixCpu =
        100.0 * std::chrono::duration<double>(host.engine().remixTime()).count() / wallSeconds;
    const double reserveMs =
        std::max(host.engine().reserveMs("Studio"), host.engine().reserveMs("Cue"));

    std::printf("Stress run: 28 slots of %lld-second WAV and %lld-second MP3 files, %d s\n",
                static_cast<long long>(frames / kRate), static_cast<long long>(frames / 5 / kRate),
                seconds);
    std::printf("  output %s, %d-frame period\n",
                output == "pulse"      ? "sound server streams (private PulseAudio, null sinks)"
                : output == "pipewire" ? "PipeWire's own streams (private PipeWire, null sinks)"
                                       : "null, pulled by a thread of this bench",
                period);
    std::printf("  palette loads %d, seeks %d, loop flips %d, device switches %d\n", loads, seeks,
                flips, switches);
    std::printf("  %-36s %10llu   target 0\n", "periods not filled on time",
                static_cast<unsigned long long>(underruns));
    std::printf("  %-36s %10llu   target 0\n", "  of which after the first 10 s",
                static_cast<unsigned long long>(underruns - underrunsEarly));
    std::printf("  %-36s %10llu\n", "  of which a read-ahead ran dry",
                static_cast<unsigned long long>(host.engine().dryPeriods()));
    std::printf("  %-36s %10llu\n", "periods a seek waited for its data",
                static_cast<unsigned long long>(host.engine().seekWaitPeriods()));
    std::printf("  %-36s %10.1f   target <= 50 ms\n", "worst window-thread stall (ms)",
                worstStallMs);
    std::printf("  %-36s %10d   target 0\n", "window's loop turns over 30 ms", watch.longTurns());
    std::printf("  %-36s %10.1f\n", "idle thread's worst late wake-up (ms)", probe.worstLateMs());
    std::printf("  %-36s %10.1f\n", "longest palette load (ms)", worstLoadMs);
    std::printf("  %-36s %10.1f\n", "start-up turn (ms)", watch.startupMs());
    std::printf("  %-36s %10.1f\n", "resident memory, first part (MB)", first);
    std::printf("  %-36s %10.1f   target: no growth\n", "resident memory, last part (MB)", last);
    std::printf("  %-36s %10.1f\n", "process CPU (% of one core)", cpu);
    std::printf("  %-36s %10.1f\n", "  window thread", windowCpu);
    std::printf("  %-36s %10.1f\n", "  stream worker", workerCpu);
    std::printf("  %-36s %10.2f\n", "  mixing again what was mixed ahead", remixCpu);
    std::printf("  %-36s %10.1f\n", "mixed ahead at the end (ms)", reserveMs);
    if (puller) {
        std::printf("  %-36s %10d\n", "puller wake-ups a period late", puller->lateWakeups());
    }
    std::printf("underruns %llu\n", static_cast<unsigned long long>(underruns));
    std::printf("underruns_after_10s %llu\n",
                static_cast<unsigned long long>(underruns - underrunsEarly));
    std::printf("remix_cpu_percent %.2f\n", remixCpu);
    std::printf("reserve_end_ms %.1f\n", reserveMs);
    std::printf("worst_gui_stall_ms %.1f\n", worstStallMs);
    std::printf("rss_first_minute_mb %.1f\n", first);
    std::printf("rss_last_minute_mb %.1f\n", last);
    std::printf("cpu_percent %.1f\n", cpu);
    std::printf("window_thread_cpu_percent %.1f\n", windowCpu);
    std::printf("stream_worker_cpu_percent %.1f\n", workerCpu);
    std::printf("long_turns_30ms %d\n", watch.longTurns());
    std::printf("startup_turn_ms %.1f\n", watch.startupMs());
    std::printf("idle_probe_worst_late_ms %.1f\n", probe.worstLateMs());
    std::printf("dry_periods %llu\n", static_cast<unsigned long long>(host.engine().dryPeriods()));
    std::printf("seek_wait_periods %llu\n",
                static_cast<unsigned long long>(host.engine().seekWaitPeriods()));
    w.airLog()->writer().settle();
    std::printf("log_lines_written %llu\n",
                static_cast<unsigned long long>(w.airLog()->writer().linesWritten()));
    application.watch = nullptr;
    window.reset();
    if (!check) return 0;
    // What is a fault on any machine, however loaded: a hole in a jingle
    // that no output queue could hide, or a window frozen for a second.
    int faults = 0;
    if (host.engine().dryPeriods() > 0) {
        std::printf("FAULT: a read-ahead ran dry in %llu periods\n",
                    static_cast<unsigned long long>(host.engine().dryPeriods()));
        ++faults;
    }
    if (worstStallMs > kMostStallMs) {
        std::printf("FAULT: the window's thread stalled %.0f ms\n", worstStallMs);
        ++faults;
    }
    return faults == 0 ? 0 : 1;
}
