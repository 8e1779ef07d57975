#pragma once

// Who a web page from another machine must be: one that knows the code.
// The comparison takes the same time whatever the code given, and guessing
// is slowed for each host: after 3 wrong codes it may try once every 2 s,
// the wait doubling with each wrong code up to 60 s; the right code clears
// its count. A try during the wait is not compared at all. What a page
// sends at all is paced too (kBurst at once, then kPerSecond a second).

#include <QString>
#include <chrono>
#include <cstdint>
#include <map>

namespace tambrel::remote {

class CodeGate {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeTries = 3;
    static constexpr std::chrono::seconds kFirstWait{2};
    static constexpr std::chrono::seconds kLongestWait{60};
    static constexpr size_t kMostHosts = 256;  // counted hosts; a flood of them waits

    // An empty code lets no page from another machine in.
    explicit CodeGate(const QString& code);

    enum class Verdict { Right, Wrong, Wait };
    struct Answer {
        Verdict verdict = Verdict::Wrong;
        int waitSeconds = 0;  // before this host's next try is compared
    };
    Answer check(uint32_t host, const QString& given, Clock::time_point now);

  private:
    struct Tries {
        int wrong = 0;
        Clock::time_point last{};  // its last try compared
        Clock::time_point next{};  // when it may try again
    };
    QByteArray digest_;  // of the code; empty when there is none
    std::map<uint32_t, Tries> hosts_;
};

// What a connection to the web port may hold, and how long, before it is a
// page given the code; the tests make the times small. Those not given it
// are counted apart from the pages: one past a cap closes the oldest of its
// host's, or of all.
struct WebLimits {
    size_t mostConnections = 256;  // not given the code, at once: well under the file limit
    size_t mostPerHost = 32;
    qint64 largestRequest = 8 * 1024;             // a request's header
    std::chrono::milliseconds requestTime{5000};  // to send a whole request, and between two
    std::chrono::milliseconds codeTime{10000};    // from the WebSocket to the right code
    qint64 mostUnsent = qint64{1} << 20;          // waiting for a page, Qt's and the system's
    std::chrono::milliseconds unreadTime{5000};   // data waiting for a page that reads none
};

// A page's messages: a burst, then a steady rate; the rest is ignored.
class Pace {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kBurst = 20;
    static constexpr double kPerSecond = 10;
    bool allows(Clock::time_point now);

  private:
    double tokens_ = kBurst;
    Clock::time_point at_{};
    bool started_ = false;
};

}  // namespace tambrel::remote
