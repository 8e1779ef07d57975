#include "tests/support/slow_share.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/daemon.h"
#include "tests/support/wait.h"

namespace tambrel::testing {
namespace {

using namespace std::chrono_literals;

std::string kindOf(SlowShare::Call call) {
    static constexpr std::array<const char*, 5> kNames = {"getattr", "open", "read", "readdir",
                                                          "write"};
    return kNames[static_cast<size_t>(call)];
}

// True when a FUSE file system is mounted at `path` (absolute, resolved):
// read from the mount table, without a call that a hung mount could hold.
bool fuseMountedAt(const std::string& path) {
    std::string listed;  // as the table writes it: blanks and backslashes in octal
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            listed += octal;
        } else {
            listed += c;
        }
    }
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        const size_t type = line.find(" - ");
        if (point == listed && type != std::string::npos && line.compare(type + 3, 4, "fuse") == 0)
            return true;
    }
    return false;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        folder += '/';
        folder += program;
        if (::access(folder.c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace

SlowShare::SlowShare(const std::string& source, const std::string& mountPoint)
    : socket_(work_.file("control")), log_(work_.file("slow_share.log")) {
    char resolved[PATH_MAX];
    if (::realpath(mountPoint.c_str(), resolved) == nullptr) {
        problem_ = "no mount point " + mountPoint + ": " + std::strerror(errno);
        return;
    }
    mountPoint_ = resolved;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        problem_ = std::string("no /dev/fuse: ") + std::strerror(errno);
        return;
    }
    if (!onPath("fusermount3")) {
        problem_ = "fusermount3 missing (Debian package fuse3)";
        return;
    }
    pid_ = startDaemon({SLOW_SHARE_PROGRAM, source, mountPoint_, socket_}, log_);
    if (pid_ < 0) {
        problem_ = "cannot fork for slow_share_fs";
        return;
    }
    const auto answers = [&] { return fuseMountedAt(mountPoint_) && calls(Call::GetAttr) >= 0; };
    if (!awaitReady(answers, {&pid_})) {
        problem_ = std::string(pid_ < 0 ? "slow_share_fs ended: "
                                        : "slow_share_fs did not answer within 15 s: ") +
                   tailOf(log_);
        stop();
    }
}

SlowShare::~SlowShare() {
    stop();
}

void SlowShare::stop() {
    // A held call would keep the mount busy, and the program from ending.
    if (pid_ > 0) release();
    if (fuseMountedAt(mountPoint_) && runToEnd({"fusermount3", "-u", mountPoint_}, log_, 5s) != 0) {
        runToEnd({"fusermount3", "-u", "-z", mountPoint_}, log_, 5s);
    }
    endDaemon(pid_);
    // A program killed outright leaves the unmount to auto_unmount's helper.
    if (!waitUntil([&] { return !fuseMountedAt(mountPoint_); }, 2s, 10ms)) {
        runToEnd({"fusermount3", "-u", "-z", mountPoint_}, log_, 5s);
    }
}

std::string SlowShare::command(const std::string& line) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_.size() >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const std::string request = line + "\n";
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[256];
        ssize_t got = 0;
        while (answer.find('\n') == std::string::npos &&
               (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            answer.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    const size_t end = answer.find('\n');
    return end == std::string::npos ? std::string() : answer.substr(0, end);
}

bool SlowShare::delay(Call call, std::chrono::milliseconds time) {
    return command("delay " + kindOf(call) + " " + std::to_string(time.count())) == "ok";
}

bool SlowShare::hang(Call call) {
    return command("hang " + kindOf(call)) == "ok";
}

bool SlowShare::fail(Call call, int error) {
    const char* name = strerrorname_np(error);
    return command("fail " + kindOf(call) + " " +
                   (name != nullptr ? std::string(name) : std::to_string(error))) == "ok";
}

bool SlowShare::release() {
    return command("release") == "ok";
}

int SlowShare::calls(Call call) const {
    const std::string answer = command("count " + kindOf(call));
    int count = -1;
    if (answer.rfind("ok ", 0) == 0) {
        std::from_chars(answer.data() + 3, answer.data() + answer.size(), count);
    }
    return count;
}

}  // namespace tambrel::testing
