#pragma once

// A precise timer that ticks on the window's thread from its creation on.
// Nothing starts, stops or retunes it.

#include <QTimer>
#include <cstdint>
#include <functional>

namespace tambrel::playback {

class MMHiTimerX {
  public:
    MMHiTimerX(int32_t intervalMs, std::function<void()> onTimer);
    MMHiTimerX(const MMHiTimerX&) = delete;
    MMHiTimerX& operator=(const MMHiTimerX&) = delete;

    int32_t Interval() const { return timer_.interval(); }
    bool running() const { return timer_.isActive(); }
    bool precise() const { return timer_.timerType() == Qt::PreciseTimer; }
    std::function<void()> OnTimer;

  private:
    QTimer timer_;
};

}  // namespace tambrel::playback
