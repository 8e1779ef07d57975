// OSC from a real UDP client on the loopback: requests reach the window,
// subscribers are told the state, bad input is answered or dropped.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include "palettes/palette_file.h"
#include "remote/osc_requests.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"
#include "tests/support/wait.h"

namespace tambrel::remote {
namespace {

using testing::turnEventsUntil;

// A client on the loopback: sends to the hub, reads what comes back.
class Client {
  public:
    explicit Client(int serverPort) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in here{};
        here.sin_family = AF_INET;
        here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&here), sizeof here), 0);
        socklen_t length = sizeof here;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&here), &length);
        port_ = ntohs(here.sin_port);
        server_.sin_family = AF_INET;
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server_.sin_port = htons(static_cast<uint16_t>(serverPort));
    }
    ~Client() { ::close(socket_); }
    int port() const { return port_; }
    void send(const std::vector<char>& bytes) {
        ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                 sizeof server_);
    }
    void send(const std::string& path, const std::vector<OscArg>& args) {
        send(encodeOsc(path, args));
    }
    // The next message, the window's events turning meanwhile; none after two seconds.
    std::optional<OscMessage> next() {
        std::vector<char> buffer(65536);
        ssize_t got = 0;
        if (!turnEventsUntil([&] {
                got = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                return got > 0;
            }))
            return std::nullopt;
        return decodeOsc(buffer.data(), static_cast<size_t>(got));
    }

  private:
    int socket_ = -1;
    int port_ = 0;
    sockaddr_in server_{};
};

std::string text(const OscMessage& message, size_t i) {
    return std::get<std::string>(message.args.at(i));
}

// The window as requests see it, where loading a palette may first open a
// box, as a handler asking the operator something would.
struct AskingPanel : WindowPanel {
    using WindowPanel::WindowPanel;
    std::function<void()> ask;
    void loadPalette(const QString& entry) override {
        if (ask) std::exchange(ask, nullptr)();
        WindowPanel::loadPalette(entry);
    }
};

struct OscRig : app::WindowRig {
    std::unique_ptr<RemoteHub> hub;
    AskingPanel* panel = nullptr;
    OscRig() {
        start();
        RemoteSettings settings;
        settings.port = 0;  // any free port: tests run side by side
        auto asking = std::make_unique<AskingPanel>(*window);
        panel = asking.get();
        hub = std::make_unique<RemoteHub>(std::move(asking), settings, 500);
    }
};

TEST(Osc, RequestsFromTheNetworkPressLoopAndLoadAsTheOperatorWould) {
    OscRig rig;
    ASSERT_TRUE(rig.hub->problem().isEmpty()) << rig.hub->problem().toStdString();
    app::F1a& w = *rig.window;
    rig.assign(0, rig.wav("Intro.wav", 2000));
    QByteArray bytes;
    QString error;
    ASSERT_TRUE(palettes::writePalette({}, {}, bytes, error));
    rig.put("Soir.Bnk", bytes);
    Client client(rig.hub->oscPort());

    client.send("/tambrel/press", {int32_t{0}});
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
    client.send("/tambrel/loop", {int32_t{0}, int32_t{1}});
    EXPECT_TRUE(turnEventsUntil([&] { return rig.loops() == "A"; }));
    client.send("/tambrel/loop", {int32_t{0}});
    EXPECT_TRUE(turnEventsUntil([&] { return rig.loops().empty(); }));
    client.send("/tambrel/palette", {std::string("SOIR")});
    EXPECT_TRUE(
        turnEventsUntil([&] { return w.BankName->Caption() == QStringLiteral("Soir.Bnk"); }));
}

