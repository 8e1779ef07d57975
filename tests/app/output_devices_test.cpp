// The output list on a real sound server: a private PulseAudio daemon whose
// null sinks are plugged in, unplugged and plugged back while the window runs
// and a slot plays; and the default device as each server says it.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <tuple>
#include <utility>

#include "platform/audio/pipewire_output.h"
#include "platform/audio/pulse_output.h"
#include "tests/app/window_rig.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/pulse_server.h"
#include "tests/support/sink_recorder.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using namespace std::chrono_literals;
using playback::kPlaying;

// The server with its default sink "OnAir" and "Cue", up before the window's
// back end connects to it: PulseAudio, or PipeWire through its own streams.
struct ServerRig {
    testing::TempDir home;
    std::unique_ptr<testing::SoundServer> server;
    explicit ServerRig(bool pipeWire) {
        if (pipeWire) {
            server = std::make_unique<testing::PipeWireServer>(home.path(), "OnAir", 44100,
                                                               std::vector<std::string>{"Cue"});
        } else {
            server = std::make_unique<testing::PulseServer>(home.path(), "OnAir", 44100,
                                                            std::vector<std::string>{"Cue"});
        }
    }
    static std::unique_ptr<audio::OutputBackend> connectTo(bool pipeWire) {
        if (pipeWire) return std::make_unique<audio::PipeWireBackend>();
        return std::make_unique<audio::PulseBackend>();
    }
};

struct OutputDevices : ::testing::Test, ServerRig, WindowRig {
    F1a& w = start();

    // Half a minute of sound for slot A, bound at its first press.
    explicit OutputDevices(bool pipeWire = false)
        : ServerRig(pipeWire), WindowRig(connectTo(pipeWire)) {
        dialogs.openAnswers.push_back(wav("bed.wav", 30000));
    }
    // Lets the window's event loop run, the engine's pump and its device
    // checks included, until `done` or ten seconds.
    template <typename Done>
    bool until(Done done) {
        return testing::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return done();
            },
            10s, 2ms);
    }
};

TEST_F(OutputDevices, SinksPluggedUnpluggedAndBackFollowTheListByName) {
    ASSERT_EQ(w.Output->ListCount(), 3);  // the default, "OnAir", "Cue"
    w.Touche_Click(0);
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    int stops = 0;
    w.Player[0]->OnStop = [&](int16_t index) {
        ++stops;
        w.Player_OnStop(index);
    };

    // Plugged in while a slot plays: added at the end, and nothing else moves.
    ASSERT_TRUE(server->addSink("Casque"));
    EXPECT_TRUE(until([&] { return w.Output->ListCount() == 4; }));
    EXPECT_EQ(w.Output->List(3), QStringLiteral("Casque"));
    EXPECT_EQ(w.Output->ListIndex(), 0);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);

    // "Cue" chosen (which stops the sound), then unplugged mid-play: the slot
    // stops once and says so; the entry stays chosen, shown absent, and the
    // one after it stays in place.
    w.Output->setListIndex(2);
    EXPECT_TRUE(until([&] { return stops == 1; }));
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    const int64_t before = w.Player[0]->Position();
    EXPECT_TRUE(until([&] { return w.Player[0]->Position() > before + 100; }));
    ASSERT_TRUE(server->removeSink("Cue"));
    EXPECT_TRUE(until([&] { return w.Output->Text() == QStringLiteral("Cue (absente)"); }));
    EXPECT_TRUE(until([&] { return stops == 2; }));
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio perdue : Cue"));
    EXPECT_EQ(w.Output->ListIndex(), 2);
    EXPECT_EQ(w.Output->List(3), QStringLiteral("Casque"));
    w.Touche_Click(0);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio absente : Cue"));

    // Back under its name: the next press plays there, unasked.
    ASSERT_TRUE(server->addSink("Cue"));
    EXPECT_TRUE(until([&] { return w.Output->Text() == QStringLiteral("Cue"); }));
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_TRUE(until([&] { return w.Player[0]->Position() > 200; }));
    EXPECT_EQ(stops, 2);
}

// The figures of a tool tip "OnAir\nLatence : 8,7 ms — réserve : 150 ms —
// coupures : 0": the latency, the reserve and the shortfalls, or -1s.
std::tuple<double, int, int> outputState(const QString& tip) {
    static const QRegularExpression form(
        QStringLiteral("^OnAir\nLatence : (\\d+),(\\d) ms \u2014 r\u00e9serve : (\\d+) ms \u2014 "
                       "coupures : (\\d+)$"));
    const QRegularExpressionMatch match = form.match(tip);
    if (!match.hasMatch()) return {-1, -1, -1};
    return {match.captured(1).toDouble() + match.captured(2).toDouble() / 10,
            match.captured(3).toInt(), match.captured(4).toInt()};
}

