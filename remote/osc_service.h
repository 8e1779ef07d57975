#pragma once

// The OSC requests carried out on the window's thread through the remote
// core, and the state sent to subscribers. What it sends is bounded by what
// it is sent, so that no one can use it to flood another host:
//   - a refusal is answered at most kErrorBurst times at once to a host, then
//     kErrorsPerSecond times a second, and is never more than its request's
//     size and kAnswerSlack bytes;
//   - a host holds at most Subscribers::kMostPerHost subscriptions;
//   - a subscriber is sent at most kFirstStateLot messages a pace() (the
//     hub's tick) or publish(), kStateBytesPerSecond bytes a second after a
//     first kStateBurst (its whole state), and kStatePerPeriod bytes from
//     its subscription or renewal to the next renewal. What cannot go yet
//     waits, one entry a slot, and goes as the slot then stands, the change
//     waiting longest first; of the changes of a playing slot's remaining
//     time alone (ticks), one goes every kTickEvery, and none once the
//     period spent kTicksUntil: the rest is kept for changes of state;
//   - a subscription to this program's own socket (its port at an address of
//     this machine) is refused: it would be told its own state forever.
// Of the palette loads waiting, only the last is carried out: each reads a
// whole file, and only the last one shows.

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "remote/osc_requests.h"
#include "remote/remote_control.h"

namespace tambrel::remote {

// An address of this machine: loopback, any, or one of its interfaces'.
bool isThisMachine(const in_addr& address);

class OscService {
  public:
    using Clock = std::chrono::steady_clock;
    using Send = std::function<void(const sockaddr_in& to, const std::vector<char>& bytes)>;
    static constexpr size_t kMostWaiting = 256;
    static constexpr int kFirstStateLot = 4;
    static constexpr double kErrorBurst = 10;
    static constexpr double kErrorsPerSecond = 5;
    static constexpr size_t kMostAnswered = 256;  // hosts whose answers are counted
    static constexpr double kStateBytesPerSecond = 256;
    static constexpr double kStateBurst = 2048;  // a whole state is about 1.6 KB
    static constexpr size_t kStatePerPeriod = 4096;
    static constexpr size_t kTicksUntil = 3072;
    static constexpr std::chrono::milliseconds kTickEvery{1000};

    OscService(RemoteControl& control, Panel& panel, Send send, int ownPort)
        : control_(control), panel_(panel), send_(std::move(send)), ownPort_(ownPort) {}

    // Queued behind what waits; beyond kMostWaiting the newest are dropped.
    void receive(std::deque<Incoming> arrived);
    // What waits, until `until` (one request at least); true while some wait.
    bool carryOut(Clock::time_point until);
    // To every subscriber, what changed, as far as its bounds let it go.
    void publish(const std::vector<std::pair<int, SlotView>>& changed,
                 const std::optional<QString>& palette);
    // The next lot of what waits for each subscriber.
    void pace();
    uint64_t dropped() const { return dropped_; }

    // Called before a newcomer is counted in: what the others have not been
    // told yet goes to them (the newcomer gets it in its whole state).
    std::function<void()> publishPending;
    // Seams for the tests and the fuzz target.
    std::function<bool(const in_addr&)> thisMachine = isThisMachine;
    std::function<Clock::time_point()> now = Clock::now;

  private:
    struct Subscriber {
        sockaddr_in to{};
        std::array<std::optional<SlotView>, kSlots> told;  // what it was last sent
        std::optional<QString> toldPalette;
        // By entry (the 28 slots, then the palette): 0 when nothing waits,
        // otherwise when it started waiting, in the order of waiting_.
        std::array<uint64_t, kSlots + 1> waiting{};
        double allowance = kStateBurst;  // bytes
        Clock::time_point at;            // of the allowance
        size_t spent = 0;                // since it subscribed or renewed
        Clock::time_point nextTick;
    };
    struct Allowance {
        double answers = kErrorBurst;
        Clock::time_point at;
    };
    void carryOut(const Incoming& incoming);
    std::optional<QString> subscribe(const Request& request, const sockaddr_in& from);
    void wait(Subscriber& subscriber, int entry);
    void tell(Subscriber& subscriber);
    void forgetGone();
    bool mayAnswer(uint32_t host);

    RemoteControl& control_;
    Panel& panel_;
    Send send_;
    int ownPort_;
    std::deque<Incoming> waiting_;
    Subscribers subscribers_;
    std::map<Subscribers::Address, Subscriber> subscribed_;
    std::map<uint32_t, Allowance> answered_;
    uint64_t dropped_ = 0;
    uint64_t waited_ = 0;
};

}  // namespace tambrel::remote
