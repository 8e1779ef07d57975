// The slider and the high-resolution timer as the palette window uses them.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>

#include "playback/mm_hi_timer.h"
#include "playback/mm_slider.h"

namespace tambrel::playback {
namespace {

TEST(Slider, VerticalOnTheVolumeScaleWithChangeAndTrackEvents) {
    QWidget window;
    MMSliderX slider(&window, 5);
    EXPECT_EQ(slider.slider()->orientation(), Qt::Vertical);
    EXPECT_EQ(slider.MaxValue(), 17000);
    EXPECT_EQ(slider.slider()->minimum(), 0);

    std::vector<int32_t> changes;
    std::vector<int32_t> tracks;
    slider.OnChange = [&](int16_t index) {
        EXPECT_EQ(index, 5);
        changes.push_back(slider.Value());
    };
    slider.OnTrack = [&](int16_t index) {
        EXPECT_EQ(index, 5);
        tracks.push_back(slider.Value());
    };
    slider.setValue(8500);  // a write raises OnChange, not OnTrack
    slider.setValue(8500);  // no change, no event
    EXPECT_EQ(changes, std::vector<int32_t>{8500});
    EXPECT_TRUE(tracks.empty());

    // The operator drags the thumb.
    slider.slider()->setSliderDown(true);
    slider.slider()->setSliderPosition(9000);
    slider.slider()->setSliderDown(false);
    EXPECT_EQ(tracks.size(), 1u);
    EXPECT_EQ(changes.back(), 9000);

    slider.setVisible(false);
    EXPECT_FALSE(slider.Visible());
    slider.setVisible(true);
    EXPECT_TRUE(slider.Visible());
}

TEST(HiTimer, TicksAtItsIntervalFromCreation) {
    int ticks = 0;
    MMHiTimerX timer(20, [&] { ++ticks; });
    EXPECT_EQ(timer.Interval(), 20);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // Shared machines are noisy: some ticks, and never more than time allows.
    EXPECT_GE(ticks, 5);
    EXPECT_LE(ticks, 16);
}

}  // namespace
}  // namespace tambrel::playback