TEST_F(OutputDevices, TheOutputListTellsWhatAStartWaitsBehindAndHowOftenSoundRanShort) {
    ::testing::internal::CaptureStderr();
    w.Output->setListIndex(1);
    w.Output_Click();

    // Open before any press: what a start waits behind, a few milliseconds
    // past where the server reads (never the reserve mixed ahead of it),
    // and the count of shortfalls.
    EXPECT_TRUE(until([&] { return std::get<0>(outputState(w.Output->ToolTipText())) > 0; }))
        << w.Output->ToolTipText().toStdString();
    const auto [first, reserve, shortfalls] = outputState(w.Output->ToolTipText());
    EXPECT_LE(first, 8.7);
    w.Touche_Click(0);
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);

    // The server held still longer than the reserve: the sound ran short,
    // and the count rises (once the stream is past its first seconds, when
    // the device may still be waking up).
    const auto settled = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    until([&] { return std::chrono::steady_clock::now() > settled; });  // the pump turning
    server->pause(std::chrono::milliseconds(400));
    // and the reserve grows at once.
    EXPECT_TRUE(until([&] {
        return std::get<2>(outputState(w.Output->ToolTipText())) > shortfalls;
    })) << w.Output->ToolTipText().toStdString();
    EXPECT_GE(std::get<1>(outputState(w.Output->ToolTipText())), reserve + 50);
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("OnAir: " + w.Output->ToolTipText().section(u'\n', 1).toStdString()),
              std::string::npos)
        << told;
}

// With the air on "Sortie par défaut du système", on each server.
struct DefaultOutput : OutputDevices, ::testing::WithParamInterface<bool> {
    DefaultOutput() : OutputDevices(GetParam()) {}
    void preListenOn(const char* device) {
        put("Options.ini", QByteArray("pre_ecoute=") + device + '\n');
        w.loadOptions();
        w.preListen(0);
    }
    bool defaultIs(const std::string& device) {
        return until([&] { return audio.engine().defaultDeviceName() == device; });
    }
};

#if defined(__SANITIZE_THREAD__)
const auto kServers = ::testing::Values(false);  // libpipewire is not instrumented
#else
const auto kServers = ::testing::Bool();
#endif

INSTANTIATE_TEST_SUITE_P(Servers, DefaultOutput, kServers,
                         [](const auto& info) { return info.param ? "PipeWire" : "PulseAudio"; });

TEST_P(DefaultOutput, APreListenOnTheDeviceTheDefaultPlaysOnIsRefusedWhereverTheDesktopMovesIt) {
    w.Touche_Click(0);  // binds the file
    ASSERT_EQ(w.Output->ListIndex(), 0);
    EXPECT_TRUE(defaultIs("OnAir"));
    preListenOn("OnAir");
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Pré-écoute sur la sortie antenne"));
    EXPECT_FALSE(w.preListening(0));

    // The desktop moves its default to a sink whose name is not the one shown.
    ASSERT_TRUE(testing::loadNullSink("casque_usb", 44100, "Casque"));
    ASSERT_TRUE(testing::setDefaultSink("casque_usb"));
    EXPECT_TRUE(defaultIs("Casque"));
    preListenOn("Casque");
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Pré-écoute sur la sortie antenne"));
    EXPECT_FALSE(w.preListening(0));

    // "OnAir" is headphones now: heard there, and not on the air.
    testing::SinkRecorder air("casque_usb", 44100);
    testing::SinkRecorder headphones("OnAir", 44100);
    preListenOn("OnAir");
    ASSERT_TRUE(w.preListening(0));
    EXPECT_TRUE(until([&] { return w.Player[0]->Position() > 500; }));
    air.stop();
    headphones.stop();
    const auto peak = [](const testing::SinkRecorder& sink) {
        float most = -1.0f;  // nothing recorded
        for (const float x : sink.samples()) most = std::max(most, std::abs(x));
        return most;
    };
    EXPECT_EQ(peak(air), 0.0f);
    EXPECT_GT(peak(headphones), 0.01f);
}

}  // namespace
}  // namespace tambrel::app
