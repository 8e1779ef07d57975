// The web port under a flood of connections, on the real window with a null
// output pulled in real time, the remote control listening on every address
// with a code, as a studio's would:
//   web_flood_opened         connections a flooding process of its own
//                            opened and left idle: 1,100 from the loopback and
//                            1,100 from this machine's network address, a host
//                            off the list (2,200; more than the file limit)
//   web_flood_server_held    the connections the server still held 2 s
//                            after the last was opened (a host's share, 32,
//                            and the tablet)
//   web_flood_worst_stall_ms the window's longest turn from the flood's start
//                            to 2 s after its last connection (target <= 50 ms)
//   web_flood_idle_late_ms   meanwhile, the latest an idle thread woke, one
//                            held on each core: what of a stall is the machine's
//   web_flood_osc_press_to_play_ms, web_flood_key_press_to_play_ms
//                            an OSC press and the operator's key on the
//                            window, in turn four times a second meanwhile,
//                            to the engine's start (medians)
//   web_flood_tablet_admitted
//                            1 when a tablet from a listed address of its own,
//                            giving its code, was sent the whole state
//                            during the flood: 127.0.0.2, as the machine's one
//                            network address stands for the stranger (a page
//                            from this machine is let in without the code)
//   web_flood_tablet_connect_ms
//                            its connect to that state, late in the flood
//   slowloris_open_after_timeout
//                            of 200 connections that send a header a byte a
//                            second, 25 from each of 8 loopback addresses
//                            (each a host to the server, under its share),
//                            how many are open the request time (5 s) plus
//                            1 s after the last was opened (must be 0)
//   slowloris_last_closed_s  when the last of them was closed, from then
//   big_header_rss_growth_mb the process's resident memory, at its highest,
//                            over what it was, while one connection sends a
//                            300 MB header as fast as it can (target < 10 MB)
// It fails when the tablet is not admitted, a press is not heard, a
// slowloris connection outlives its time, or the big header is never closed.
//   web_flood_bench [--raise] [--burst]
// The soft limit of open files is lowered to 1,024 first and held there, as
// on a desktop whose hard limit is 1,024 too: the web port's reserve is then
// live. --raise runs the program's raise after, as main() does. The flood
// pauses 5 ms after each 40, as much as the server's queue of 50 waiting
// connections lets it take; --burst does not, and the system then drops
// connections, the tablet's too, for its client to try again a second later.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QNetworkInterface>
#include <QProcess>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/figures.h"
#include "bench/idle_probe.h"
#include "bench/process_figures.h"
#include "bench/remote_rig.h"
#include "platform/file_limit.h"
#include "remote/osc_codec.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"

namespace {

using namespace tambrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kEach = 1100;  // idle connections from each flooding host
constexpr const char* kCode = "7351";

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

sockaddr_in socketAddress(uint32_t host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A TCP socket from `from` (any port), blocking for `timeout` at most on
// connect and send, connected to the loopback's `port`; -1 when it is not.
int connectFrom(uint32_t from, int port, std::chrono::milliseconds timeout) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                       static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const sockaddr_in source = socketAddress(from, 0);
    const sockaddr_in to = socketAddress(INADDR_LOOPBACK, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the other end closed `fd`, or reset it.
bool closedByPeer(int fd) {
    pollfd seen{fd, POLLRDHUP, 0};
    return ::poll(&seen, 1, 0) > 0 && (seen.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The flooding process: `count` idle connections to `port` from the
// loopback and as many to `stranger`'s (when given), 20 of each at once with
// `pause` between, its own file limit raised so that every one gets a
// handle. It says "opened N" after each batch and "done N" at the end, then
// holds them; each line it reads asks "open N", how many the server has not
// closed; the end of its input ends it.
int flood(int port, const char* stranger, int count, std::chrono::milliseconds pause) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<uint32_t> hosts{INADDR_LOOPBACK};
    in_addr other{};
    if (inet_pton(AF_INET, stranger, &other) == 1) hosts.push_back(ntohl(other.s_addr));
    std::vector<int> opened;
    constexpr int kBatch = 20;
    for (int first = 0; first < count; first += kBatch) {
        std::vector<pollfd> connecting;
        for (int n = first; n < std::min(count, first + kBatch); ++n) {
            for (const uint32_t host : hosts) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) continue;  // out of handles: counted as not opened
                const sockaddr_in to = socketAddress(host, port);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ||
                    errno == EINPROGRESS) {
                    connecting.push_back({fd, POLLOUT, 0});
                } else {
                    ::close(fd);
                }
            }
        }
        // A connection the server already closed or reset was opened all the same.
        const auto until = Clock::now() + 3s;
        while (!connecting.empty() && Clock::now() < until) {
            ::poll(connecting.data(), connecting.size(), 50);
            std::erase_if(connecting, [&](const pollfd& entry) {
                if (entry.revents == 0) return false;
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(entry.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0 || error == ECONNRESET || error == EPIPE) {
                    opened.push_back(entry.fd);
                } else {
                    ::close(entry.fd);
                }
                return true;
            });
        }
        for (const pollfd& entry : connecting) ::close(entry.fd);
        std::printf("opened %zu\n", opened.size());
        std::fflush(stdout);
        std::this_thread::sleep_for(pause);
    }
    std::printf("done %zu\n", opened.size());
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const auto open =
            std::count_if(opened.begin(), opened.end(), [](int fd) { return !closedByPeer(fd); });
        std::printf("open %ld\n", static_cast<long>(open));
        std::fflush(stdout);
    }
    for (const int fd : opened) ::close(fd);
    return 0;
}

