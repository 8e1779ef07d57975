#include "remote/osc_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tambrel::remote {
namespace {
constexpr size_t kLargestPacket = 65536;
constexpr int kLookMs = 200;  // how often the reading thread looks whether it must end
}  // namespace

OscServer::OscServer(const std::string& address, int port, AllowList allowed,
                     std::function<void()> wake)
    : allowed_(std::move(allowed)), wake_(std::move(wake)) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        problem_ = QStringLiteral("adresse illisible : ") + QString::fromStdString(address);
        return;
    }
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        problem_ = QString::fromLocal8Bit(std::strerror(errno));
        if (socket_ >= 0) ::close(socket_);
        socket_ = -1;
        return;
    }
    socklen_t length = sizeof where;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
    thread_ = std::thread([this] { run(); });
}

OscServer::~OscServer() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    if (socket_ >= 0) ::close(socket_);
}

void OscServer::run() {
    std::vector<char> buffer(kLargestPacket);
    while (!stopping_.load()) {
        pollfd ready{socket_, POLLIN, 0};
        if (::poll(&ready, 1, kLookMs) <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got > 0) handle(buffer.data(), static_cast<size_t>(got), from);
    }
}

void OscServer::handle(const char* data, size_t size, const sockaddr_in& from) {
    // A stranger is not answered: its source address may be forged.
    if (!allowed_.allows(from.sin_addr)) return;
    std::optional<Incoming> incoming = readPacket(data, size, from);
    if (!incoming) return;  // not OSC, a bundle, an answer: nothing to answer
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= kMostWaiting) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        first = waiting_.empty();
        waiting_.push_back(std::move(*incoming));
    }
    if (first && wake_) wake_();
}

std::deque<Incoming> OscServer::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Incoming> taken;
    taken.swap(waiting_);
    return taken;
}

void OscServer::send(const sockaddr_in& to, const std::vector<char>& bytes) {
    if (socket_ < 0 || bytes.empty()) return;
    ::sendto(socket_, bytes.data(), bytes.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace tambrel::remote
