#include "platform/audio/queue_target.h"

#include <algorithm>

namespace tambrel::audio {

int QueueTarget::follow(uint64_t shortfalls, Clock::time_point now) {
    if (!started_) {
        started_ = true;
        seen_ = shortfalls;
        since_ = now;
        return target_;
    }
    if (shortfalls != seen_) {
        const uint64_t room = static_cast<uint64_t>((ceiling_ - target_) / step_);
        target_ += step_ * static_cast<int>(std::min(shortfalls - seen_, room));
        seen_ = shortfalls;
        since_ = now;
    } else if (now - since_ >= cleanStretch_) {
        target_ = std::max(floor_, target_ - step_);
        since_ = now;
    }
    return target_;
}

}  // namespace tambrel::audio
