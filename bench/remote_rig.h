#pragma once

// What the remote benchmarks share: the real window on a null output pulled
// in real time, OSC presses sent from afar on the loopback and timed to the
// engine's start, and the window's events turned while the window's longest
// turn is watched.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "bench/null_puller.h"
#include "platform/audio/null_output.h"
#include "playback/audio_host.h"
#include "tests/support/fake_platform.h"
#include "tests/support/test_audio.h"

namespace tambrel::bench {

// UDP to a port on the loopback, as an OSC controller elsewhere would send.
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

// The window's longest turn, less the probe's own 5 ms, while `running`.
template <typename Running>
double worstStallWhile(Running running, int limitMs) {
    double worstMs = 0;
    QElapsedTimer sinceTurn;
    sinceTurn.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstMs = std::max(worstMs, static_cast<double>(sinceTurn.nsecsElapsed()) / 1e6 - 5);
        sinceTurn.restart();
    });
    probe.start(5);
    turnUntil([&] { return !running(); }, limitMs);
    return worstMs;
}

// Presses from afar, each timed to the engine's start of `playing` and
// pressed again to stop it: the times of those heard; `unheard` counts the rest.
template <typename Playing>
std::vector<double> pressesToPlay(Sender& sender, const std::vector<char>& press, Playing playing,
                                  int count, int& unheard) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> ms;
    for (int trial = 0; trial < count; ++trial) {
        const auto sent = Clock::now();
        sender.send(press);
        if (!turnUntil(playing, 2000)) {
            ++unheard;
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        sender.send(press);
        turnUntil([&] { return !playing(); }, 2000);
        turnUntil([] { return false; }, 20);
    }
    return ms;
}

// The real window on a null output whose default device, "Studio" and "Cue"
// are pulled in real time, slot A holding a one-second jingle.
struct BenchWindow {
    testing::TempDir dir;
    std::string wav = dir.file("jingle.wav");
    audio::NullBackend* backend = new audio::NullBackend({"Studio", "Cue"});
    playback::AudioHost host{std::unique_ptr<audio::OutputBackend>(backend)};
    testing::FakeSystem system;
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<app::F1a> window;
    std::unique_ptr<NullPuller> puller;

    // False, said on standard error as `program`'s, when the jingle cannot be written.
    bool start(const char* program) {
        if (!testing::writeAudio(wav, testing::FileKind::Wav16, 44100, 2, 44100 * 2,
                                 testing::programme)) {
            std::fprintf(stderr, "%s: cannot write the test file\n", program);
            return false;
        }
        system.folder = QString::fromStdString(dir.path());
        host.loadWait = std::chrono::seconds(5);  // each file loaded as it is given
        window = app::Main(system, dialogs, host);
        dialogs.openAnswers.push_back(QString::fromStdString(wav));
        window->Touche_Click(0);
        puller = std::make_unique<NullPuller>(*backend, audio::kPeriodFrames, 44100);
        return true;
    }
    bool playing(int16_t slot = 0) const { return window->slotPlaying(slot); }
};

}  // namespace tambrel::bench