// This machine's address on its network, one the list does not name; empty
// when it has none but the loopback.
QString networkAddress() {
    QString here;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            here = address.toString();
        }
    }
    return here;
}

// The connections the server holds on `port` now: its own handles, as the
// system lists them (one not yet taken, or let go, has none).
int heldByServer(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the titles
    int held = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
            continue;
        if (state != "0A" && inode != "0") ++held;  // not the listening socket
    }
    return held;
}

// A tablet on the studio network: a page from a listed address of its own
// that gives its code first, as the page does, and reads all it is sent, as
// a browser does, on a thread of its own.
class Tablet {
  public:
    Tablet(uint32_t from, int port) : from_(from), port_(port) {}
    ~Tablet() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
    }
    Tablet(const Tablet&) = delete;
    Tablet& operator=(const Tablet&) = delete;

    void start() {
        began_ = Clock::now();
        thread_ = std::thread([this] { run(); });
    }
    bool started() const { return thread_.joinable(); }
    // From its connect to the whole state; negative until then.
    double admittedMs() const { return admittedMs_.load(); }
    bool connected() const { return connected_.load(); }

  private:
    void run() {
        const int fd = connectFrom(from_, port_, 10s);
        if (fd < 0) return;
        connected_ = true;
        const timeval turn{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &turn, sizeof turn);
        const std::string us = "127.0.0.1:" + std::to_string(port_);
        const std::string request =
            "GET /ws HTTP/1.1\r\nHost: " + us +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
            "Origin: http://" +
            us + "\r\n\r\n";
        // Its first message, the code it keeps: a text frame, masked (by
        // zeros) as a client's must be.
        const std::string code = std::string("{\"code\":\"") + kCode + "\"}";
        const std::string frame =
            std::string{'\x81', static_cast<char>(0x80 | code.size()), 0, 0, 0, 0} + code;
        bool spoken = false;
        std::string got;
        bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(request.size());
        char buffer[4096];
        while (ok && !quit_) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n < 0 || admittedMs_ >= 0) continue;
            got.append(buffer, static_cast<size_t>(n));
            // As a browser, it speaks once the server has said it is a WebSocket.
            if (!spoken && got.rfind("HTTP/1.1 101", 0) == 0 &&
                got.find("\r\n\r\n") != std::string::npos) {
                spoken = true;
                ok = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) ==
                     static_cast<ssize_t>(frame.size());
            }
            // Only the whole state tells the slots' colours.
            if (spoken && got.find("couleurs") != std::string::npos) admittedMs_ = msSince(began_);
        }
        connected_ = false;
        ::close(fd);
    }

    const uint32_t from_;
    const int port_;
    Clock::time_point began_{};
    std::atomic<double> admittedMs_{-1};
    std::atomic<bool> connected_{false};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

