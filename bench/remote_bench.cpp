// Remote control figures, on the real window with a null output pulled in
// real time:
//   osc_press_to_play_ms     an OSC /tambrel/press sent on the loopback, to
//                            the audio engine's start of play (median of 50;
//                            target <= 2 ms)
//   osc_flood_worst_stall_ms the window's longest turn while 10,000 messages
//                            a second arrive for 10 s (target <= 50 ms)
// and whether a press sent after the flood still plays.
//   remote_bench [--flood-seconds N]

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "bench/figures.h"
#include "bench/null_puller.h"
#include "platform/audio/null_output.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"
#include "remote/osc_codec.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "tests/support/fake_platform.h"
#include "tests/support/test_audio.h"

namespace {

using namespace tambrel;
using Clock = std::chrono::steady_clock;

class Sender {
  public:
    explicit Sender(int port) : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to_.sin_port = htons(static_cast<uint16_t>(port));
    }
    ~Sender() { ::close(socket_); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    void send(const std::vector<char>& bytes) {
        ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to_),
                 sizeof to_);
    }

  private:
    int socket_;
    sockaddr_in to_{};
};

// Turns the window's events until `done`, `limitMs` at most.
template <typename Done>
bool turnUntil(Done done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return done();
}

}  // namespace

int main(int argc, char* argv[]) {
    int floodSeconds = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--flood-seconds") == 0) {
            floodSeconds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::TempDir dir;
    const std::string wav = dir.file("jingle.wav");
    if (!testing::writeAudio(wav, testing::FileKind::Wav16, 44100, 2, 44100 * 2,
                             testing::programme)) {
        std::fprintf(stderr, "remote_bench: cannot write the test file\n");
        return 1;
    }
    auto* backend = new audio::NullBackend({"Studio", "Cue"});
    playback::AudioHost host{std::unique_ptr<audio::OutputBackend>(backend)};
    testing::FakeSystem system;
    system.folder = QString::fromStdString(dir.path());
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<app::F1a> window = app::Main(system, dialogs, host);
    dialogs.openAnswers.push_back(QString::fromStdString(wav));
    window->Touche_Click(0);
    const bench::NullPuller puller(*backend, audio::kPeriodFrames, 44100);
    remote::RemoteSettings settings;
    settings.port = 0;
    remote::RemoteHub hub(*window, settings, app::F1a::kRefreshMs);
    if (!hub.problem().isEmpty()) {
        std::fprintf(stderr, "remote_bench: %s\n", qPrintable(hub.problem()));
        return 1;
    }
    Sender sender(hub.oscPort());
    const std::vector<char> pressA = remote::encodeOsc("/tambrel/press", {int32_t{0}});
    auto playing = [&] { return window->Player[0]->State() == playback::kPlaying; };

    bench::progress("50 presses from afar");
    std::vector<double> pressMs;
    int unheard = 0;
    for (int trial = 0; trial < 50; ++trial) {
        const auto sent = Clock::now();
        sender.send(pressA);
        if (!turnUntil(playing, 2000)) {
            ++unheard;
            continue;
        }
        pressMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        sender.send(pressA);
        turnUntil([&] { return !playing(); }, 2000);
        turnUntil([] { return false; }, 20);
    }

    bench::progress(bench::format("a flood of 10,000 messages a second for %d s", floodSeconds));
    std::atomic<bool> flooding{true};
    std::atomic<long> flooded{0};
    std::thread flood([&] {
        Sender floodSender(hub.oscPort());
        const std::vector<char> toggle = remote::encodeOsc("/tambrel/loop", {int32_t{5}});
        const std::vector<char> empty = remote::encodeOsc("/tambrel/press", {int32_t{9}});
        const auto began = Clock::now();
        auto next = began;
        for (long n = 0; Clock::now() - began < std::chrono::seconds(floodSeconds); ++n) {
            floodSender.send(n % 2 == 0 ? toggle : empty);
            flooded.fetch_add(1, std::memory_order_relaxed);
            next += std::chrono::microseconds(100);
            std::this_thread::sleep_until(next);
        }
        flooding = false;
    });
    double worstStallMs = 0;
    QElapsedTimer sinceTurn;
    sinceTurn.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstStallMs =
            std::max(worstStallMs, static_cast<double>(sinceTurn.nsecsElapsed()) / 1e6 - 5);
        sinceTurn.restart();
    });
    probe.start(5);
    turnUntil([&] { return !flooding.load(); }, (floodSeconds + 5) * 1000);
    probe.stop();
    flood.join();
    turnUntil([] { return false; }, 200);  // what the flood left waiting is served
    sender.send(pressA);
    const bool afterFlood = turnUntil(playing, 1000);

    std::printf("Remote control, OSC on the loopback, null output pulled in real time\n");
    std::printf("  %-40s %8.2f   target <= 2 ms (%zu presses, %d unheard)\n",
                "press to the engine's start, median (ms)", bench::median(pressMs), pressMs.size(),
                unheard);
    std::printf("  %-40s %8.1f   target <= 50 ms\n", "window's worst stall in the flood (ms)",
                worstStallMs);
    std::printf("  %-40s %8ld\n", "messages sent in the flood", flooded.load());
    std::printf("  %-40s %8llu\n", "messages dropped (queue full)",
                static_cast<unsigned long long>(hub.droppedMessages()));
    std::printf("  %-40s %8s\n", "a press after the flood plays", afterFlood ? "yes" : "NO");
    std::printf("osc_press_to_play_ms %.2f\n", bench::median(pressMs));
    std::printf("osc_flood_worst_stall_ms %.1f\n", worstStallMs);
    return afterFlood && unheard == 0 ? 0 : 1;
}
