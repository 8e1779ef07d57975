#pragma once

// The web pages' requests carried out on the window's thread through the
// remote core, as OSC's are: a slice of time at a time, the newest palette
// load alone of those waiting, a refusal answered to its page. A page that
// joins is sent the whole state (after the others are told what they have
// not been yet); then every page gets the same changes OSC subscribers get.

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "remote/remote_control.h"
#include "remote/web_server.h"

namespace tambrel::remote {

class WebService {
  public:
    using Clock = std::chrono::steady_clock;
    // To a page, or to all that joined (page 0); `joins` with a page's whole state.
    using Send = std::function<void(uint64_t page, std::string text, bool joins)>;
    static constexpr size_t kMostWaiting = 256;

    WebService(RemoteControl& control, Panel& panel, Send send)
        : control_(control), panel_(panel), send_(std::move(send)) {}

    // Queued behind what waits; beyond kMostWaiting the newest are dropped.
    void receive(std::deque<WebIncoming> arrived);
    // What waits, until `until` (one request at least); true while some wait.
    bool carryOut(Clock::time_point until);
    void publish(const std::vector<std::pair<int, SlotView>>& changed,
                 const std::optional<QString>& palette);
    uint64_t dropped() const { return dropped_; }

    // Called before a page joins: the others are told what changed first.
    std::function<void()> publishPending;
    std::function<Clock::time_point()> now = Clock::now;  // a seam for the tests

  private:
    void carryOut(const WebIncoming& incoming);

    RemoteControl& control_;
    Panel& panel_;
    Send send_;
    std::deque<WebIncoming> waiting_;
    QStringList sentPalettes_;
    int sentCountdown_ = -1;
    uint64_t dropped_ = 0;
};

}  // namespace tambrel::remote
