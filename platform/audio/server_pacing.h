#pragma once

// What a sound server's backend answers to devicesMayHaveChanged(): the
// server's own news while connected; while it is gone or was never there,
// nothing will say when it is back, so the caller is sent to look (each
// look a try at connecting afresh) when the loss is first seen and then at
// most every kRetryPause, counted from the last try, so that a server slow
// to refuse cannot hold the window's thread time after time.

#include <chrono>

namespace tambrel::audio {

class ServerPacing {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRetryPause{2};

    // `alive`: the connection is good now; `takeNews`, asked only then,
    // whether the server told of a change since the last call.
    template <typename TakeNews>
    bool mayHaveChanged(bool alive, TakeNews takeNews) {
        const bool first = !asked_;
        asked_ = true;
        if (alive) {
            lossSeen_ = false;
            return takeNews();
        }
        const auto now = Clock::now();
        if (!first && lossSeen_ && now - lastTry_ < kRetryPause) return false;
        lossSeen_ = true;
        lastTry_ = now;
        return true;
    }
    // A try at connecting afresh has just ended.
    void tried() { lastTry_ = Clock::now(); }
    // The caller has the empty list of a server gone (its last events may
    // have told it first): no need to tell it again at once.
    void lossTold() { lossSeen_ = true; }

  private:
    bool asked_ = false;
    bool lossSeen_ = false;  // the caller knows the connection is gone
    // The last true said while gone, or the last try at connecting afresh.
    Clock::time_point lastTry_{};
};

}  // namespace tambrel::audio
