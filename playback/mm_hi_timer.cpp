#include "playback/mm_hi_timer.h"

namespace tambrel::playback {

MMHiTimerX::MMHiTimerX(int32_t intervalMs, std::function<void()> onTimer)
    : OnTimer(std::move(onTimer)) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(intervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (OnTimer) OnTimer();
    });
    timer_.start();
}

}  // namespace tambrel::playback
