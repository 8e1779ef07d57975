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
}

TEST(HiTimer, PreciseAndRunningFromCreation) {
    int ticks = 0;
    MMHiTimerX timer(20, [&] { ++ticks; });
    EXPECT_EQ(timer.Interval(), 20);
    EXPECT_TRUE(timer.running());  // nothing else starts it
    EXPECT_TRUE(timer.precise());  // a coarse timer may be 5 % late: a meter's tick in 20 ms
    // It reaches its handler through the window's event loop.
    QElapsedTimer clock;
    clock.start();
    while (ticks == 0 && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_GT(ticks, 0);
}

}  // namespace
}  // namespace tambrel::playback
