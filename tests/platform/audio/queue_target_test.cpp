// The queue an output keeps: up at once on shortfalls, down slowly, within
// its floor and ceiling.

#include "platform/audio/queue_target.h"

#include <gtest/gtest.h>

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;

TEST(QueueTarget, GrowsAStepPerShortfallAtOnceAndNeverPastTheCeiling) {
    QueueTarget queue(384, 960, 96, 60s);
    QueueTarget::Clock::time_point now{};
    // Shortfalls before the first look (the stream's own start) do not count.
    EXPECT_EQ(queue.follow(3, now), 384);
    EXPECT_EQ(queue.follow(3, now += 1s), 384);
    EXPECT_EQ(queue.follow(4, now += 5ms), 480);
    EXPECT_EQ(queue.follow(7, now += 5ms), 768);  // three at once: three steps
    EXPECT_EQ(queue.follow(100, now += 5ms), 960);
    EXPECT_EQ(queue.follow(101, now += 5ms), 960);
    EXPECT_EQ(queue.target(), 960);
}

TEST(QueueTarget, GivesAStepBackAfterEachCleanStretchDownToTheFloor) {
    QueueTarget queue(384, 960, 96, 60s);
    QueueTarget::Clock::time_point now{};
    queue.follow(0, now);
    EXPECT_EQ(queue.follow(2, now += 1s), 576);
    // A shortfall restarts the stretch: a minute from the last one, not the first.
    EXPECT_EQ(queue.follow(2, now += 59s), 576);
    EXPECT_EQ(queue.follow(3, now += 1s), 672);
    EXPECT_EQ(queue.follow(3, now += 59s), 672);
    EXPECT_EQ(queue.follow(3, now += 1s), 576);
    // One step per stretch, however long the calm.
    EXPECT_EQ(queue.follow(3, now += 10min), 480);
    EXPECT_EQ(queue.follow(3, now += 1s), 480);
    for (int minute = 0; minute < 5; ++minute) queue.follow(3, now += 61s);
    EXPECT_EQ(queue.target(), 384);
}

}  // namespace
}  // namespace tambrel::audio
