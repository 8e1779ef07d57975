// Slots as the operator plays them: presses and keys, the stop colours, the
// countdown and bar of the refresh tick, and the loop restart.

#include <gtest/gtest.h>

#include <QTest>

#include "platform/colors.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using playback::kLoopOff;
using playback::kLoopOn;
using playback::kPlaying;

constexpr int32_t kRed = 255;
constexpr int32_t kWhite = 16777215;
constexpr int32_t kBlue = 255 * 65536;

TEST(Slots, PressOnAnEmptySlotBindsTheChosenFileWithoutPlayingIt) {
    WindowRig rig;
    F1a& w = rig.start();
    const QString path = rig.wav("Intro.wav", 2500);
    rig.assign(0, path);
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.dialogs.asked[0].kind, QStringLiteral("ShowOpen"));
    EXPECT_EQ(rig.dialogs.asked[0].text, QStringLiteral("Audio File mp3 Wav | *.mp3;*.wav"));
    // The player and the caption get the path in the system's form.
    QString systemPath = path;
    systemPath.replace(u'/', u'\\');
    EXPECT_EQ(w.Player[0]->FileName(), systemPath);
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("Intro\r\n\r\nA"));
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:02"));
    EXPECT_NE(w.Player[0]->State(), kPlaying);

    // A cancelled choice leaves an empty slot exactly as it was.
    rig.window->Touche_Click(1);
    EXPECT_EQ(rig.dialogs.asked.size(), 2u);
    EXPECT_TRUE(w.Touche[1]->Caption().isEmpty());
    EXPECT_TRUE(w.Player[1]->FileName().isEmpty());
    EXPECT_EQ(w.InfoTrack[1]->Caption(), QStringLiteral("B"));
}

TEST(Slots, PressesStartAndStopWithRedThenWhiteThenTheLineColour) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(5, rig.wav("bed.wav", 3000));
    rig.assign(6, rig.wav("other.wav", 3000));
    w.Touche_Click(5);
    EXPECT_EQ(w.Player[5]->State(), kPlaying);
    EXPECT_EQ(w.Touche[5]->BackColor(), kRed);
    w.Touche_Click(6);  // another slot joins; the first plays on
    EXPECT_EQ(w.Player[5]->State(), kPlaying);
    EXPECT_EQ(w.Player[6]->State(), kPlaying);
    EXPECT_EQ(rig.dialogs.asked.size(), 2u);  // loaded slots never ask for a file

    rig.render(44100);
    w.Touche_Click(5);
    EXPECT_NE(w.Player[5]->State(), kPlaying);
    EXPECT_EQ(w.Touche[5]->BackColor(), kWhite);
    rig.audio.pump();  // OnStop: the label shows the whole length again
    EXPECT_EQ(w.InfoTrack[5]->Caption(), QStringLiteral("00:03"));
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[5]->BackColor(), w.Couleur[1]->BackColor());
    EXPECT_EQ(w.Touche[6]->BackColor(), kRed);  // still playing

    // A file that cannot be played: the slot says so, and a press sounds nothing.
    rig.assign(7, QString::fromStdString(rig.dir.file("gone.mp3")));
    EXPECT_EQ(w.Touche[7]->Caption(), QStringLiteral("gone\r\n\r\nH"));
    EXPECT_EQ(w.InfoTrack[7]->Caption(), QStringLiteral("absent"));
    w.Touche_Click(7);
    EXPECT_NE(w.Player[7]->State(), kPlaying);
    EXPECT_NE(w.Touche[7]->BackColor(), kRed);
}

TEST(Slots, RefreshTickCountsDownAndGrowsTheBarThenRestsAtTheEnd) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("jingle.wav", 4000));
    w.Touche_Click(0);
    rig.render(44100 * 3 / 2);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:02"));  // 2.5 s left
    const QImage& bar = w.VueMettre[0]->surface().image();
    const int width = bar.width();
    const int filled = width * 1500 / 4000;
    EXPECT_EQ(bar.pixel(filled - 2, 2), platform::toQColor(kBlue).rgb());
    EXPECT_NE(bar.pixel(filled + 2, 2), platform::toQColor(kBlue).rgb());
    EXPECT_NE(bar.pixel(filled - 2, bar.height() - 1), platform::toQColor(kBlue).rgb());

    rig.render(44100 * 3);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    rig.audio.pump();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:04"));
    EXPECT_NE(bar.pixel(2, 2), platform::toQColor(kBlue).rgb());  // cleared
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[0]->BackColor(), w.Couleur[0]->BackColor());
}

