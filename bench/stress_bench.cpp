// The palette under load, in real time: 28 slots of long MP3 and WAV files
// sounding at once on null outputs pulled by a real-time thread, while the
// window's thread loads palettes over and over, flips loop markers, seeks,
// moves sliders and switches the output device. Prints the periods not
// filled on time, the window's longest stall, memory early and late, and CPU.
//
//   stress_bench [--seconds N] [--output null|pulse] [--server ADDRESS] [--period FRAMES]
//
// --seconds: 60 by default. --output null (the default) pulls null outputs
// from a thread of the bench's own; --output pulse plays through the sound
// server's streams into two null sinks of a private PulseAudio server, so
// that the server's own underflows count too. --server: through a server
// already running there instead (implies --output pulse), into its sinks
// Studio and Cue only, as another bench loads it. --period: the engine's period.


#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "bench/process_figures.h"
#include "palettes/palette_file.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/null_output.h"
#include "platform/audio/pulse_output.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
#include "tests/support/fake_platform.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_audio.h"

namespace {

using namespace tambrel;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
int period = audio::kPeriodFrames;
constexpr int64_t kLongFrames = int64_t{kRate} * 60 * 10;  // ten minutes

// Pulls every open null output in real time, one period at a time.
class Puller {
  public:
    explicit Puller(audio::NullBackend& backend) : backend_(backend), thread_([this] { run(); }) {}
    ~Puller() {
        quit_ = true;
        thread_.join();
    }
    int lateWakeups() const { return late_.load(); }

  private:
    void run() {
        std::vector<float> buffer(static_cast<size_t>(period) * 2);
        const auto step = std::chrono::nanoseconds(int64_t{period} * 1'000'000'000 / kRate);
        auto next = Clock::now();
        while (!quit_) {
            next += step;
            std::this_thread::sleep_until(next);
            if (Clock::now() - next > step) ++late_;
            for (const std::optional<std::string>& name :
                 {std::optional<std::string>(), std::optional<std::string>("Studio"),
                  std::optional<std::string>("Cue")}) {
                if (audio::NullOutput* output = backend_.output(name)) {
                    output->render(buffer.data(), period);
                }
            }
        }
    }
    audio::NullBackend& backend_;
    std::atomic<bool> quit_{false};
    std::atomic<int> late_{0};
    std::thread thread_;
};

void writePalette(const std::string& path, const std::vector<std::string>& files) {
    std::array<QString, palettes::kPaletteSlots> paths;
    std::array<int32_t, palettes::kPaletteSlots> volumes{};
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
    int seconds = 60;
    std::string output = "null";
    std::string serverAddress;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(3, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--output") == 0) output = argv[i + 1];
        if (std::strcmp(argv[i], "--server") == 0) serverAddress = argv[i + 1];
        if (std::strcmp(argv[i], "--period") == 0)
            period = std::clamp(std::atoi(argv[i + 1]), 16, 8192);
    }
    if (!serverAddress.empty()) output = "pulse";
    if (output != "null" && output != "pulse") {
        std::fprintf(stderr, "stress_bench: --output must be null or pulse\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

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
    std::unique_ptr<testing::PulseServer> server;
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
    } else {
        nullBackend = new audio::NullBackend({"Studio", "Cue"});
        backend.reset(nullBackend);
    }
    audio::AudioEngine::Options options;
    options.periodFrames = period;
    playback::AudioHost host{std::move(backend), options};
    testing::FakeSystem system;
    system.folder = QString::fromStdString(dir.path());
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<app::F1a> window = app::Main(system, dialogs, host);
    app::F1a& w = *window;
    std::optional<Puller> puller;
    if (nullBackend != nullptr) puller.emplace(*nullBackend);

    // The window's thread: how long between two turns of its event loop.
    QElapsedTimer sinceTurn;
    sinceTurn.start();
    double worstStallMs = 0;
    QTimer turn;
    turn.setTimerType(Qt::PreciseTimer);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        worstStallMs = std::max(worstStallMs, sinceTurn.nsecsElapsed() / 1e6 - 5.0);
        sinceTurn.restart();
    });
    turn.start(5);