struct Slowloris {
    int opened = 0;
    int openAfterTimeout = -1;
    double lastClosedS = -1;  // from the last opened
};

// `count` connections from 8 loopback addresses, each sending a request's
// header a byte a second, until the server closes them all or 5 s past
// `requestTime`. The server counts each loopback address as a host of its
// own: all of them wait for the time, none is closed for a host's share.
Slowloris slowloris(int port, int count, std::chrono::milliseconds requestTime) {
    Slowloris result;
    std::vector<int> open;
    for (int n = 0; n < count; ++n) {
        const uint32_t from = (127u << 24) | (1u << 8) | static_cast<uint32_t>(1 + n % 8);
        const int fd = connectFrom(from, port, 2s);
        if (fd >= 0) open.push_back(fd);
    }
    result.opened = static_cast<int>(open.size());
    const auto lastOpened = Clock::now();
    const std::string header = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                               "\r\nX-Slow: " + std::string(64, 'a');
    size_t next = 0;
    auto nextByte = lastOpened;
    auto lastClosed = lastOpened;
    while (!open.empty() && Clock::now() - lastOpened < requestTime + 5s) {
        const auto now = Clock::now();
        if (result.openAfterTimeout < 0 && now - lastOpened >= requestTime + 1s) {
            result.openAfterTimeout = static_cast<int>(open.size());
        }
        const bool drip = now >= nextByte;
        if (drip) nextByte += 1s;
        std::erase_if(open, [&](int fd) {
            const bool closed = closedByPeer(fd) || (drip &&
                                                     ::send(fd, &header[next % header.size()], 1,
                                                            MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                                                     errno != EAGAIN);
            if (closed) {
                lastClosed = Clock::now();
                ::close(fd);
            }
            return closed;
        });
        if (drip) ++next;
        std::this_thread::sleep_for(20ms);
    }
    if (result.openAfterTimeout < 0) result.openAfterTimeout = static_cast<int>(open.size());
    if (open.empty())
        result.lastClosedS = std::chrono::duration<double>(lastClosed - lastOpened).count();
    for (const int fd : open) ::close(fd);
    return result;
}

struct BigHeader {
    double sentMb = 0;
    bool closed = false;  // by the server, before the whole was sent
    double rssGrowthMb = 0;
};

// One connection sending a header of `total` bytes as fast as it can,
// until the server closes it; the process's memory read as it goes.
BigHeader bigHeader(int port, size_t total) {
    BigHeader result;
    const double before = bench::residentMb();
    double highest = before;
    const int fd = connectFrom(INADDR_LOOPBACK, port, 5s);
    if (fd < 0) return result;
    const std::string head =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Long: ";
    const std::string chunk(64 * 1024, 'a');
    size_t sent = 0;
    size_t nextLook = 0;
    bool failed = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0;
    while (!failed && sent < total) {
        const ssize_t n =
            ::send(fd, chunk.data(), std::min(chunk.size(), total - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        // A send that timed out is a server that stopped reading, not one that closed.
        result.closed = n < 0 && errno != EAGAIN;
        failed = n < 0;
        if (n > 0) sent += static_cast<size_t>(n);
        if (sent >= nextLook) {
            highest = std::max(highest, bench::residentMb());
            nextLook = sent + (1u << 20);
        }
    }
    ::close(fd);
    std::this_thread::sleep_for(300ms);  // what the server kept, before it lets it go
    result.rssGrowthMb = std::max(highest, bench::residentMb()) - before;
    result.sentMb = static_cast<double>(sent) / (1 << 20);
    return result;
}

// The operator's key for slot A, pressed and let go on the window.
void typeA(app::F1a& window) {
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
        QCoreApplication::sendEvent(window.Keyboard->widget(), &event);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 6 && std::strcmp(argv[1], "--flooder") == 0) {
        return flood(std::atoi(argv[2]), argv[3], std::atoi(argv[4]),
                     std::chrono::milliseconds(std::atoi(argv[5])));
    }
    bool raise = false;
    bool burst = false;
    for (int i = 1; i < argc; ++i) {
        raise = raise || std::strcmp(argv[i], "--raise") == 0;
        burst = burst || std::strcmp(argv[i], "--burst") == 0;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
    if (raise) platform::raiseFileLimit();
    getrlimit(RLIMIT_NOFILE, &limit);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    bench::BenchWindow rig;
    if (!rig.start("web_flood_bench")) return 1;
    remote::RemoteSettings settings;
    settings.port = 0;
    settings.webPort = 0;
    settings.address = "0.0.0.0";
    settings.code = QString::fromLatin1(kCode);
    settings.allowed.add(QStringLiteral("127.0.0.2"));  // the tablet; the loopback may anyway
    remote::RemoteHub hub(std::make_unique<remote::WindowPanel>(*rig.window), settings,
                          app::F1a::kRefreshMs);
    if (!hub.problem().isEmpty() || !hub.webProblem().isEmpty()) {
        std::fprintf(stderr, "web_flood_bench: %s%s\n", qPrintable(hub.problem()),
                     qPrintable(hub.webProblem()));
        return 1;
    }
    const int port = hub.webPort();
    const QString here = networkAddress();
    if (here.isEmpty()) bench::progress("no network address but the loopback: no stranger's flood");
    const int expected = here.isEmpty() ? kEach : 2 * kEach;
    auto playing = [&] { return rig.playing(); };
    bench::Sender sender(hub.oscPort());
    const std::vector<char> pressA = remote::encodeOsc("/tambrel/press", {int32_t{0}});
    std::vector<double> oscMs;
    std::vector<double> keyMs;
    int oscUnheard = 0;
    int keyUnheard = 0;
    // The operator's key for slot A, to the engine's start, and again to stop it.
    auto keyPress = [&] {
        const auto pressed = Clock::now();
        typeA(*rig.window);
        if (!bench::turnUntil(playing, 2000)) return false;
        keyMs.push_back(msSince(pressed));
        typeA(*rig.window);
        bench::turnUntil([&] { return !playing(); }, 2000);
        return true;
    };
    // Once each before, counted as unheard if so: what a first press costs
    // the window is not the flood's.
    bench::pressesToPlay(sender, pressA, playing, 1, oscUnheard);
    if (!keyPress()) ++keyUnheard;
    keyMs.clear();

    bench::progress(bench::format("%d idle connections, a tablet, presses", expected));
    const bench::IdleProbe idle;
    QProcess flooder;
    flooder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    int opened = 0;
    bool done = false;
    int flooderSees = -1;
    QObject::connect(&flooder, &QProcess::readyReadStandardOutput, [&] {
        while (flooder.canReadLine()) {
            const QList<QByteArray> said = flooder.readLine().trimmed().split(' ');
            if (said.size() != 2) continue;
            if (said[0] == "opened" || said[0] == "done") opened = said[1].toInt();
            if (said[0] == "done") done = true;
            if (said[0] == "open") flooderSees = said[1].toInt();
        }
    });
    flooder.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--flooder"), QString::number(port), here, QString::number(kEach),
                   QString::number(burst ? 0 : 5)});
    Tablet tablet((127u << 24) | 2u, port);
    const auto began = Clock::now();
    std::optional<Clock::time_point> doneAt;
    auto nextPress = began;
    const double stallMs = bench::worstStallWhile(
        [&] {
            const auto now = Clock::now();
            // Late in the flood, when the server holds the most (or at its
            // end, where a low hard limit kept the flooder short).
            if (!tablet.started() && (opened >= expected * 9 / 10 || done)) tablet.start();
            if (done && !doneAt) doneAt = now;
            if ((doneAt && now - *doneAt >= 2s) || now - began >= 60s ||
                (flooder.state() == QProcess::NotRunning && now - began >= 5s)) {
                return false;
            }
            if (now < nextPress) return true;
            nextPress += 250ms;
            if (oscMs.size() + oscUnheard <= keyMs.size() + keyUnheard) {
                const std::vector<double> ms =
                    bench::pressesToPlay(sender, pressA, playing, 1, oscUnheard);
                oscMs.insert(oscMs.end(), ms.begin(), ms.end());
                return true;
            }
            if (!keyPress()) ++keyUnheard;
            return true;
        },
        70000);
    const double tabletMs = tablet.admittedMs();  // during the flood, or not at all
    const double idleLateMs = idle.lateDuringMs(began, Clock::now());
    const int held = heldByServer(port);
    flooder.write("count\n");
    bench::turnUntil([&] { return flooderSees >= 0; }, 2000);
    // Past the request time, what never asked anything is closed; the tablet stays.
    bench::turnUntil([] { return false; },
                     static_cast<int>(settings.webLimits.requestTime.count()) + 1000);
    const int heldAfterTimeout = heldByServer(port);
    const bool tabletStayed = tablet.connected();
    flooder.closeWriteChannel();
    bench::turnUntil([&] { return flooder.state() == QProcess::NotRunning; }, 5000);

    bench::progress("200 connections sending a header a byte a second");
    std::future<Slowloris> slow =
        std::async(std::launch::async, slowloris, port, 200, settings.webLimits.requestTime);
    bench::turnUntil([&] { return slow.wait_for(0s) == std::future_status::ready; }, 30000);
    const Slowloris loris = slow.get();

    bench::progress("a 300 MB header as fast as it goes");
    std::future<BigHeader> big = std::async(std::launch::async, bigHeader, port, size_t{300} << 20);
    bench::turnUntil([&] { return big.wait_for(0s) == std::future_status::ready; }, 120000);
    const BigHeader header = big.get();

    std::printf("Web port under a flood, soft limit of open files %llu\n",
                static_cast<unsigned long long>(limit.rlim_cur));
    std::printf("  %-44s %8d   of %d\n", "idle connections the flooder opened", opened, expected);
    std::printf("  %-44s %8d   (%d after the request time; the flooder saw %d open)\n",
                "held by the server 2 s after the last", held, heldAfterTimeout, flooderSees);
    std::printf("  %-44s %8.1f   target <= 50 ms\n", "window's worst stall (ms)", stallMs);
    std::printf("  %-44s %8.1f\n", "an idle thread's latest wake-up (ms)", idleLateMs);
    std::printf("  %-44s %8.2f   (%zu presses, %d unheard)\n",
                "OSC press to the engine's start (ms)", bench::median(oscMs), oscMs.size(),
                oscUnheard);
    std::printf("  %-44s %8.2f   (%zu presses, %d unheard)\n",
                "key press to the engine's start (ms)", bench::median(keyMs), keyMs.size(),
                keyUnheard);
    std::printf("  %-44s %8s   %.1f ms to the whole state, %s at the end\n",
                "a listed tablet admitted in the flood", tabletMs >= 0 ? "yes" : "NO", tabletMs,
                tabletStayed ? "still connected" : "GONE");
    std::printf("  %-44s %8d   of %d opened, must be 0\n", "slowloris open after the time + 1 s",
                loris.openAfterTimeout, loris.opened);
    std::printf("  %-44s %8.1f\n", "the last of them closed after (s)", loris.lastClosedS);
    std::printf("  %-44s %8.1f   target < 10 MB (%.1f MB sent, %s)\n",
                "big header: memory grown (MB)", header.rssGrowthMb, header.sentMb,
                header.closed ? "closed by the server" : "NOT CLOSED");
    std::printf("web_flood_opened %d\n", opened);
    std::printf("web_flood_server_held %d\n", held);
    std::printf("web_flood_worst_stall_ms %.1f\n", stallMs);
    std::printf("web_flood_idle_late_ms %.1f\n", idleLateMs);
    std::printf("web_flood_osc_press_to_play_ms %.2f\n", bench::median(oscMs));
    std::printf("web_flood_key_press_to_play_ms %.2f\n", bench::median(keyMs));
    std::printf("web_flood_tablet_admitted %d\n", tabletMs >= 0 ? 1 : 0);
    std::printf("web_flood_tablet_connect_ms %.1f\n", tabletMs);
    std::printf("slowloris_open_after_timeout %d\n", loris.openAfterTimeout);
    std::printf("slowloris_last_closed_s %.1f\n", loris.lastClosedS);
    std::printf("big_header_rss_growth_mb %.1f\n", header.rssGrowthMb);
    const bool heard = oscUnheard == 0 && keyUnheard == 0 && !oscMs.empty() && !keyMs.empty();
    return tabletMs >= 0 && tabletStayed && heard && loris.opened == 200 &&
                   loris.openAfterTimeout == 0 && header.closed
               ? 0
               : 1;
}
