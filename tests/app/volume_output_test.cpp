// The controls around the slots: volume sliders and their read-out, the
// sliders shown from the menu, the output device, and the meters.

#include <gtest/gtest.h>

#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using playback::kPlaying;

float half(int64_t, int) {
    return 0.5f;
}

TEST(VolumeOutput, SlidersSetTheVolumeAndTheReadOutAndTheMenuShowsThem) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(3, rig.wav("half.wav", 3000, half));
    w.Touche_Click(3);
    rig.render(256);
    w.Slider[3]->setValue(8192);
    EXPECT_EQ(w.Player[3]->Volume(), 8192);
    EXPECT_EQ(w.LblVolume->Caption(), QStringLiteral("Volume 8192"));
    const std::vector<float> out = rig.render(512);
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

TEST(VolumeOutput, ChoosingADeviceStopsEverySlotAndMovesEveryPlayer) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("a.wav", 3000));
    rig.assign(1, rig.wav("b.wav", 3000));
    int stops = 0;
    w.Player[0]->OnStop = w.Player[1]->OnStop = [&](int16_t) { ++stops; };
    w.Touche_Click(0);
    w.Touche_Click(1);
    w.Output->setListIndex(2);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_NE(w.Player[1]->State(), kPlaying);
    for (int16_t i = 0; i < kSlots; ++i) EXPECT_EQ(w.Player[i]->DeviceID(), 1);
    rig.audio.pump();
    EXPECT_EQ(stops, 2);
    w.Touche_Click(0);  // the next press plays on the new device
    EXPECT_EQ(rig.backend->output(std::string("Cue"))->render(256)[100 * 2],
              testing::staircase(100, 0));
}

TEST(VolumeOutput, MeterClickSeeksAPlayingSlotAndHoverShowsTheTime) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.assign(2, rig.wav("three-minutes.wav", 180000, half));
    w.VueMettre_MouseMove(2, 0, 0, 5000, 0);  // silent: the tip keeps its text
    EXPECT_TRUE(w.VueMettre[2]->ToolTipText().isEmpty());
    w.Touche_Click(2);
    rig.render(4410);
    w.Timer1_OnTimer();
    w.VueMettre_MouseMove(2, 0, 0, 90000.4f, 10);
    EXPECT_EQ(w.VueMettre[2]->ToolTipText(), QStringLiteral("01:30"));

    w.VueMettre_MouseDown(2, 2, 0, 90000, 10);  // right button: nothing
    EXPECT_LT(w.Player[2]->Position(), 1000);
    w.VueMettre_MouseDown(2, 1, 0, 90000.5f, 10);  // halves go to the even neighbour
    EXPECT_EQ(w.Player[2]->Position(), 90000);
    EXPECT_EQ(w.VueMettre[2]->surface().image().pixel(1, 1),
              w.VueMettre[2]->surface().image().pixel(50, 1));  // bar cleared
    EXPECT_EQ(w.Player[2]->State(), kPlaying);
}

}  // namespace
}  // namespace tambrel::app