    std::mt19937 random(42);
    int loads = 0, seeks = 0, switches = 0, flips = 0;
    double worstLoadMs = 0;
    auto pick = [&](const QString& entry) {
        QElapsedTimer took;
        took.start();
        w.ComboBank->setText(entry);
        w.ComboBank_Click();
        worstLoadMs = std::max(worstLoadMs, took.nsecsElapsed() / 1e6);
        ++loads;
    };
    pick(QStringLiteral("Matin.Bnk"));

    // The operator at work, ten actions a second.
    QTimer operatorHand;
    int action = 0;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        const auto slot = static_cast<int16_t>(random() % 28);
        for (int16_t i = 0; i < app::kSlots; ++i) {  // keep every slot on air
            if (w.Player[i]->State() != playback::kPlaying) w.Touche_Click(i);
        }
        switch (action++ % 10) {
            case 0:
                pick(action % 20 < 10 ? QStringLiteral("Soir.Bnk") : QStringLiteral("Matin.Bnk"));
                break;
            case 3:
                w.Boucle_Click(slot);
                ++flips;
                break;
            case 5:
                w.VueMettre_MouseDown(
                    slot, 1, 0,
                    static_cast<float>(random() % std::max(1, w.Player[slot]->Length())), 0);
                ++seeks;
                break;
            case 7:
                w.Slider[slot]->setValue(static_cast<int32_t>(random() % 17001));
                break;
            case 9:
                if (action % 100 == 0) {  // every ten seconds, another device
                    w.Output->setListIndex(1 + (switches++ % 2));
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
    QObject::connect(&sampler, &QTimer::timeout, [&] { rss.push_back(bench::residentMb()); });
    sampler.start(1000);

    const double cpuBefore = bench::processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, &application, &QApplication::quit);
    QApplication::exec();
    const double cpu = 100.0 * (bench::processCpuSeconds() - cpuBefore) /
                       (static_cast<double>(wall.elapsed()) / 1000.0);

    const size_t window3 = std::max<size_t>(1, std::min<size_t>(60, rss.size() / 3));
    double first = 0, last = 0;
    for (size_t i = 0; i < window3 && i < rss.size(); ++i) first = std::max(first, rss[i]);
    for (size_t i = rss.size() - std::min(window3, rss.size()); i < rss.size(); ++i) {
        last = std::max(last, rss[i]);
    }
    const uint64_t underruns = host.engine().underruns();

    std::printf("Stress run: 28 slots of %lld-second WAV and %lld-second MP3 files, %d s\n",
                static_cast<long long>(frames / kRate), static_cast<long long>(frames / 5 / kRate),
                seconds);
    std::printf("  output %s, %d-frame period\n",
                output == "pulse" ? "sound server streams (private PulseAudio, null sinks)"
                                  : "null, pulled by a thread of this bench",
                period);
    std::printf("  palette loads %d, seeks %d, loop flips %d, device switches %d\n", loads, seeks,
                flips, switches);
    std::printf("  %-36s %10llu   target 0\n", "periods not filled on time",
                static_cast<unsigned long long>(underruns));
    std::printf("  %-36s %10llu\n", "  of which a read-ahead ran dry",
                static_cast<unsigned long long>(host.engine().dryPeriods()));
    std::printf("  %-36s %10.1f   target <= 50 ms\n", "worst window-thread stall (ms)",
                worstStallMs);
    std::printf("  %-36s %10.1f\n", "longest palette load (ms)", worstLoadMs);
    std::printf("  %-36s %10.1f\n", "resident memory, first part (MB)", first);
    std::printf("  %-36s %10.1f   target: no growth\n", "resident memory, last part (MB)", last);
    std::printf("  %-36s %10.1f\n", "process CPU (% of one core)", cpu);
    if (puller) {
        std::printf("  %-36s %10d\n", "puller wake-ups a period late", puller->lateWakeups());
    }
    std::printf("underruns %llu\n", static_cast<unsigned long long>(underruns));
    std::printf("worst_gui_stall_ms %.1f\n", worstStallMs);
    std::printf("rss_first_minute_mb %.1f\n", first);
    std::printf("rss_last_minute_mb %.1f\n", last);
    std::printf("cpu_percent %.1f\n", cpu);
    window.reset();
    return 0;
}
