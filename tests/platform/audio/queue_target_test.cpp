// The queue an output keeps: up at once on shortfalls, down slowly, within
// its floor and ceiling, and more slowly still where giving back proved wrong.

#include "platform/audio/queue_target.h"

#include <gtest/gtest.h>

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;

struct QueueTargetTest : ::testing::Test {
    QueueTarget queue{{384, 1000, 192, 96, 60s, 2s}};
    QueueTarget::Clock::time_point now{};
};

TEST_F(QueueTargetTest, GrowsAStepPerShortfallAtOnceUpToTheCeiling) {
    // Shortfalls before the first look and while the stream settles do not count.
    EXPECT_EQ(queue.follow(3, now), 384);
    EXPECT_EQ(queue.follow(5, now += 1s), 384);
    EXPECT_EQ(queue.follow(5, now += 1s), 384);
    EXPECT_EQ(queue.follow(6, now += 5ms), 576);
    EXPECT_EQ(queue.follow(8, now += 5ms), 960);  // two at once: two steps
    EXPECT_EQ(queue.follow(9, now += 5ms), 1000);
    EXPECT_EQ(queue.follow(500, now += 5ms), 1000);
}

TEST_F(QueueTargetTest, AShortfallAfterALongWaitGrowsAtOnceToCoverItInWholeSteps) {
    queue.follow(0, now);
    // A long wait alone changes nothing: only a shortfall shows it mattered.
    EXPECT_EQ(queue.follow(0, now += 3s, 900), 384);
    EXPECT_EQ(queue.follow(1, now += 5ms, 700), 768);  // 384 + 4 steps back's worth
    EXPECT_EQ(queue.follow(2, now += 5ms, 100), 960);  // a short wait: the usual step
    EXPECT_EQ(queue.follow(3, now += 5ms, 5000), 1000);
    // Giving back still goes a step at a time.
    EXPECT_EQ(queue.follow(3, now += 60s), 904);
}

TEST_F(QueueTargetTest, GivesASmallerStepBackAfterEachCleanStretchDownToTheFloor) {
    queue.follow(0, now);
    EXPECT_EQ(queue.follow(1, now += 3s), 576);
    // A shortfall restarts the stretch: a minute from the last one, not the first.
    EXPECT_EQ(queue.follow(1, now += 59s), 576);
    EXPECT_EQ(queue.follow(2, now += 1s), 768);
    EXPECT_EQ(queue.follow(2, now += 59s), 768);
    EXPECT_EQ(queue.follow(2, now += 1s), 672);
    // One step per stretch, however long the calm.
    EXPECT_EQ(queue.follow(2, now += 10min), 576);
    EXPECT_EQ(queue.follow(2, now += 1s), 576);
    for (int minute = 0; minute < 5; ++minute) queue.follow(2, now += 61s);
    EXPECT_EQ(queue.target(), 384);
    EXPECT_EQ(queue.stretch(), 60s);
}

TEST_F(QueueTargetTest, AShortfallSoonAfterAStepBackDoublesTheStretchBeforeTheNext) {
    queue.follow(0, now);
    queue.follow(1, now += 3s);                   // 576
    EXPECT_EQ(queue.follow(1, now += 60s), 480);  // given back...
    EXPECT_EQ(queue.follow(2, now += 20s), 672);  // ...too soon
    EXPECT_EQ(queue.stretch(), 120s);
    EXPECT_EQ(queue.follow(2, now += 119s), 672);
    EXPECT_EQ(queue.follow(2, now += 1s), 576);
    // A shortfall long after the last step back is the machine's, not the step's.
    EXPECT_EQ(queue.follow(3, now += 10min), 768);
    EXPECT_EQ(queue.stretch(), 120s);
    // Never more than 32 times the stretch.
    for (int i = 0; i < 10; ++i) {
        queue.follow(3 + i, now += queue.stretch());
        queue.follow(4 + i, now += 1s);
    }
    EXPECT_EQ(queue.stretch(), 32 * 60s);
}

}  // namespace
}  // namespace tambrel::audio
