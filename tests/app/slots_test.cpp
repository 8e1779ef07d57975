// Slots as the operator plays them: presses and keys, the stop colours, the
// countdown and bar of the refresh tick, the loop restart; and the controls
// around them: volume sliders and their read-out, the output device, the meters.

#include <gtest/gtest.h>

#include <QTest>

#include "remote/osc_requests.h"
#include "remote/web_messages.h"
#include "remote/window_panel.h"
#include "tests/app/window_rig.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using Slots = WindowTest;
using VolumeOutput = WindowTest;

constexpr int32_t kRed = 255;
constexpr auto half = [](int64_t, int) { return 0.5f; };

TEST_F(Slots, PressOnAnEmptySlotBindsTheChosenFileWithoutPlayingIt) {
    const QString path = wav("Intro.wav", 2500);
    assign(0, path);
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(asked().kind, QStringLiteral("ShowOpen"));
    EXPECT_EQ(asked().text, QStringLiteral("Fichiers audio mp3 wav flac ogg opus | "
                                           "*.mp3;*.wav;*.flac;*.ogg;*.opus"));
    EXPECT_EQ(w.Player[0]->FileName(), path);  // as Linux writes it
    EXPECT_EQ(shows(0), "Intro\r\n\r\nA|00:02");
    EXPECT_EQ(onAir(), "");

    // A cancelled choice leaves an empty slot exactly as it was.
    w.Touche_Click(1);
    EXPECT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(shows(1), "|B");
    EXPECT_TRUE(w.Player[1]->FileName().isEmpty());
}

TEST_F(Slots, PressesStartAndStopWithRedThenWhiteThenTheLineColour) {
    assign(5, wav("bed.wav", 3000));
    assign(6, wav("other.wav", 3000));
    w.Touche_Click(5);
    EXPECT_EQ(onAir(), "F");
    EXPECT_EQ(w.Touche[5]->BackColor(), kRed);
    w.Touche_Click(6);  // another slot joins; the first plays on
    EXPECT_EQ(onAir(), "FG");
    EXPECT_EQ(dialogs.asked.size(), 2u);  // loaded slots never ask for a file

    render(44100);
    w.Touche_Click(5);
    EXPECT_EQ(onAir(), "G");
    EXPECT_EQ(w.Touche[5]->BackColor(), 0xffffff);  // white
    audio.pump();  // OnStop: the label shows the whole length again
    EXPECT_EQ(w.InfoTrack[5]->Caption(), QStringLiteral("00:03"));
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[5]->BackColor(), w.Couleur[1]->BackColor());
    EXPECT_EQ(w.Touche[6]->BackColor(), kRed);  // still playing
}

TEST_F(Slots, RefreshTickCountsDownAndGrowsTheBarThenRestsAtTheEnd) {
    assign(0, wav("jingle.wav", 4000));
    w.Touche_Click(0);
    render(44100 * 3 / 2);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:02"));  // 2.5 s left
    const QImage& bar = w.VueMettre[0]->surface().image();
    const int filled = bar.width() * 1500 / 4000;
    const QRgb blue = qRgb(0, 0, 255);
    EXPECT_EQ(bar.pixel(filled - 2, 2), blue);
    EXPECT_NE(bar.pixel(filled + 2, 2), blue);
    EXPECT_NE(bar.pixel(filled - 2, bar.height() - 1), blue);

    render(44100 * 3);
    EXPECT_EQ(onAir(), "");
    audio.pump();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:04"));
    EXPECT_NE(bar.pixel(2, 2), blue);  // cleared
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[0]->BackColor(), w.Couleur[0]->BackColor());
}

TEST_F(Slots, ALoopingSlotGoesBackToItsStartNearTheEndWithoutStopping) {
    assign(2, wav("short.wav", 1000));
    w.Boucle_Click(2);
    EXPECT_EQ(w.Boucle[2]->BackColor(), playback::kLoopOn);
    w.Touche_Click(2);
    for (int lap = 0; lap < 3; ++lap) {
        render(44100 * 95 / 100);  // 950 ms: within the last 100 ms
        w.TimmerBoucle_OnTimer();
        render(256);
        EXPECT_LT(w.Player[2]->Position(), 100) << lap;
        EXPECT_EQ(stops(2), 0) << lap;
    }
    // A rewind tick that comes too late: the file goes round all the same.
    render(44100 * 3);
    EXPECT_EQ(stops(2), 0);
    EXPECT_EQ(w.Player[2]->State(), playback::kPlaying);

    w.Boucle_Click(2);  // off: plays on to its end
    EXPECT_EQ(w.Boucle[2]->BackColor(), playback::kLoopOff);
    render(44100);
    w.TimmerBoucle_OnTimer();
    EXPECT_EQ(stops(2), 1);
}

