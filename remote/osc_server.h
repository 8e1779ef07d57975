#pragma once

// The OSC endpoint: a UDP socket bound to the configured address and port,
// read on a thread of its own. What arrives from a host the allow-list does
// not name is dropped there; the rest is decoded there and queued for the
// window's thread, which `wake` is called to drain; the queue is bounded,
// so that a flood costs dropped messages, never a stalled window. Answers
// and state go out through the same socket, from any thread.

#include <netinet/in.h>

#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remote/allow_list.h"
#include "remote/osc_requests.h"

namespace tambrel::remote {

class OscServer {
  public:
    static constexpr size_t kMostWaiting = 256;

    // Binds at once; problem() says why when it could not. `wake` is called
    // from the reading thread when the queue stops being empty.
    OscServer(const std::string& address, int port, AllowList allowed, std::function<void()> wake);
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    const QString& problem() const { return problem_; }
    int port() const { return port_; }  // the one bound (port 0 asks for any)

    // What arrived since the last call, oldest first.
    std::deque<Incoming> take();
    void send(const sockaddr_in& to, const std::vector<char>& bytes);
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // One packet as the reading thread handles it.
    void handle(const char* data, size_t size, const sockaddr_in& from);

  private:
    void run();

    int socket_ = -1;
    int port_ = 0;
    const AllowList allowed_;  // set before the reading thread starts, never changed
    QString problem_;
    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<Incoming> waiting_;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tambrel::remote
