// The output list on a real sound server: a private PulseAudio daemon whose
// null sinks are plugged in, unplugged and plugged back while the window runs
// and a slot plays.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <chrono>
#include <filesystem>
#include <utility>

#include "platform/audio/pulse_output.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"
#include "tests/support/pulse_server.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using namespace std::chrono_literals;
using playback::kPlaying;

struct ServerRig {
    testing::TempDir dir;
    std::unique_ptr<testing::PulseServer> server;
    std::unique_ptr<playback::AudioHost> audio;
    testing::FakeSystem system;
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<F1a> window;

    ServerRig() {
        std::filesystem::create_directory(dir.file("server"));
        server = std::make_unique<testing::PulseServer>(dir.file("server"), "OnAir", 44100,
                                                        std::vector<std::string>{"Cue"});
        audio = std::make_unique<playback::AudioHost>(std::make_unique<audio::PulseBackend>());
        system.folder = QString::fromStdString(dir.path());
        window = Main(system, dialogs, *audio);
    }
    ~ServerRig() { window.reset(); }
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

TEST(OutputDevices, SinksPluggedUnpluggedAndBackFollowTheListByName) {
    ServerRig rig;
    F1a& w = *rig.window;
    ASSERT_EQ(w.Output->ListCount(), 3);  // the default, "OnAir", "Cue"
    ASSERT_TRUE(testing::writeAudio(rig.dir.file("bed.wav"), testing::FileKind::Wav16, 44100, 2,
                                    44100 * 30, testing::staircase));
    rig.dialogs.openAnswers.push_back(QString::fromStdString(rig.dir.file("bed.wav")));
    w.Touche_Click(0);
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);

    // Plugged in while a slot plays: added, and nothing else moves.
    ASSERT_TRUE(rig.server->addSink("Casque"));
    EXPECT_TRUE(rig.until([&] { return w.Output->ListCount() == 4; }));
    EXPECT_EQ(w.Output->List(3), QStringLiteral("Casque"));
    EXPECT_EQ(w.Output->ListIndex(), 0);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);

    // Chosen, then unplugged mid-play: the slot stops once and says so, the
    // entry stays chosen and shows the device absent.
    w.Output->setListIndex(3);
    int stops = 0;
    w.Player[0]->OnStop = [&](int16_t index) {
        ++stops;
        w.Player_OnStop(index);
    };
    EXPECT_TRUE(rig.until([&] { return stops == 1; }));
    stops = 0;
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    const int64_t before = w.Player[0]->Position();
    EXPECT_TRUE(rig.until([&] { return w.Player[0]->Position() > before + 100; }));
    ASSERT_TRUE(rig.server->removeSink("Casque"));
    EXPECT_TRUE(rig.until([&] { return w.Output->Text() == QStringLiteral("Casque (absente)"); }));
    EXPECT_TRUE(rig.until([&] { return stops == 1; }));
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio perdue : Casque"));
    EXPECT_EQ(w.Output->ListIndex(), 3);
    w.Touche_Click(0);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio absente : Casque"));

    // Back under its name: the next press plays there, unasked.
    ASSERT_TRUE(rig.server->addSink("Casque"));
    EXPECT_TRUE(rig.until([&] { return w.Output->Text() == QStringLiteral("Casque"); }));
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_TRUE(rig.until([&] { return w.Player[0]->Position() > 200; }));
    EXPECT_EQ(stops, 1);
}

// The figures of a tool tip "Latence : 8,7 ms — coupures : 0", or -1s.
std::pair<double, int> outputState(const QString& tip) {
    static const QRegularExpression form(
        QStringLiteral("^Latence : (\\d+),(\\d) ms \u2014 coupures : (\\d+)$"));
    const QRegularExpressionMatch match = form.match(tip);
    if (!match.hasMatch()) return {-1, -1};
    return {match.captured(1).toDouble() + match.captured(2).toDouble() / 10,
            match.captured(3).toInt()};
}

TEST(OutputDevices, TheOutputListTellsWhatAStartWaitsBehindAndHowOftenSoundRanShort) {
    ServerRig rig;
    F1a& w = *rig.window;
    ASSERT_TRUE(testing::writeAudio(rig.dir.file("bed.wav"), testing::FileKind::Wav16, 44100, 2,
                                    44100 * 30, testing::staircase));
    rig.dialogs.openAnswers.push_back(QString::fromStdString(rig.dir.file("bed.wav")));
    ::testing::internal::CaptureStderr();
    w.Output->setListIndex(1);
    w.Output_Click();

    // Open before any press: what the server keeps queued (8.7 ms at first,
    // more if this machine already ran short) and the count of shortfalls.
    EXPECT_TRUE(rig.until([&] { return outputState(w.Output->ToolTipText()).first >= 8.7; }))
        << w.Output->ToolTipText().toStdString();
    const auto [first, shortfalls] = outputState(w.Output->ToolTipText());
    EXPECT_LE(first, 8.7 + 4.4 * shortfalls);
    w.Touche_Click(0);
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);

    // The server held still: the sound ran short, and both figures rise
    // (once the stream is past its first seconds, when the device may still
    // be waking up).
    const auto settled = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    rig.until([&] { return std::chrono::steady_clock::now() > settled; });  // the pump turning
    rig.server->pause(std::chrono::milliseconds(40));
    EXPECT_TRUE(rig.until([&] {
        const auto [queued, count] = outputState(w.Output->ToolTipText());
        return queued > first && count > shortfalls;
    })) << w.Output->ToolTipText().toStdString();
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("OnAir: " + w.Output->ToolTipText().toStdString()), std::string::npos)
        << told;
}

}  // namespace
}  // namespace tambrel::app
