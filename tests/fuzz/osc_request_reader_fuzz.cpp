// Fuzzes the OSC requests as the window's thread carries them out: packets
// from a few hosts, read as the reading thread reads them, then queued and
// carried out over a fake window, with a clock that moves. No crash, no hang,
// and what goes out keeps its bounds: a refusal goes to a sender of the
// batch and is no larger than its request and kAnswerSlack bytes, a request
// sends a lot of the state at most, nothing is ever sent to the program's
// own socket, and every message sent reads back.
//
// The input is records: one byte (its two low bits pick the host, bit 2
// carries out what waits, the rest moves the clock by tens of
// milliseconds), one byte of length, then the packet.

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remote/osc_service.h"
#include "tests/fuzz/fake_panel.h"
#include "tests/fuzz/require.h"

namespace {
using namespace tambrel::remote;

constexpr int kOwnPort = 9100;
constexpr std::array<uint32_t, 4> kHosts{0x7f000001, 0xc0a80a1f, 0xc0a80a20, 0x0a000001};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakePanel panel;
    RemoteControl control(panel);
    std::deque<Incoming> batch;
    size_t sent = 0;
    OscService service(
        control, panel,
        [&](const sockaddr_in& to, const std::vector<char>& bytes) {
            ++sent;
            const std::optional<OscMessage> message = decodeOsc(bytes.data(), bytes.size());
            require(message && (message->path == "/tambrel/etat/slot" ||
                                message->path == "/tambrel/etat/palette" ||
                                message->path == "/tambrel/error"));
            require(!(ntohl(to.sin_addr.s_addr) == kHosts[0] && ntohs(to.sin_port) == kOwnPort));
            if (message->path != "/tambrel/error") return;
            require(std::any_of(batch.begin(), batch.end(), [&](const Incoming& asked) {
                return asked.from.sin_addr.s_addr == to.sin_addr.s_addr &&
                       asked.from.sin_port == to.sin_port &&
                       bytes.size() <= asked.size + kAnswerSlack;
            }));
        },
        kOwnPort);
    OscService::Clock::time_point now{};
    service.now = [&] { return now; };
    service.thisMachine = [](const in_addr& a) { return ntohl(a.s_addr) == kHosts[0]; };

    for (size_t at = 0; at + 2 <= size;) {
        const uint8_t head = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const auto* packet = reinterpret_cast<const char*>(data + at + 2);
        at += 2 + length;
        now += std::chrono::milliseconds(10 * (head >> 3));
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(kHosts[head & 3]);
        from.sin_port = htons(static_cast<uint16_t>(9000 + (head & 3)));
        std::optional<Incoming> incoming = readPacket(packet, length, from);
        const std::optional<OscMessage> message = decodeOsc(packet, length);
        if (message &&
            (message->path.starts_with(kStatePrefix) || message->path == "/tambrel/error")) {
            require(!incoming);  // only the program sends them: never answered
        }
        if (incoming) {
            require(incoming->size == length);
            batch.push_back(*incoming);
        }
        if ((head & 4) == 0 && at < size) continue;
        service.receive(batch);
        sent = 0;
        while (service.carryOut(now)) {
        }
        require(sent <= batch.size() * OscService::kFirstStateLot);
        batch.clear();
        service.pace();
        service.publish(control.changedSlots(), control.changedPalette());
    }
    return 0;
}
