#include "platform/audio/queue_target.h"

#include <algorithm>

namespace tambrel::audio {

namespace {
constexpr int kMostBackoff = 32;
}

int QueueTarget::follow(uint64_t shortfalls, Clock::time_point now, int cover) {
    if (!started_) {
        started_ = true;
        seen_ = shortfalls;
        since_ = now;
        settled_ = now + steps_.settle;
        return target_;
    }
    if (now < settled_) {
        seen_ = shortfalls;
        return target_;
    }
    if (shortfalls != seen_) {
        if (shrunk_ && now - lastShrink_ < stretch())
            backoff_ = std::min(backoff_ * 2, kMostBackoff);
        shrunk_ = false;
        const uint64_t most = static_cast<uint64_t>(steps_.ceiling / steps_.grow) + 1;
        const auto steps = static_cast<int>(std::min(shortfalls - seen_, most));
        // Whole steps, so that the steps back come down to the floor.
        const int wanted = steps_.floor + (cover - steps_.floor + steps_.shrink - 1) /
                                              steps_.shrink * steps_.shrink;
        target_ = std::min(steps_.ceiling, std::max(target_ + steps_.grow * steps, wanted));
        seen_ = shortfalls;
        since_ = now;
    } else if (now - since_ >= stretch() && target_ > steps_.floor) {
        target_ = std::max(steps_.floor, target_ - steps_.shrink);
        since_ = lastShrink_ = now;
        shrunk_ = true;
    }
    return target_;
}

}  // namespace tambrel::audio
