// Remote control figures, on the real window with a null output pulled in
// real time:
//   osc_press_to_play_ms     an OSC /tambrel/press sent on the loopback, to
//                            the audio engine's start of play (median of 50;
//                            target <= 2 ms)
//   osc_press_to_play_with_box_ms
//                            the same while a modal box is open, one that a
//                            request's own handler opened (median of 20;
//                            target <= 2 ms)
//   osc_flood_worst_stall_ms the window's longest turn while 10,000 messages
//                            a second arrive for 10 s (target <= 50 ms)
//   osc_palette_flood_worst_stall_ms
//                            the same while 200 palette loads a second
//                            arrive for 10 s, of two palettes of 28 files
//                            (target <= 50 ms)
//   web_press_to_play_ms     a web page's press on its WebSocket, over the
//                            loopback, to the engine's start (median of 50;
//                            target <= 5 ms)
//   web_state_push_ms        a press in the window to the page's receiving
//                            the slot's new state (median of 20, the worst
//                            printed too; target <= 100 ms)
//   web_clients_worst_stall_ms
//                            the window's longest turn with 20 pages
//                            connected while 4 slots play, for 10 s
//                            (target <= 50 ms)
// and whether a press sent after the floods still plays.
//   remote_bench [--flood-seconds N]

#include <QApplication>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench/figures.h"
#include "bench/remote_rig.h"
#include "palettes/palette_file.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"
#include "remote/osc_codec.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"

namespace {

using namespace tambrel;
using bench::Sender;
using bench::turnUntil;
using bench::worstStallWhile;
using Clock = std::chrono::steady_clock;

// Web pages on a thread of their own, as browsers elsewhere would be: they
// keep the time each last heard a slot start, and one of them presses.
class Pages : public QThread {
  public:
    Pages(QUrl url, int count) : url_(std::move(url)), count_(count) {}
    ~Pages() override {
        quit();
        wait();
    }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    // Every page was sent the whole state (which the window's thread sends).
    bool opened() const { return whole_.load() == count_; }
    void press(int slot) {
        QMetaObject::invokeMethod(context_, [this, slot] {
            sockets_[0]->sendTextMessage(QStringLiteral("{\"appui\":%1}").arg(slot));
            sockets_[0]->flush();
        });
    }
    // When the first page last heard slot A start.
    Clock::time_point heardPlaying() const {
        return Clock::time_point(Clock::duration(heard_.load()));
    }
    long messages() const { return messages_.load(); }

  protected:
    void run() override {
        QObject context;
        context_ = &context;
        for (int i = 0; i < count_; ++i) {
            // As a browser opens it: from the page's own origin.
            sockets_.push_back(std::make_unique<QWebSocket>(
                QStringLiteral("http://127.0.0.1:%1").arg(url_.port())));
            QObject::connect(
                sockets_.back().get(), &QWebSocket::textMessageReceived, &context,
                [this, i](const QString& text) {
                    messages_.fetch_add(1);
                    // Only the whole state tells the lines' colours.
                    if (text.contains(QStringLiteral("couleurs"))) whole_.fetch_add(1);
                    if (i == 0 && text.contains(QStringLiteral("\"etat\":\"joue\",\"i\":0,"))) {
                        heard_.store(Clock::now().time_since_epoch().count());
                    }
                });
            QWebSocket* socket = sockets_.back().get();
            QObject::connect(socket, &QWebSocket::connected, &context, [socket] {
                socket->sendTextMessage(QStringLiteral("{\"code\":\"\"}"));
            });
            socket->open(url_);
        }
        exec();
        sockets_.clear();
    }

  private:
    QUrl url_;
    int count_;
    QObject* context_ = nullptr;
    std::vector<std::unique_ptr<QWebSocket>> sockets_;
    std::atomic<int> whole_{0};
    std::atomic<Clock::rep> heard_{0};
    std::atomic<long> messages_{0};
};

// The window as requests see it, where loading a palette may first open a
// box, as a handler asking the operator something would.
struct AskingPanel : remote::WindowPanel {
    using WindowPanel::WindowPanel;
    std::function<void()> ask;
    void loadPalette(const QString& entry) override {
        if (ask) std::exchange(ask, nullptr)();
        WindowPanel::loadPalette(entry);
    }
};

// Sends `bytes(n)` `perSecond` times a second for `seconds` from a thread of
// its own, the window's events turning meanwhile; the window's worst stall.
template <typename Bytes>
double floodStall(int port, int perSecond, int seconds, Bytes bytes, long& sent) {
    std::atomic<bool> flooding{true};
    std::atomic<long> count{0};
    std::thread flood([&] {
        Sender floodSender(port);
        const auto began = Clock::now();
        auto next = began;
        for (long n = 0; Clock::now() - began < std::chrono::seconds(seconds); ++n) {
            floodSender.send(bytes(n));
            count.fetch_add(1, std::memory_order_relaxed);
            next += std::chrono::microseconds(1000000 / perSecond);
            std::this_thread::sleep_until(next);
        }
        flooding = false;
    });
    const double worstMs = worstStallWhile([&] { return flooding.load(); }, (seconds + 5) * 1000);
    flood.join();
    turnUntil([] { return false; }, 200);  // what the flood left waiting is served
    sent = count.load();
    return worstMs;
}

}  // namespace