TEST_F(Slots, KeysFireSlotsToggleLoopsAndClearThemThroughTheWindow) {
    QWidget* focus = w.Keyboard->widget();
    assign(0, wav("a.wav", 3000));
    assign(26, wav("bracket.wav", 3000));
    assign(27, wav("backslash.wav", 3000));
    assign(25, wav("z.wav", 3000));
    // Each key with what sounds after it, "|", and which loops are on.
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* after;
    } steps[] = {
        {Qt::Key_A, {}, "A|"},
        {Qt::Key_A, Qt::ShiftModifier, "A|"},  // Maj fades it out...
        {Qt::Key_A, {}, "|"},                  // ...and a plain press stops it
        {Qt::Key_Z, {}, "Z|"},
        {Qt::Key_BracketLeft, {}, "Z[|"},
        // "\\" fires slot 27, typed alone or with AltGr (a group switch,
        // or Ctrl+Alt as some systems send it).
        {Qt::Key_Backslash, {}, "Z[\\|"},
        {Qt::Key_Backslash, Qt::GroupSwitchModifier, "Z[|"},
        {Qt::Key_Backslash, Qt::ControlModifier | Qt::AltModifier, "Z[\\|"},
        {Qt::Key_Backslash, {}, "Z[|"},
        {Qt::Key_Bar, Qt::ShiftModifier, "Z[|"},
        {Qt::Key_At, {}, "Z[|"},
        {Qt::Key_5, Qt::KeypadModifier, "Z[|"},
        // Ctrl with a letter switches the loop and fires nothing.
        {Qt::Key_A, Qt::ControlModifier, "Z[|A"},
        {Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier, "Z[|A"},
        {Qt::Key_Super_L, Qt::ControlModifier, "Z[|A["},
        // Delete: every loop off, every slot plays on.
        {Qt::Key_Delete, {}, "Z[|"},
    };
    for (const auto& step : steps) {
        QTest::keyClick(focus, step.key, step.modifiers);
        EXPECT_EQ(onAir() + "|" + loops(), step.after)
            << std::hex << step.key << " " << step.modifiers.toInt();
    }
    EXPECT_EQ(dialogs.asked.size(), 4u);  // no empty slot was pressed

    // The hidden field keeps one character at most.
    w.Keyboard->setText(QStringLiteral("xyz"));
    EXPECT_EQ(w.Keyboard->Text(), QStringLiteral("x"));

    // Sent to a control that ignores it, the key travels up to the window:
    // still one press, so the slot starts and stays started.
    QTest::keyClick(w.Touche[3]->widget(), Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(onAir(), "AZ[");
}

TEST_F(VolumeOutput, SlidersSetTheVolumeAndTheReadOutAndTheMenuShowsThem) {
    assign(3, wav("half.wav", 3000, half));
    w.Touche_Click(3);
    render(256);
    w.Slider[3]->setValue(8192);
    EXPECT_EQ(w.Player[3]->Volume(), 8192);
    EXPECT_EQ(w.LblVolume->Caption(), QStringLiteral("Volume 8192"));
    const std::vector<float> out = render(512);
    EXPECT_EQ(out[400 * 2], 0.5f * 0.125f);  // heard within one period, after the glide

    w.Slider[5]->slider()->setSliderDown(true);
    w.Slider[5]->slider()->setSliderPosition(100);
    EXPECT_EQ(w.LblVolume->Caption(), QStringLiteral("Volume 100"));

    EXPECT_FALSE(w.LblVolume->Visible());
    w.Timer1_OnTimer();
    EXPECT_FALSE(w.Slider[0]->Visible());  // hidden while the entry is unchecked
    w.MnuVolume_Click();
    EXPECT_TRUE(w.MnuVolume->Checked());
    EXPECT_TRUE(w.LblVolume->Visible());
    EXPECT_FALSE(w.Slider[0]->Visible());  // the sliders follow at the next tick
    w.Timer1_OnTimer();
    EXPECT_TRUE(w.Slider[0]->Visible());
    w.MnuVolume_Click();
    EXPECT_FALSE(w.LblVolume->Visible());
    w.Timer1_OnTimer();
    EXPECT_FALSE(w.Slider[27]->Visible());
}