TEST(Slots, ALoopingSlotGoesBackToItsStartNearTheEndWithoutStopping) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(2, rig.wav("short.wav", 1000));
    int stops = 0;
    w.Player[2]->OnStop = [&](int16_t) { ++stops; };
    w.Boucle_Click(2);
    EXPECT_EQ(w.Boucle[2]->BackColor(), kLoopOn);
    w.Touche_Click(2);
    for (int lap = 0; lap < 3; ++lap) {
        rig.render(44100 * 95 / 100);  // 950 ms: within the last 100 ms
        w.TimmerBoucle_OnTimer();
        rig.render(256);
        EXPECT_LT(w.Player[2]->Position(), 100) << lap;
        rig.audio.pump();
    }
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(w.Player[2]->State(), kPlaying);

    // A rewind tick that comes too late: the file goes round all the same.
    rig.render(44100 * 3);
    rig.audio.pump();
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(w.Player[2]->State(), kPlaying);

    w.Boucle_Click(2);  // off: plays on to its end
    EXPECT_EQ(w.Boucle[2]->BackColor(), kLoopOff);
    rig.render(44100);
    w.TimmerBoucle_OnTimer();
    rig.audio.pump();
    EXPECT_EQ(stops, 1);
}

TEST(Slots, KeysFireSlotsToggleLoopsAndClearThemThroughTheWindow) {
    WindowRig rig;
    F1a& w = rig.start();
    QWidget* focus = w.Keyboard->widget();
    rig.assign(0, rig.wav("a.wav", 3000));
    rig.assign(26, rig.wav("bracket.wav", 3000));
    rig.assign(27, rig.wav("backslash.wav", 3000));
    rig.assign(25, rig.wav("z.wav", 3000));

    QTest::keyClick(focus, Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    QTest::keyClick(focus, Qt::Key_A, Qt::ShiftModifier);  // "A" stops it
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    QTest::keyClick(focus, Qt::Key_Z, Qt::NoModifier);
    EXPECT_EQ(w.Player[25]->State(), kPlaying);
    QTest::keyClick(focus, Qt::Key_BracketLeft, Qt::NoModifier);
    EXPECT_EQ(w.Player[26]->State(), kPlaying);
    QTest::keyClick(focus, Qt::Key_Backslash, Qt::NoModifier);
    QTest::keyClick(focus, Qt::Key_At, Qt::NoModifier);
    QTest::keyClick(focus, Qt::Key_5, Qt::KeypadModifier);
    EXPECT_NE(w.Player[27]->State(), kPlaying);  // no key reaches slot 27
    EXPECT_EQ(rig.dialogs.asked.size(), 4u);     // and no empty slot was pressed

    // Ctrl with a letter switches the loop and fires nothing.
    QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(w.Boucle[0]->BackColor(), kLoopOn);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    QTest::keyClick(focus, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.Boucle[1]->BackColor(), kLoopOff);
    QTest::keyClick(focus, Qt::Key_Super_L, Qt::ControlModifier);
    EXPECT_EQ(w.Boucle[26]->BackColor(), kLoopOn);

    // Delete: every loop off, every slot plays on.
    QTest::keyClick(focus, Qt::Key_Delete, Qt::NoModifier);
    for (int16_t i = 0; i < kSlots; ++i) EXPECT_EQ(w.Boucle[i]->BackColor(), kLoopOff) << i;
    EXPECT_EQ(w.Player[25]->State(), kPlaying);
    EXPECT_EQ(w.Player[26]->State(), kPlaying);

    // The hidden field keeps one character at most.
    w.Keyboard->setText(QStringLiteral("xyz"));
    EXPECT_EQ(w.Keyboard->Text(), QStringLiteral("x"));
}

TEST(Slots, AKeySeenByAButtonIsHandledOnceOnItsWayUp) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("a.wav", 3000));
    // Sent to a control that ignores it, the key travels up to the window:
    // still one press, so the slot starts and stays started.
    QTest::keyClick(w.Touche[3]->widget(), Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
}

}  // namespace
}  // namespace tambrel::app