TEST(Osc, ASubscriberGetsTheWholeStateThenEveryChange) {
    OscRig rig;
    app::F1a& w = *rig.window;
    rig.assign(2, rig.wav("Fond.wav", 3000));
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return !w.loudnessFigures(2).isEmpty();
        },
        std::chrono::seconds(30), std::chrono::milliseconds(5)));
    Client client(rig.hub->oscPort());
    client.send("/tambrel/subscribe", {int32_t{client.port()}});
    std::vector<OscMessage> first;
    for (int i = 0; i < 30; ++i) {
        std::optional<OscMessage> message = client.next();
        ASSERT_TRUE(message) << "after " << i << " messages";
        first.push_back(*message);
    }
    EXPECT_EQ(first[0].path, "/tambrel/etat/slot");
    EXPECT_EQ(first[0].types, "issii");
    EXPECT_EQ(text(first[0], 1), "vide");
    EXPECT_EQ(text(first[2], 1), "pret");
    EXPECT_EQ(text(first[2], 2), "Fond");
    EXPECT_EQ(std::get<int32_t>(first[2].args[3]), 3000);
    // Its loudness figures follow it, as its tool tip gives them.
    EXPECT_EQ(first[3].path, "/tambrel/etat/sonie");
    EXPECT_EQ(first[3].types, "is");
    EXPECT_EQ(text(first[3], 1), w.loudnessFigures(2).toStdString());
    EXPECT_EQ(first[29].path, "/tambrel/etat/palette");

    w.Touche_Click(2);  // the operator's press is told as well
    std::optional<OscMessage> change = client.next();
    ASSERT_TRUE(change);
    EXPECT_EQ(std::get<int32_t>(change->args[0]), 2);
    EXPECT_EQ(text(*change, 1), "joue");
}

TEST(Osc, BadRequestsAreAnsweredAndMalformedPacketsDropped) {
    OscRig rig;
    Client client(rig.hub->oscPort());
    auto answer = [&]() -> std::string {
        std::optional<OscMessage> message = client.next();
        if (!message || message->path != "/tambrel/error") return "(none)";
        return text(*message, 0);
    };
    client.send("/tambrel/press", {std::string("A")});
    EXPECT_EQ(answer(), "Arguments attendus pour /tambrel/press : i (reçus : \"s\")");
    client.send("/tambrel/press", {int32_t{1}});
    EXPECT_EQ(answer(), "Touche vide : B");
    client.send("/tambrel/save", {});
    EXPECT_EQ(answer(), "Adresse inconnue : /tambrel/save");
    client.send("/tambrel/palette", {std::string("Nuit")});
    EXPECT_EQ(answer(), "Palette inconnue : Nuit");
    EXPECT_TRUE(rig.dialogs.asked.empty());  // nothing from afar opens a dialog

    // Not OSC, a truncated message, a bundle: dropped; the next request is served.
    client.send(std::vector<char>{'n', 'o', 'i', 's', 'e'});
    std::vector<char> truncated = encodeOsc("/tambrel/press", {int32_t{0}});
    truncated.resize(truncated.size() - 3);
    client.send(truncated);
    const std::string bundle = std::string("#bundle\0", 8) + std::string(8, '\0');
    client.send(std::vector<char>(bundle.begin(), bundle.end()));
    client.send("/tambrel/press", {int32_t{2}});
    EXPECT_EQ(answer(), "Touche vide : C");
}

TEST(Osc, RequestsActAtOnceWhileAModalBoxIsOpen) {
    OscRig rig;
    app::F1a& w = *rig.window;
    rig.assign(0, rig.wav("Fond.wav", 20000));
    rig.assign(1, rig.wav("Flash.wav", 20000));
    rig.put("Soir.Bnk", app::WindowRig::palette({rig.path("Fond.wav"), rig.path("Flash.wav")}));
    Client client(rig.hub->oscPort());
    // The about box, modal, its event loop nested in the window's; what the
    // requests sent meanwhile did is looked at from inside it, then it closes.
    auto whileABoxIsOpen = [&] {
        bool done = false;
        QTimer::singleShot(50, [&] {
            client.send("/tambrel/press", {int32_t{1}});
            client.send("/tambrel/loop", {int32_t{1}, int32_t{1}});
            done =
                testing::turnEventsUntil([&] { return rig.onAir() == "AB" && rig.loops() == "B"; });
            QWidget* box = QApplication::activeModalWidget();
            EXPECT_NE(box, nullptr);
            if (box != nullptr) box->close();
            w.Touche_Click(1);
            w.Boucle_Click(1);
        });
        w.About_Click();
        return done;
    };
    w.Touche_Click(0);
    // Opened by the operator...
    EXPECT_TRUE(whileABoxIsOpen()) << rig.onAir() << " " << rig.loops();
    // ...or by a request's own handler, with more requests behind it.
    bool asked = false;
    rig.panel->ask = [&] {
        asked = true;
        EXPECT_TRUE(whileABoxIsOpen()) << rig.onAir() << " " << rig.loops();
    };
    client.send("/tambrel/palette", {std::string("Soir")});
    EXPECT_TRUE(testing::turnEventsUntil(
        [&] { return asked && w.BankName->Caption() == QStringLiteral("Soir.Bnk"); }));
    EXPECT_EQ(rig.onAir(), "A");
}

}  // namespace
}  // namespace tambrel::remote