TEST_F(VolumeOutput, ChoosingADeviceStopsEverySlotAndMovesEveryPlayer) {
    assign(0, wav("a.wav", 3000));
    assign(1, wav("b.wav", 3000));
    int stops = 0;
    w.Player[0]->OnStop = w.Player[1]->OnStop = [&](int16_t) { ++stops; };
    w.Touche_Click(0);
    w.Touche_Click(1);
    w.Output->setListIndex(2);
    EXPECT_EQ(onAir(), "");
    for (int16_t i = 0; i < kSlots; ++i) EXPECT_EQ(w.Player[i]->DeviceID(), 1);
    audio.pump();
    EXPECT_EQ(stops, 2);
    w.Touche_Click(0);  // the next press plays on the new device
    EXPECT_EQ(backend->output(std::string("Cue"))->render(256)[100 * 2],
              testing::staircase(100, 0));
}

TEST_F(VolumeOutput, MeterClickSeeksAPlayingSlotAndHoverShowsTheTime) {
    assign(2, wav("three-minutes.wav", 180000, half));
    w.VueMettre_MouseMove(2, 0, 0, 5000, 0);  // silent: the tip keeps its text
    EXPECT_TRUE(w.VueMettre[2]->ToolTipText().isEmpty());
    w.Touche_Click(2);
    render(4410);
    w.Timer1_OnTimer();
    w.VueMettre_MouseMove(2, 0, 0, 90000.4f, 10);
    EXPECT_EQ(w.VueMettre[2]->ToolTipText(), QStringLiteral("01:30"));

    w.VueMettre_MouseDown(2, 2, 0, 90000, 10);  // right button: nothing
    EXPECT_LT(w.Player[2]->Position(), 1000);
    w.VueMettre_MouseDown(2, 1, 0, 90000.5f, 10);  // halves go to the even neighbour
    EXPECT_EQ(w.Player[2]->Position(), 90000);
    EXPECT_EQ(w.VueMettre[2]->surface().image().pixel(1, 1),
              w.VueMettre[2]->surface().image().pixel(50, 1));  // bar cleared
    EXPECT_EQ(w.Player[2]->State(), playback::kPlaying);
}

// A slot's button gives its file's loudness in its tool tip once measured,
// with the gain a press gives it under Option › Normaliser la sonie; the
// web page and OSC carry the same figures.
TEST_F(VolumeOutput, TheButtonsToolTipGivesItsLoudnessOnceMeasuredAndTheGainWhenNormalising) {
    EXPECT_EQ(w.Touche[0]->ToolTipText(), QStringLiteral("Touche A "));
    const std::string file = dir.file("quiet.wav");
    ASSERT_TRUE(testing::writeAudio(
        file, testing::FileKind::WavFloat, 44100, 2, 44100 * 2,
        [](int64_t f, int) { return static_cast<float>(0.0224 * std::sin(f / 7.0187)); }));
    assign(0, QString::fromStdString(file));
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return w.Touche[0]->ToolTipText().contains(u'\n');
        },
        std::chrono::seconds(30), std::chrono::milliseconds(5)));
    const QString tip = w.Touche[0]->ToolTipText();
    EXPECT_TRUE(tip.startsWith(QStringLiteral("Touche A \n−33,0 LUFS · crête −33,")))
        << tip.toStdString();
    EXPECT_FALSE(tip.contains(QStringLiteral(" dB\n"))) << tip.toStdString();

    w.MnuNormaliser_Click();
    EXPECT_TRUE(w.MnuNormaliser->Checked());
    EXPECT_EQ(w.Touche[0]->ToolTipText(), tip + QStringLiteral(" · +10,0 dB"));
    EXPECT_NE(read("Options.ini").indexOf("normaliser=oui\n"), -1);
    const remote::SlotView view = remote::WindowPanel(w).slot(0);
    EXPECT_EQ(QStringLiteral("Touche A \n") + view.loudness, w.Touche[0]->ToolTipText());
    EXPECT_NE(remote::stateText({{{0, view}}, {}, {}, {}, {}, 0}).indexOf(view.loudness.toUtf8()),
              -1);
    const std::vector<char> osc = remote::loudnessMessage(0, view.loudness);
    const QByteArray figures = view.loudness.toUtf8();
    EXPECT_NE(std::search(osc.begin(), osc.end(), figures.begin(), figures.end()), osc.end());
    w.MnuNormaliser_Click();
    EXPECT_EQ(w.Touche[0]->ToolTipText(), tip);
}

}  // namespace
}  // namespace tambrel::app
