#pragma once

// A sound server's connection, made, watched and made again on a thread of
// the backend's own, so that a server that does not answer, or stops
// answering, never holds the caller (the window's thread): the caller only
// reads what is known here already, the connection, its devices and why
// there is none. A connection lost is tried again at once; a try that fails
// or gets no answer within kAnswerTime is tried again kRetryPause after it
// ended.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::audio {

struct ServerSink {
    uint32_t id = 0;          // the server's own number for it
    std::string name;         // what a stream is sent to
    std::string description;  // what the desktop shows
    bool operator==(const ServerSink&) const = default;
};

// One try at connecting, and the connection it made. Made on the link's
// thread; starting it never waits on the server.
class ServerConnection {
  public:
    virtual ~ServerConnection() = default;
    // Any thread: connected, the server's devices known, and not lost since.
    virtual bool alive() const = 0;
    // Any thread: the try failed, or the connection was lost.
    virtual bool ended() const = 0;
    // Any thread: whether a sink came, went or changed since the last call.
    virtual bool takeChange() = 0;
    // The link's thread, once alive: the sinks in the order shown; nullopt
    // when the server did not answer in time.
    virtual std::optional<std::vector<ServerSink>> sinks() = 0;
    // The link's thread, once ended: why.
    virtual std::string failure() = 0;
    // The rate the server's devices run at, or 0 when it does not say.
    virtual int rate() { return 0; }
    // The link's thread, after sinks(): the name of the sink the server
    // plays the system's default on; nullopt while it has not said.
    virtual std::optional<std::string> defaultSink() { return std::nullopt; }
};

class ServerLink {
  public:
    using Clock = std::chrono::steady_clock;
    using Connect = std::function<std::shared_ptr<ServerConnection>()>;
    static constexpr std::chrono::seconds kAnswerTime{2};
    static constexpr std::chrono::seconds kRetryPause{2};
    // How often the thread looks at the connection: what it learns reaches
    // the caller this much later at most.
    static constexpr std::chrono::milliseconds kLook{20};

    // The longest a link waits at its start for the first try to end.
    static constexpr Clock::duration kFirstWait = kAnswerTime + std::chrono::seconds(1);

    // Starts the thread and waits for the first try to end, `firstWait` at
    // most, so that the caller knows at once whether the server answers.
    explicit ServerLink(Connect connect, Clock::duration firstWait = kFirstWait);
    ~ServerLink();
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    struct Known {
        std::shared_ptr<ServerConnection> connection;  // alive when last looked at, or null
        std::vector<ServerSink> sinks;
        std::string failure;  // why there is no connection
        int rate = 0;
        std::optional<std::string> defaultSink;  // its name, as the server last said
    };
    // The description of the sink the default plays on, as the list shows
    // it; nullopt while the server has not said. Never waits on the server.
    std::optional<std::string> defaultDescription() const;
    // Never waits on the server.
    Known known() const;
    bool alive() const;
    // False while the first try has not ended: a server that took the
    // connection and has not answered yet (or not refused it).
    bool tried() const;
    // True once after the sinks or the connection changed (and at the first call).
    bool takeNews();

  private:
    void run();
    // Waits `time` or until the link ends; false when it ends.
    bool pause(Clock::duration time);
    void publish(Known known);

    Connect connect_;
    mutable std::mutex mutex_;  // never held while waiting on the server
    std::condition_variable changed_;
    Known known_;
    bool news_ = true;
    bool tried_ = false;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace tambrel::audio
