#include "platform/audio/spsc_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace tambrel::audio {
namespace {

TEST(SpscQueue, KeepsOrderAcrossWrapAroundAndRefusesWhenFull) {
    SpscQueue<int, 4> queue;
    int out = 0;
    EXPECT_FALSE(queue.pop(out));
    int next = 0;
    int expected = 0;
    // Many laps around a small ring, with the queue at every fill level.
    for (int lap = 0; lap < 50; ++lap) {
        for (int i = 0; i < 1 + lap % 4; ++i) ASSERT_TRUE(queue.push(next++));
        while (queue.pop(out)) ASSERT_EQ(out, expected++);
    }
    EXPECT_EQ(expected, next);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(queue.push(i));
    EXPECT_FALSE(queue.push(99));
    EXPECT_EQ(queue.size(), 4u);
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out, 0);
}

TEST(SpscQueue, TwoThreadsPassEveryMessageOnceInOrder) {
    struct Message {
        uint64_t value;
        uint64_t check;
    };
    SpscQueue<Message, 64> queue;
    constexpr uint64_t kCount = 200000;
    std::thread producer([&] {
        for (uint64_t i = 0; i < kCount;) {
            if (queue.push({i, ~i})) ++i;
        }
    });
    uint64_t expected = 0;
    Message m{};
    while (expected < kCount) {
        if (!queue.pop(m)) continue;
        ASSERT_EQ(m.value, expected);
        ASSERT_EQ(m.check, ~expected);  // a torn copy would not match
        ++expected;
    }
    producer.join();
    EXPECT_FALSE(queue.pop(m));
}

}  // namespace
}  // namespace tambrel::audio