int main(int argc, char* argv[]) {
    int floodSeconds = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--flood-seconds") == 0) {
            floodSeconds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    bench::BenchWindow rig;
    if (!rig.start("remote_bench")) return 1;
    const std::string& wav = rig.wav;
    testing::TempDir& dir = rig.dir;
    testing::ScriptedDialogs& dialogs = rig.dialogs;
    std::unique_ptr<app::F1a>& window = rig.window;
    remote::RemoteSettings settings;
    settings.port = 0;
    settings.webPort = 0;
    auto asking = std::make_unique<AskingPanel>(*window);
    AskingPanel& panel = *asking;
    remote::RemoteHub hub(std::move(asking), settings, app::F1a::kRefreshMs);
    if (!hub.problem().isEmpty()) {
        std::fprintf(stderr, "remote_bench: %s\n", qPrintable(hub.problem()));
        return 1;
    }
    Sender sender(hub.oscPort());
    const std::vector<char> pressA = remote::encodeOsc("/tambrel/press", {int32_t{0}});
    auto playing = [&] { return rig.playing(); };
    // Presses from afar, each to the engine's start, and each stopped after.
    int unheard = 0;
    auto presses = [&](int count) {
        return bench::pressesToPlay(sender, pressA, playing, count, unheard);
    };

    bench::progress("50 presses from afar");
    const std::vector<double> pressMs = presses(50);

    bench::progress("50 presses from a web page, 20 state pushes");
    const QUrl page(QStringLiteral("ws://127.0.0.1:%1/").arg(hub.webPort()));
    std::vector<double> webPressMs;
    std::vector<double> pushMs;
    {
        Pages one(page, 1);
        one.start();
        if (!turnUntil([&] { return one.opened(); }, 5000)) {
            std::fprintf(stderr, "remote_bench: the web page got no state\n");
            return 1;
        }
        for (int trial = 0; trial < 50; ++trial) {
            const auto sent = Clock::now();
            one.press(0);
            if (!turnUntil(playing, 2000)) {
                ++unheard;
                continue;
            }
            webPressMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            window->Touche_Click(0);
            turnUntil([] { return false; }, 100);  // within the page's pace
        }
        for (int trial = 0; trial < 20; ++trial) {
            // Told it stopped, and at any point of the hub's look.
            turnUntil([] { return false; }, 150 + trial * 7);
            const auto pressed = Clock::now();
            window->Touche_Click(0);
            if (turnUntil([&] { return one.heardPlaying() > pressed; }, 2000)) {
                pushMs.push_back(
                    std::chrono::duration<double, std::milli>(one.heardPlaying() - pressed)
                        .count());
            }
            window->Touche_Click(0);
        }
    }
    bench::progress(bench::format("20 pages while 4 slots play, %d s", floodSeconds));
    double pagesStallMs = -1;
    long pageMessages = 0;
    int stillPlaying = 0;
    {
        Pages twenty(page, 20);
        twenty.start();
        if (turnUntil([&] { return twenty.opened(); }, 5000)) {
            for (int16_t i = 0; i < 4; ++i) {
                if (i > 0) {
                    dialogs.openAnswers.push_back(QString::fromStdString(wav));
                    window->Touche_Click(i);
                }
                window->Boucle_Click(i);
                window->Touche_Click(i);
            }
            const auto began = Clock::now();
            pagesStallMs = worstStallWhile(
                [&] { return Clock::now() - began < std::chrono::seconds(floodSeconds); },
                (floodSeconds + 5) * 1000);
            pageMessages = twenty.messages();
            for (int16_t i = 0; i < 4; ++i) {
                stillPlaying += window->slotPlaying(i) ? 1 : 0;
            }
            for (int16_t i = 0; i < 4; ++i) {
                window->Boucle_Click(i);
                if (window->slotPlaying(i)) window->Touche_Click(i);
            }
        }
    }

    bench::progress(bench::format("a flood of 10,000 messages a second for %d s", floodSeconds));
    const std::vector<char> toggle = remote::encodeOsc("/tambrel/loop", {int32_t{5}});
    const std::vector<char> empty = remote::encodeOsc("/tambrel/press", {int32_t{9}});
    long flooded = 0;
    const double worstStallMs = floodStall(
        hub.oscPort(), 10000, floodSeconds,
        [&](long n) -> const std::vector<char>& { return n % 2 == 0 ? toggle : empty; }, flooded);

    bench::progress("20 presses from afar while a box is open");
    std::array<QString, kSlots> paths;
    paths.fill(QString::fromStdString(wav));
    QByteArray bytes;
    QString error;
    palettes::writePalette(paths, {}, bytes, error);
    for (const char* name : {"Matin.Bnk", "Soir.Bnk"}) {
        QFile file(QString::fromStdString(dir.file(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "remote_bench: cannot write %s\n", name);
            return 1;
        }
    }
    window->File1.Refresh();
    window->File1_PathChange();
    std::vector<double> withBoxMs;
    bool boxOpen = false;
    panel.ask = [&] {
        QTimer::singleShot(100, [&] {
            boxOpen = QApplication::activeModalWidget() != nullptr;
            withBoxMs = presses(20);
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        window->About_Click();
    };
    sender.send(remote::encodeOsc("/tambrel/palette", {std::string("Matin")}));
    turnUntil([&] { return !panel.ask && !withBoxMs.empty(); }, 10000);

    bench::progress(bench::format("200 palette loads a second for %d s", floodSeconds));
    const std::vector<char> matin = remote::encodeOsc("/tambrel/palette", {std::string("Matin")});
    const std::vector<char> soir = remote::encodeOsc("/tambrel/palette", {std::string("Soir")});
    long loads = 0;
    const double worstPaletteStallMs = floodStall(
        hub.oscPort(), 200, floodSeconds,
        [&](long n) -> const std::vector<char>& { return n % 2 == 0 ? matin : soir; }, loads);
    sender.send(pressA);
    const bool afterFlood = turnUntil(playing, 1000);

    std::printf("Remote control, OSC on the loopback, null output pulled in real time\n");
    std::printf("  %-40s %8.2f   target <= 2 ms (%zu presses, %d unheard)\n",
                "press to the engine's start, median (ms)", bench::median(pressMs), pressMs.size(),
                unheard);
    std::printf("  %-40s %8.2f   target <= 2 ms (%zu presses, box %s)\n",
                "the same while a box is open (ms)", bench::median(withBoxMs), withBoxMs.size(),
                boxOpen ? "open" : "NOT OPEN");
    std::printf("  %-40s %8.1f   target <= 50 ms\n", "window's worst stall in the flood (ms)",
                worstStallMs);
    std::printf("  %-40s %8ld\n", "messages sent in the flood", flooded);
    std::printf("  %-40s %8.1f   target <= 50 ms (%ld loads asked)\n",
                "worst stall, 200 palette loads/s (ms)", worstPaletteStallMs, loads);
    std::printf("  %-40s %8llu\n", "messages dropped (queue full)",
                static_cast<unsigned long long>(hub.droppedMessages()));
    std::printf("  %-40s %8s\n", "a press after the flood plays", afterFlood ? "yes" : "NO");
    std::printf("Web page, WebSocket on the loopback\n");
    std::printf("  %-40s %8.2f   target <= 5 ms (%zu presses)\n",
                "press to the engine's start, median (ms)", bench::median(webPressMs),
                webPressMs.size());
    std::printf("  %-40s %8.1f   target <= 100 ms (worst %.1f, %zu changes)\n",
                "window's change to the page, median (ms)", bench::median(pushMs),
                pushMs.empty() ? -1.0 : *std::max_element(pushMs.begin(), pushMs.end()),
                pushMs.size());
    std::printf(
        "  %-40s %8.1f   target <= 50 ms (%ld messages to the pages, %d of 4 "
        "slots still playing at the end)\n",
        "worst stall, 20 pages, 4 slots (ms)", pagesStallMs, pageMessages, stillPlaying);
    std::printf("osc_press_to_play_ms %.2f\n", bench::median(pressMs));
    std::printf("osc_press_to_play_with_box_ms %.2f\n", bench::median(withBoxMs));
    std::printf("osc_flood_worst_stall_ms %.1f\n", worstStallMs);
    std::printf("osc_palette_flood_worst_stall_ms %.1f\n", worstPaletteStallMs);
    std::printf("web_press_to_play_ms %.2f\n", bench::median(webPressMs));
    std::printf("web_state_push_ms %.1f\n", bench::median(pushMs));
    std::printf("web_clients_worst_stall_ms %.1f\n", pagesStallMs);
    return afterFlood && unheard == 0 && boxOpen && withBoxMs.size() == 20 && pushMs.size() == 20 &&
                   pagesStallMs >= 0
               ? 0
               : 1;
}
