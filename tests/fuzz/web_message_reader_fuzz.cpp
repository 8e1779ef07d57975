// Fuzzes what the web server reads from a page, as far as the window's
// thread carries it out: messages read, codes checked with a clock that
// moves, requests queued and carried out over a fake window. No crash, no
// hang; what is read is within its bounds; every message sent to a page
// reads back as a JSON object; a refusal goes only to a page that asked,
// and a page that joins is sent all 28 slots.
//
// The input is records: one byte (its two low bits pick the page, bit 2
// carries out what waits, bit 3 has the page join first (once), the rest moves
// the clock by seconds), one byte of length, then the message.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>

#include "remote/web_gate.h"
#include "remote/web_service.h"
#include "tests/fuzz/fake_panel.h"
#include "tests/fuzz/require.h"

using namespace tambrel::remote;
using tambrel::kSlots;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakePanel panel;
    RemoteControl control(panel);
    std::set<uint64_t> asking;
    std::set<uint64_t> joined;
    WebService service(control, panel, [&](uint64_t page, const std::string& text, bool joins) {
        const QJsonDocument read = QJsonDocument::fromJson(QByteArray::fromStdString(text));
        require(read.isObject());
        if (joins) require(read[QStringLiteral("touches")].toArray().size() == kSlots);
        if (read.object().contains(QStringLiteral("erreur"))) require(asking.count(page) == 1);
    });
    CodeGate gate(QStringLiteral("7351"));
    CodeGate::Clock::time_point now{};
    std::deque<WebIncoming> batch;

    // A few dozen records say all there is to say, and keep each run short.
    constexpr int kMostRecords = 48;
    for (size_t at = 0, records = 0; at + 2 <= size && records < kMostRecords; ++records) {
        const uint8_t head = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const QByteArray bytes(reinterpret_cast<const char*>(data + at + 2),
                               static_cast<qsizetype>(length));
        at += 2 + length;
        now += std::chrono::seconds(head >> 4);
        const uint64_t page = 1 + (head & 3);
        if ((head & 8) != 0 && joined.insert(page).second) {  // a page joins once
            batch.push_back({page, {PageMessage::Kind::Joined, 0, {}}});
        }
        std::optional<PageMessage> message = readPageMessage(bytes);
        if (message) {
            require(message->kind != PageMessage::Kind::Joined);
            require(message->text.size() <= 4 * 128);
            if (message->kind == PageMessage::Kind::Code) {
                const CodeGate::Answer answer =
                    gate.check(head & 3, QString::fromStdString(message->text), now);
                require(answer.waitSeconds >= 0 && answer.waitSeconds <= 60);
            } else {
                asking.insert(page);
                batch.push_back({page, std::move(*message)});
            }
        }
        if ((head & 4) == 0 && at < size && records + 1 < kMostRecords) continue;
        service.receive(std::move(batch));
        batch.clear();
        while (service.carryOut(WebService::Clock::time_point{})) {
        }
        service.publish(control.changedSlots(), control.changedPalette());
    }
    return 0;
}
