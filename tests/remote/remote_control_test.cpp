// The remote-control core: requests act as the operator's gestures and no
// more, refusals say why, state goes out when it changes, subscriptions fall
// away when not renewed, and nothing from afar makes it send much, or loop.
// The web pages' messages, their code and its slowing, through the same core.

#include "remote/remote_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <set>

#include "remote/midi_map.h"
#include "remote/osc_server.h"
#include "remote/osc_service.h"
#include "remote/remote_settings.h"
#include "remote/web_gate.h"
#include "remote/web_service.h"

namespace tambrel::remote {
namespace {

using namespace std::chrono_literals;

// A window seen through the panel: what the requests did, and the state shown.
struct FakePanel : Panel {
    std::array<SlotView, kSlots> views{};
    QStringList entries{QStringLiteral("Matin.Bnk"), QStringLiteral("Soir d'été.Bnk")};
    QString loaded;
    std::vector<std::string> done;

    SlotView slot(int index) const override { return views[static_cast<size_t>(index)]; }
    bool wouldAskForFile(int index) const override {
        return views[static_cast<size_t>(index)].state == SlotState::Empty;
    }
    void press(int index) override {
        SlotState& state = views[static_cast<size_t>(index)].state;
        if (state == SlotState::Ready || state == SlotState::Playing) {
            state = state == SlotState::Ready ? SlotState::Playing : SlotState::Ready;
        }
        done.push_back("press " + std::to_string(index));
    }
    // Ready, fading, then cut: the window's gestures as far as the states go.
    void fade(int index) override {
        SlotState& state = views[static_cast<size_t>(index)].state;
        state = state == SlotState::Playing  ? SlotState::Fading
                : state == SlotState::Fading ? SlotState::Ready
                                             : state;
        done.push_back("fade " + std::to_string(index));
    }
    void cue(int index) override {
        SlotState& state = views[static_cast<size_t>(index)].state;
        state = state == SlotState::Ready ? SlotState::Cue
                : state == SlotState::Cue ? SlotState::Ready
                                          : state;
        done.push_back("cue " + std::to_string(index));
    }
    void stopAll() override { done.push_back("stopall"); }
    QString notice(int index) const override {
        return views[static_cast<size_t>(index)].state == SlotState::Missing
                   ? QStringLiteral("Fichier introuvable : /srv/jingles/") +
                         views[static_cast<size_t>(index)].name + QStringLiteral(".wav")
                   : QString();
    }
    std::function<void()> toggled;
    void toggleLoop(int index) override {
        if (toggled) toggled();
        views[static_cast<size_t>(index)].loop = !views[static_cast<size_t>(index)].loop;
        done.push_back("loop " + std::to_string(index));
    }
    QStringList palettes() const override { return entries; }
    void loadPalette(const QString& entry) override {
        loaded = entry;
        done.push_back("palette " + entry.toStdString());
    }
    QString paletteName() const override { return loaded; }
    int counted = -1;
    int countdownSlot() const override { return counted; }
    int warnMs() const override { return 5000; }
};

TEST(RemoteControl, RequestsActAsTheOperatorsGesturesAndRefuseWhatTheyCannot) {
    FakePanel panel;
    RemoteControl remote(panel);
    panel.views[3] = {SlotState::Ready, QStringLiteral("Intro"), 5000, false};

    EXPECT_EQ(remote.press(3), std::nullopt);
    // An empty slot would open the file dialog: refused from afar, nothing done.
    EXPECT_EQ(remote.press(4), QStringLiteral("Touche vide : E"));
    EXPECT_EQ(remote.press(28), QStringLiteral("Touche inconnue : 28 (de 0 à 27)"));
    EXPECT_EQ(remote.press(-1), QStringLiteral("Touche inconnue : -1 (de 0 à 27)"));
    // A file gone is pressed (it may be back), and says why it stays silent.
    panel.views[5] = {SlotState::Missing, QStringLiteral("Perdu"), 0, false};
    EXPECT_EQ(remote.press(5),
              QStringLiteral("Touche F : Fichier introuvable : /srv/jingles/Perdu.wav"));
    EXPECT_EQ(remote.press(3), std::nullopt);  // stopped
    EXPECT_EQ(panel.done, (std::vector<std::string>{"press 3", "press 5", "press 3"}));

    // Fading and pre-listening keep to slots that hold a file, and a
    // fading or pre-listened slot counts as sounding, not as refused.
    panel.done.clear();
    remote.press(3);
    EXPECT_EQ(remote.fade(3), std::nullopt);
    EXPECT_EQ(stateName(panel.views[3].state), std::string("fondu"));
    EXPECT_EQ(remote.fade(3), std::nullopt);  // cut
    EXPECT_EQ(remote.cue(3), std::nullopt);
    EXPECT_EQ(stateName(panel.views[3].state), std::string("ecoute"));
    EXPECT_EQ(remote.cue(3), std::nullopt);
    EXPECT_EQ(remote.fade(4), QStringLiteral("Touche vide : E"));
    EXPECT_EQ(remote.cue(28), QStringLiteral("Touche inconnue : 28 (de 0 à 27)"));
    EXPECT_EQ(remote.cue(5),
              QStringLiteral("Touche F : Fichier introuvable : /srv/jingles/Perdu.wav"));
    remote.stopAll();
    EXPECT_EQ(panel.done, (std::vector<std::string>{"press 3", "fade 3", "fade 3", "cue 3", "cue 3",
                                                    "cue 5", "stopall"}));

    // Setting a loop is idempotent, as a lit pad needs; toggling toggles.
    panel.done.clear();
    EXPECT_EQ(remote.setLoop(3, true), std::nullopt);
    EXPECT_EQ(remote.setLoop(3, true), std::nullopt);
    EXPECT_TRUE(panel.views[3].loop);
    EXPECT_EQ(remote.toggleLoop(3), std::nullopt);
    EXPECT_FALSE(panel.views[3].loop);
    EXPECT_EQ(remote.setLoop(3, false), std::nullopt);
    EXPECT_EQ(remote.toggleLoop(40), QStringLiteral("Touche inconnue : 40 (de 0 à 27)"));
    EXPECT_EQ(panel.done, (std::vector<std::string>{"loop 3", "loop 3"}));

    // Palettes by name, with or without ".Bnk", letter case ignored.
    panel.done.clear();
    EXPECT_EQ(remote.loadPalette(QStringLiteral("matin")), std::nullopt);
    EXPECT_EQ(remote.loadPalette(QStringLiteral("SOIR D'ÉTÉ.bnk")), std::nullopt);
    EXPECT_EQ(remote.loadPalette(QStringLiteral("Nuit")),
              QStringLiteral("Palette inconnue : Nuit"));
    EXPECT_EQ(remote.loadPalette(QStringLiteral("Matin.Bnk.Bnk")),
              QStringLiteral("Palette inconnue : Matin.Bnk.Bnk"));
    EXPECT_EQ(panel.done,
              (std::vector<std::string>{"palette Matin.Bnk", "palette Soir d'été.Bnk"}));
}

TEST(RemoteControl, StateGoesOutWhenItChangesAndInFullWhenAsked) {
    FakePanel panel;
    RemoteControl remote(panel);
    EXPECT_EQ(remote.changedSlots().size(), 28u);  // nothing was sent yet
    EXPECT_TRUE(remote.changedSlots().empty());
    panel.views[0] = {SlotState::Playing, QStringLiteral("Jingle"), 2000, false};
    panel.views[27] = {SlotState::Missing, QStringLiteral("Perdu"), 0, true};
    auto changed = remote.changedSlots();
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed[0].first, 0);
    EXPECT_EQ(changed[1].first, 27);
    EXPECT_EQ(std::string(stateName(changed[1].second.state)), "absent");
    panel.views[0].remainingMs = 1980;  // a refresh tick while it plays
    changed = remote.changedSlots();
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].second.remainingMs, 1980);
    // With a step, the time goes out once it moved that much; any other change at once.
    panel.views[0].remainingMs = 1600;
    EXPECT_TRUE(remote.changedSlots(false, 500).empty());
    panel.views[0].remainingMs = 1470;
    EXPECT_EQ(remote.changedSlots(false, 500).size(), 1u);
    panel.views[0].loop = true;
    EXPECT_EQ(remote.changedSlots(false, 500).size(), 1u);
    EXPECT_EQ(remote.changedSlots(true).size(), 28u);  // a new subscriber

    EXPECT_EQ(remote.changedPalette(), QString());  // first look: none loaded
    EXPECT_EQ(remote.changedPalette(), std::nullopt);
    panel.loaded = QStringLiteral("Matin.Bnk");
    EXPECT_EQ(remote.changedPalette(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(remote.changedPalette(), std::nullopt);
    EXPECT_EQ(remote.changedPalette(true), QStringLiteral("Matin.Bnk"));
}

TEST(Subscribers, ALastingMinuteRenewedByAskingAgainAndABoundedList) {
    Subscribers subscribers;
    const Subscribers::Clock::time_point t0{};
    using R = Subscribers::Renewal;
    const Subscribers::Address a{0x0a000002, 9000};
    EXPECT_EQ(subscribers.renew(a, t0), R::New);
    EXPECT_EQ(subscribers.renew({0x0a000003, 9000}, t0 + 30s), R::New);
    EXPECT_EQ(subscribers.renew(a, t0 + 50s), R::Renewed);
    EXPECT_EQ(subscribers.current(t0 + 100s), std::vector<Subscribers::Address>{a});
    EXPECT_TRUE(subscribers.current(t0 + 110s).empty());
    // Gone, it is new again when it comes back: it gets the whole state.
    EXPECT_EQ(subscribers.renew(a, t0 + 120s), R::New);

    // A few ports a host, and a bound to the whole list.
    for (uint16_t port = 1; port < Subscribers::kMostPerHost; ++port) {
        EXPECT_EQ(subscribers.renew({a.host, port}, t0 + 120s), R::New);
    }
    EXPECT_EQ(subscribers.renew({a.host, 7}, t0 + 120s), R::RefusedForHost);
    for (uint32_t host = 1; subscribers.current(t0 + 120s).size() < Subscribers::kMost; ++host) {
        EXPECT_EQ(subscribers.renew({host, 1}, t0 + 120s), R::New);
    }
    EXPECT_EQ(subscribers.renew({0x0b000001, 1}, t0 + 120s), R::Refused);
    EXPECT_EQ(subscribers.renew({0x0b000001, 1}, t0 + 181s), R::New);  // room again

    // Full, a newcomer takes the place renewed longest ago, once it is stale.
    Subscribers full;
    for (uint32_t host = 1; host <= Subscribers::kMost; ++host) full.renew({host, 1}, t0);
    for (uint32_t host = 1; host <= Subscribers::kMost; ++host) {
        if (host != 30) full.renew({host, 1}, t0 + 10s);
    }
    EXPECT_EQ(full.renew({0x0b000001, 1}, t0 + 29s), R::Refused);
    EXPECT_EQ(full.renew({0x0b000001, 1}, t0 + 35s), R::New);
    const std::vector<Subscribers::Address> left = full.current(t0 + 35s);
    EXPECT_EQ(std::count(left.begin(), left.end(), Subscribers::Address{30, 1}), 0);
    EXPECT_EQ(full.renew({0x0b000002, 1}, t0 + 35s), R::Refused);  // the rest were renewed
}

// The OSC requests on a fake panel and clock, what goes out captured.
struct ServiceRig {
    FakePanel panel;
    RemoteControl control{panel};
    std::vector<std::pair<sockaddr_in, OscMessage>> sent;
    size_t bytes = 0;
    std::function<void(const std::vector<char>&)> relay;  // to another copy
    OscService::Clock::time_point at{};
    OscService service{control, panel,
                       [this](const sockaddr_in& to, const std::vector<char>& out) {
                           sent.emplace_back(to, *decodeOsc(out.data(), out.size()));
                           bytes += out.size();
                           if (relay) relay(out);
                       },
                       9100};
    ServiceRig() {
        service.now = [this] { return at; };
        service.thisMachine = [](const in_addr& a) { return ntohl(a.s_addr) == 0x7f000001; };
    }
    static sockaddr_in host(uint32_t address, uint16_t port = 5000) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(address);
        from.sin_port = htons(port);
        return from;
    }
    void request(uint32_t from, const std::string& path, const std::vector<OscArg>& args) {
        deliver(from, encodeOsc(path, args));
    }
    void deliver(uint32_t from, const std::vector<char>& packet) {
        if (auto incoming = readPacket(packet.data(), packet.size(), host(from))) {
            service.receive({*incoming});
        }
        service.carryOut(at);
    }
    // What the hub does each tenth of a second.
    void tick() {
        service.pace();
        service.publish(control.changedSlots(false, 500), control.changedPalette());
    }
    std::string lastError() const {
        return sent.empty() || sent.back().second.path != "/tambrel/error"
                   ? "(none)"
                   : std::get<std::string>(sent.back().second.args[0]);
    }
};

TEST(OscService, NeverTalksToItselfNorAnswersAnswersAndBoundsItsRefusals) {
    ServiceRig rig;
    constexpr uint32_t kHere = 0x7f000001, kDesk = 0xc0a80a1f, kOther = 0xc0a80a20;
    rig.request(kHere, "/tambrel/subscribe", {int32_t{9100}});
    EXPECT_EQ(rig.lastError(), "Abonnement refusé : le port 9100 est celui de Tambrel");
    EXPECT_EQ(rig.sent.size(), 1u);
    // What only Tambrel sends is not a request: no answer, however often it comes.
    for (const char* path : {"/tambrel/slot", "/tambrel/error", "/tambrel/etat/palette"}) {
        rig.request(kHere, path, {std::string("x")});
    }
    EXPECT_EQ(rig.sent.size(), 1u);
    rig.request(kHere, "/tambrel/palette", {std::string("Matin")});  // still a request
    EXPECT_EQ(rig.panel.loaded, QStringLiteral("Matin.Bnk"));
    rig.request(kHere, "/tambrel/stopall", {});
    rig.request(kHere, "/tambrel/stopall", {int32_t{1}});
    EXPECT_EQ(rig.lastError(), "Arguments attendus pour /tambrel/stopall : aucun (reçus : \"i\")");
    rig.request(kHere, "/tambrel/fade", {std::string("A")});
    EXPECT_EQ(rig.lastError(), "Arguments attendus pour /tambrel/fade : i (reçus : \"s\")");
    rig.panel.views[6] = {SlotState::Ready, QStringLiteral("Intro"), 4000, false};
    rig.request(kHere, "/tambrel/cue", {int32_t{6}});
    rig.request(kHere, "/tambrel/fade", {int32_t{6}});
    EXPECT_EQ(rig.panel.done,
              (std::vector<std::string>{"palette Matin.Bnk", "stopall", "cue 6", "fade 6"}));

    // Refusals: ten at once to a host, then five a second; others are answered.
    rig.sent.clear();
    for (int i = 0; i < 30; ++i) rig.request(kDesk, "/tambrel/press", {int32_t{40}});
    EXPECT_EQ(rig.sent.size(), 10u);
    rig.request(kOther, "/tambrel/press", {int32_t{40}});
    EXPECT_EQ(rig.sent.size(), 11u);
    rig.at += 1s;
    for (int i = 0; i < 30; ++i) rig.request(kDesk, "/tambrel/press", {int32_t{40}});
    EXPECT_EQ(rig.sent.size(), 16u);

    // A refusal is its request's size and 96 bytes at most, and repeats a
    // short, printable part of it.
    rig.at += 10s;
    const std::string noise = "/" + std::string(3000, 'x') + "\x01\x02";
    rig.request(kDesk, noise, {});
    EXPECT_EQ(rig.lastError(), "Adresse inconnue : /" + std::string(30, 'x') + "…");
    rig.request(kDesk, "/tambrel/palette", {std::string("\x1b[2J") + std::string(500, 'y')});
    EXPECT_EQ(rig.lastError().substr(0, 26), "Palette inconnue : ?[2Jyyy");
    rig.panel.views[2] = {SlotState::Missing, QString(200, u'z') + QStringLiteral("-Fin"), 0,
                          false};
    rig.request(kDesk, "/tambrel/press", {int32_t{2}});
    const std::string missing = rig.lastError();
    EXPECT_EQ(missing.substr(0, 33), "Touche C : Fichier introuvable : ");
    EXPECT_EQ(missing.substr(missing.size() - 8), "-Fin.wav");  // the name's end stays
    EXPECT_LE(errorMessage(QString::fromStdString(missing)).size(),
              encodeOsc("/tambrel/press", {int32_t{2}}).size() + kAnswerSlack);
}

TEST(OscService, SubscriptionsAreBoundedAndTheirFirstStatePaced) {
    ServiceRig rig;
    constexpr uint32_t kDesk = 0xc0a80a1f;
    rig.panel.views[1] = {SlotState::Ready, QStringLiteral("Intro"), 4000, false};
    // No port to send to: refused, taking no place and sent nothing.
    for (const int32_t port : {0, 65536}) {
        rig.request(kDesk, "/tambrel/subscribe", {port});
        EXPECT_EQ(rig.lastError(), "Port inconnu : " + std::to_string(port));
    }
    EXPECT_EQ(rig.sent.size(), 2u);
    rig.sent.clear();
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7000}});
    ASSERT_EQ(rig.sent.size(), size_t{OscService::kFirstStateLot});
    EXPECT_EQ(ntohs(rig.sent[0].first.sin_port), 7000);
    // A change waits behind the whole state; a slot not sent yet goes as it is.
    rig.panel.views[1].state = SlotState::Playing;
    rig.panel.views[20].state = SlotState::Ready;
    rig.service.publish({{1, rig.panel.views[1]}, {20, rig.panel.views[20]}}, std::nullopt);
    ASSERT_EQ(rig.sent.size(), 8u);
    for (int i = 0; i < 10; ++i) rig.service.pace();
    ASSERT_EQ(rig.sent.size(), 30u);  // the 28 slots, the palette, the one change
    EXPECT_EQ(std::get<std::string>(rig.sent[20].second.args[1]), "pret");  // slot 20, as it is
    EXPECT_EQ(rig.sent[28].second.path, "/tambrel/etat/palette");
    EXPECT_EQ(std::get<int32_t>(rig.sent[29].second.args[0]), 1);
    EXPECT_EQ(std::get<std::string>(rig.sent[29].second.args[1]), "joue");

    for (int32_t port = 7001; port < 7004; ++port) rig.request(kDesk, "/tambrel/subscribe", {port});
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7004}});
    EXPECT_EQ(rig.lastError(), "Trop d'abonnements pour cette machine (4 au plus)");
}

TEST(OscService, TwoCopiesSubscribedToEachOtherKeepTheirOwnPalettesAndSlots) {
    ServiceRig a;
    ServiceRig b;
    constexpr uint32_t kA = 0xc0a80a01, kB = 0xc0a80a02, kDesk = 0xc0a80a1f;
    a.relay = [&](const std::vector<char>& out) { b.deliver(kA, out); };
    b.relay = [&](const std::vector<char>& out) { a.deliver(kB, out); };
    for (ServiceRig* rig : {&a, &b}) {
        rig->panel.views[3] = {SlotState::Ready, QStringLiteral("Intro"), 4000, false};
    }
    a.request(kB, "/tambrel/subscribe", {int32_t{9100}});
    b.request(kA, "/tambrel/subscribe", {int32_t{9100}});
    a.request(kDesk, "/tambrel/palette", {std::string("Matin")});
    a.request(kDesk, "/tambrel/press", {int32_t{3}});
    a.request(kDesk, "/tambrel/loop", {int32_t{3}, int32_t{1}});
    b.request(kDesk, "/tambrel/palette", {std::string("Soir d'été")});
    for (int i = 0; i < 50; ++i) {
        a.at = b.at += 100ms;
        a.tick();
        b.tick();
    }
    EXPECT_EQ(a.panel.done, (std::vector<std::string>{"palette Matin.Bnk", "press 3", "loop 3"}));
    EXPECT_EQ(b.panel.done, (std::vector<std::string>{"palette Soir d'été.Bnk"}));
    // Each was told the other's state, and neither answered it.
    const auto told = [](const ServiceRig& rig, const std::string& path, const std::string& arg) {
        return std::count_if(rig.sent.begin(), rig.sent.end(), [&](const auto& out) {
            const auto* last = std::get_if<std::string>(&out.second.args.back());
            return out.second.path == path && last != nullptr && *last == arg;
        });
    };
    EXPECT_EQ(told(a, "/tambrel/etat/palette", "Matin.Bnk"), 1);
    EXPECT_EQ(told(b, "/tambrel/etat/palette", "Soir d'été.Bnk"), 1);
    for (const ServiceRig* rig : {&a, &b}) {
        EXPECT_FALSE(std::any_of(rig->sent.begin(), rig->sent.end(), [](const auto& out) {
            return out.second.path == "/tambrel/error";
        }));
    }
}

TEST(OscService, ASubscriberIsToldTheLatestStateWithinItsBytesASecondAndAPeriod) {
    ServiceRig rig;
    constexpr uint32_t kDesk = 0xc0a80a1f;
    for (int i = 0; i < kSlots; ++i) {
        rig.panel.views[static_cast<size_t>(i)] = {
            SlotState::Ready, QStringLiteral("Jingle %1").arg(i), 20000, false, 20000};
    }
    for (size_t i : {0u, 1u}) {  // two loops playing
        rig.panel.views[i] = {SlotState::Playing, QStringLiteral("Boucle"), 120000, true, 120000};
    }
    rig.control.changedSlots(true);  // as the hub starts
    rig.control.changedPalette(true);
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7000}});
    std::map<int32_t, OscMessage> desk;  // what the desk shows: each slot's last message
    std::string deskPalette;
    int32_t lag = 0;  // the most the desk's remaining time was behind
    size_t read = 0;
    const auto run = [&](std::chrono::milliseconds lasting, const std::function<void()>& each) {
        for (const auto end = rig.at + lasting; rig.at < end;) {
            rig.at += 100ms;
            for (size_t i : {0u, 1u}) rig.panel.views[i].remainingMs -= 100;
            if (each) each();
            rig.tick();
            for (; read < rig.sent.size(); ++read) {
                const OscMessage& m = rig.sent[read].second;
                if (m.path == "/tambrel/etat/slot") desk[std::get<int32_t>(m.args[0])] = m;
                if (m.path == "/tambrel/etat/palette")
                    deskPalette = std::get<std::string>(m.args[0]);
            }
            for (int32_t i : {0, 1}) {
                lag = std::max(lag, std::get<int32_t>(desk[i].args[3]) -
                                        rig.panel.views[static_cast<size_t>(i)].remainingMs);
            }
        }
    };
    const auto shows = [&](size_t i) {
        return std::get<std::string>(desk[static_cast<int32_t>(i)].args[1]) ==
                   stateName(rig.panel.views[i].state) &&
               std::get<std::string>(desk[static_cast<int32_t>(i)].args[2]) ==
                   rig.panel.views[i].name.toStdString();
    };
    // The loops' times go out in turn; a press goes at once, even once the
    // period's ticks are spent.
    run(20s, nullptr);
    EXPECT_LE(lag, 2500);
    for (const auto& [press, at] : {std::pair{5u, 0s}, std::pair{6u, 38s}}) {
        run(at, nullptr);
        rig.panel.views[press].state = SlotState::Playing;
        run(200ms, nullptr);
        EXPECT_TRUE(shows(press)) << press;
    }
    EXPECT_LE(rig.bytes, OscService::kStatePerPeriod);

    // Palettes loaded ten times a second: bytes a second, then the period's.
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7000}});
    int loads = 0;
    const auto load = [&] {
        ++loads;
        rig.panel.loaded = loads % 2 ? QStringLiteral("Matin.Bnk") : QStringLiteral("Soir.Bnk");
        for (size_t i = 2; i < kSlots; ++i) {
            rig.panel.views[i].name = QStringLiteral("Jingle %1").arg(loads + static_cast<int>(i));
        }
    };
    const size_t renewed = rig.bytes;
    run(5s, load);
    EXPECT_LE(rig.bytes - renewed, OscService::kStateBurst + 5 * OscService::kStateBytesPerSecond);
    run(15s, load);
    EXPECT_LE(rig.bytes - renewed, OscService::kStatePerPeriod);
    // Renewed, the desk soon shows every slot and the palette as they stand.
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7000}});
    run(10s, nullptr);
    for (size_t i = 0; i < kSlots; ++i) EXPECT_TRUE(shows(i)) << i;
    EXPECT_EQ(deskPalette, rig.panel.loaded.toStdString());
}

TEST(OscService, LoopbackAddressesAreOneHostAndLeaveRoomForTheStudio) {
    ServiceRig rig;
    for (uint32_t host = 0x7f000001; host <= 0x7f000010; ++host) {
        for (int32_t port = 7000; port < 7004; ++port) {
            rig.request(host, "/tambrel/subscribe", {port});
        }
    }
    EXPECT_EQ(rig.lastError(), "Trop d'abonnements pour cette machine (4 au plus)");
    constexpr uint32_t kDesk = 0xc0a80a1f;
    rig.request(kDesk, "/tambrel/subscribe", {int32_t{7000}});
    EXPECT_EQ(rig.lastError(), "(none)");
    EXPECT_EQ(ntohl(rig.sent.back().first.sin_addr.s_addr), kDesk);
}

TEST(OscService, AFloodIsCarriedOutASliceAtATimeAndOnlyTheLastPaletteLoad) {
    ServiceRig rig;
    rig.panel.views[0] = {SlotState::Ready, QStringLiteral("Intro"), 4000, false};
    std::deque<Incoming> flood;
    for (int i = 0; i < 600; ++i) {
        const std::vector<char> bytes =
            i % 3 == 0
                ? encodeOsc("/tambrel/palette", {std::string(i < 300 ? "Matin" : "Soir d'été")})
                : encodeOsc("/tambrel/loop", {int32_t{0}});
        flood.push_back(*readPacket(bytes.data(), bytes.size(), ServiceRig::host(0x7f000001)));
    }
    rig.service.receive(flood);
    // 255 loop switches wait, the rest is dropped; the newest palette load takes the older's place.
    EXPECT_EQ(rig.service.dropped(), 400u - 255u);
    // Each switch takes 1 ms here: a slice of 8 ms carries out 8 of them.
    rig.panel.toggled = [&] { rig.at += 1ms; };
    int slices = 1;
    while (rig.service.carryOut(rig.at + 8ms)) ++slices;
    EXPECT_EQ(slices, 32);
    EXPECT_EQ(rig.panel.done.size(), 256u);
    EXPECT_EQ(std::count(rig.panel.done.begin(), rig.panel.done.end(), "palette Matin.Bnk"), 0);
    EXPECT_EQ(rig.panel.done.back(), "palette Soir d'été.Bnk");
}

TEST(WebGate, WrongCodesAreSlowedDoublingAndTheRightOneClearsTheCount) {
    CodeGate gate(QStringLiteral("7351"));
    using V = CodeGate::Verdict;
    const CodeGate::Clock::time_point t0{};
    constexpr uint32_t kDesk = 0xc0a80a1f, kBooth = 0xc0a80a20;
    // Three free tries, then a wait that doubles from 2 s to 60 s at most.
    std::vector<int> waits;
    auto at = t0;
    for (int wrong = 0; wrong < 10; ++wrong) {
        const CodeGate::Answer answer = gate.check(kDesk, QStringLiteral("1234"), at);
        EXPECT_EQ(answer.verdict, V::Wrong);
        waits.push_back(answer.waitSeconds);
        at += std::chrono::seconds(answer.waitSeconds);
    }
    EXPECT_EQ(waits, (std::vector<int>{0, 0, 2, 4, 8, 16, 32, 60, 60, 60}));
    at -= 60s;  // back to the last wrong try
    // Within the wait even the right code is not compared; another host is not slowed.
    EXPECT_EQ(gate.check(kDesk, QStringLiteral("7351"), at + 59s).verdict, V::Wait);
    EXPECT_EQ(gate.check(kDesk, QStringLiteral("7351"), at + 59s).waitSeconds, 1);
    EXPECT_EQ(gate.check(kBooth, QStringLiteral("7351"), at).verdict, V::Right);
    EXPECT_EQ(gate.check(kDesk, QStringLiteral("7351"), at + 60s).verdict, V::Right);
    EXPECT_EQ(gate.check(kDesk, QStringLiteral("0"), at + 60s).waitSeconds, 0);  // count cleared
    // A code's prefix, a longer one, another case: wrong. No code set: nobody.
    EXPECT_EQ(gate.check(kBooth, QStringLiteral("735"), at).verdict, V::Wrong);
    EXPECT_EQ(gate.check(kBooth, QStringLiteral("73510"), at).verdict, V::Wrong);
    CodeGate none{QString()};
    EXPECT_EQ(none.check(kDesk, QString(), t0).verdict, V::Wrong);

    // A flood of hosts cannot grow the count: newcomers wait.
    for (uint32_t host = 1; host <= CodeGate::kMostHosts; ++host) gate.check(host, {}, at);
    EXPECT_EQ(gate.check(0x0b000001, QStringLiteral("7351"), at).verdict, V::Wait);
    EXPECT_EQ(gate.check(0x0b000001, QStringLiteral("7351"), at + 61s).verdict, V::Right);

    // A page's messages: 20 at once, then 10 a second.
    Pace pace;
    int allowed = 0;
    for (int i = 0; i < 50; ++i) allowed += pace.allows(t0) ? 1 : 0;
    EXPECT_EQ(allowed, 20);
    for (int i = 0; i < 50; ++i) allowed += pace.allows(t0 + 1s) ? 1 : 0;
    EXPECT_EQ(allowed, 30);
}

TEST(WebMessages, APagesMessagesAreReadOrIgnoredAndTheStateWritten) {
    using K = PageMessage::Kind;
    const auto kind = [](const char* json) -> std::string {
        const std::optional<PageMessage> read = readPageMessage(json);
        if (!read) return "-";
        return std::to_string(static_cast<int>(read->kind)) + ":" + std::to_string(read->slot) +
               ":" + read->text;
    };
    EXPECT_EQ(kind(R"({"appui":3})"), std::to_string(int(K::Press)) + ":3:");
    EXPECT_EQ(kind(R"({"boucle": 27 })"), std::to_string(int(K::Loop)) + ":27:");
    EXPECT_EQ(kind(R"({"appui":40})"), std::to_string(int(K::Press)) + ":40:");  // the core refuses
    EXPECT_EQ(kind(R"({"palette":"Soir d'été"})"),
              std::to_string(int(K::Palette)) + ":0:Soir d'été");
    EXPECT_EQ(kind(R"({"code":"7351"})"), std::to_string(int(K::Code)) + ":0:7351");
    for (const char* ignored :
         {"", "{", "[]", "null", "3", R"({"appui":"3"})", R"({"appui":1.5})", R"({"appui":1e12})",
          R"({"appui":true})", R"({"appui":0,"boucle":0})", R"({"palette":["a"]})", R"({})",
          R"({"sauver":"Matin"})", R"({"palette":"../../etc/passwd.Bnk"  )"}) {
        EXPECT_EQ(kind(ignored), "-") << ignored;
    }
    EXPECT_EQ(kind(("{\"palette\":\"" + std::string(129, 'x') + "\"}").c_str()), "-");
    EXPECT_EQ(kind(("{\"appui\":0}" + std::string(kLargestPageMessage, ' ')).c_str()), "-");

    const QJsonObject state =
        QJsonDocument::fromJson(stateText({{{2, {SlotState::Playing, "Fond", 1500, true, 3000}}},
                                           QStringLiteral("Matin.Bnk"),
                                           QStringList{QStringLiteral("Matin.Bnk")},
                                           {0x29dc95},
                                           2,
                                           5000}))
            .object();
    const QJsonObject slot = state[QStringLiteral("touches")].toArray().at(0).toObject();
    EXPECT_EQ(QJsonDocument(slot).toJson(QJsonDocument::Compact),
              R"({"boucle":true,"duree":3000,"etat":"joue","i":2,"nom":"Fond","reste":1500})");
    EXPECT_EQ(state[QStringLiteral("couleurs")].toArray().at(0).toString(),
              QStringLiteral("#29dc95"));
    EXPECT_EQ(state[QStringLiteral("palette")].toString(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(state[QStringLiteral("decompte")].toInt(), 2);
}

TEST(WebService, PagesRequestsGoThroughTheCoreAndRefusalsToTheirOwnPage) {
    FakePanel panel;
    RemoteControl control(panel);
    std::vector<std::tuple<uint64_t, QJsonObject, bool>> sent;
    WebService service(control, panel, [&](uint64_t page, const std::string& text, bool joins) {
        sent.emplace_back(page, QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(),
                          joins);
    });
    int pending = 0;
    service.publishPending = [&] { ++pending; };
    panel.views[0] = {SlotState::Ready, QStringLiteral("Intro"), 4000, false, 4000};
    const auto page = [](uint64_t id, PageMessage::Kind kind, int slot = 0, std::string name = {}) {
        return WebIncoming{id, {kind, slot, std::move(name)}};
    };
    using K = PageMessage::Kind;
    service.receive({page(7, K::Joined), page(7, K::Press, 0), page(8, K::Press, 1),
                     page(8, K::Palette, 0, "Matin"), page(7, K::Loop, 0),
                     page(8, K::Palette, 0, "Nuit"), page(7, K::Palette, 0, "soir d'été"),
                     page(7, K::Press, 28)});
    while (service.carryOut(WebService::Clock::time_point{})) {
    }
    EXPECT_EQ(pending, 1);
    ASSERT_EQ(sent.size(), 3u);
    const auto& [wholePage, whole, joins] = sent[0];
    EXPECT_EQ(wholePage, 7u);
    EXPECT_TRUE(joins);
    EXPECT_EQ(whole[QStringLiteral("touches")].toArray().size(), 28);
    EXPECT_EQ(whole[QStringLiteral("palettes")].toArray().size(), 2);
    EXPECT_EQ(std::get<0>(sent[1]), 8u);
    EXPECT_EQ(std::get<1>(sent[1])[QStringLiteral("erreur")].toString(),
              QStringLiteral("Touche vide : B"));
    EXPECT_EQ(std::get<1>(sent[2])[QStringLiteral("erreur")].toString(),
              QStringLiteral("Touche inconnue : 28 (de 0 à 27)"));
    // The newest palette load alone, after the press and the loop.
    EXPECT_EQ(panel.done,
              (std::vector<std::string>{"press 0", "loop 0", "palette Soir d'été.Bnk"}));

    // Changes go to every page that joined; nothing when nothing changed.
    sent.clear();
    service.publish({{0, panel.views[0]}}, QStringLiteral("Soir d'été.Bnk"));
    service.publish({}, std::nullopt);
    panel.counted = 3;  // the window's countdown follows another slot: said once
    service.publish({}, std::nullopt);
    service.publish({}, std::nullopt);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::get<1>(sent[1])[QStringLiteral("decompte")].toInt(), 3);
    EXPECT_EQ(std::get<1>(sent[1])[QStringLiteral("alerte_ms")].toInt(), 5000);
    EXPECT_EQ(std::get<0>(sent[0]), 0u);
    EXPECT_EQ(std::get<1>(sent[0])[QStringLiteral("palette")].toString(),
              QStringLiteral("Soir d'été.Bnk"));
}

TEST(MidiMap, NotesPressTheirSlotsAndPadsLightEachStateApart) {
    MidiMap map;
    EXPECT_EQ(map.slotOf(1, 36, 100), 0);
    EXPECT_EQ(map.slotOf(16, 63, 1), 27);
    EXPECT_EQ(map.slotOf(1, 64, 100), std::nullopt);
    EXPECT_EQ(map.slotOf(1, 35, 100), std::nullopt);
    EXPECT_EQ(map.slotOf(1, 40, 0), std::nullopt);  // a note-off by another name
    map.firstNote = 48;
    map.channel = 10;
    EXPECT_EQ(map.slotOf(10, 50, 64), 2);
    EXPECT_EQ(map.slotOf(1, 50, 64), std::nullopt);
    EXPECT_EQ(map.noteOf(27), 75);
    // The stop-all note, on the channel listened to, wins over a slot's.
    EXPECT_FALSE(map.stopsAll(10, 50, 64));  // none by default
    map.stopAllNote = 50;
    EXPECT_TRUE(map.stopsAll(10, 50, 64));
    EXPECT_FALSE(map.stopsAll(1, 50, 64));
    EXPECT_FALSE(map.stopsAll(10, 50, 0));

    // Every state a pad can show, each its own light.
    using enum SlotState;
    const auto light = [](SlotState state, bool loop) { return padVelocity({state, {}, 0, loop}); };
    const std::vector<int> lights{
        light(Empty, false),  light(Ready, false),   light(Ready, true),   light(Playing, false),
        light(Playing, true), light(Missing, false), light(Fading, false), light(Cue, false)};
    EXPECT_EQ(lights[0], 0);  // an empty pad stays dark
    EXPECT_EQ(std::set<int>(lights.begin(), lights.end()).size(), lights.size())
        << ::testing::PrintToString(lights);
}

TEST(MidiMap, PadsAreSentAColourOnlyWhenItChangesAndWholeToANewcomer) {
    using Note = PadLights::Note;
    MidiMap map;
    map.firstNote = 40;
    map.channel = 0;  // listening to any channel answers on the first
    PadLights lights(map);
    const SlotView ready{SlotState::Ready, "Intro", 5000, false};
    SlotView playing{SlotState::Playing, "Intro", 4000, false};

    EXPECT_EQ(lights.update({{0, ready}, {27, {}}}), (std::vector<Note>{{1, 40, 1}, {1, 67, 0}}));
    EXPECT_TRUE(lights.update({{0, ready}}).empty());
    EXPECT_EQ(lights.update({{0, playing}}), (std::vector<Note>{{1, 40, 3}}));
    playing.remainingMs = 3500;  // the time moves, the colour does not
    EXPECT_TRUE(lights.update({{0, playing}}).empty());
    playing.loop = true;
    EXPECT_EQ(lights.update({{0, playing}}), (std::vector<Note>{{1, 40, 5}}));
    EXPECT_EQ(lights.update({{0, playing}, {27, {}}}, true),
              (std::vector<Note>{{1, 40, 5}, {1, 67, 0}}));
    EXPECT_TRUE(lights.update({{-1, ready}, {28, ready}}).empty());

    map.channel = 10;
    PadLights onTen(map);
    EXPECT_EQ(onTen.update({{1, ready}}), (std::vector<Note>{{10, 41, 1}}));

    // A pad that echoes its lights: each light's echo, soon after it, is no press.
    LightEchoes echoes;
    const LightEchoes::Clock::time_point t0{};
    echoes.sent({1, 40, 3}, t0);
    echoes.sent({1, 41, 1}, t0);
    EXPECT_TRUE(echoes.isEcho({1, 40, 3}, t0 + 2ms));
    EXPECT_FALSE(echoes.isEcho({1, 40, 3}, t0 + 3ms));    // a light echoes once
    EXPECT_FALSE(echoes.isEcho({1, 41, 100}, t0 + 3ms));  // a real press's velocity
    EXPECT_FALSE(echoes.isEcho({2, 41, 1}, t0 + 3ms));
    EXPECT_FALSE(echoes.isEcho({1, 41, 1}, t0 + LightEchoes::kWithin));
}

TEST(RemoteSettings, KeysSetWhatTheySayAndLinesNotUnderstoodAreNamed) {
    std::vector<QString> bad;
    RemoteSettings read = readRemoteSettings(
        "# studio B\r\nOSC = oui\r\nadresse=0.0.0.0\r\nport=9200\r\nport=70000\r\n"
        "adresse=studio\r\nvolume=3\r\nosc=peut-etre\r\nnote=40\r\ncanal=17\r\n"
        "note_tout_arreter=130\r\nnote_tout_arreter=35\r\n",
        bad);
    EXPECT_TRUE(read.osc);
    EXPECT_EQ(read.address, "0.0.0.0");
    EXPECT_EQ(read.port, 9200);  // the line out of range is ignored
    EXPECT_EQ(read.firstNote, 40);
    EXPECT_EQ(read.channel, 0);
    EXPECT_EQ(read.stopAllNote, 35);
    ASSERT_EQ(bad.size(), 6u);
    EXPECT_EQ(bad[5], QStringLiteral("ligne 11 : note_tout_arreter=130"));
    EXPECT_EQ(bad[0], QStringLiteral("ligne 5 : port=70000"));
    EXPECT_EQ(bad[4], QStringLiteral("ligne 10 : canal=17"));
    EXPECT_EQ(confineWithoutAllowList(read),
              QStringLiteral("adresse=0.0.0.0 sans liste autorises=, écoute sur 127.0.0.1 "
                             "seulement (cette machine)"));
    EXPECT_EQ(read.address, "127.0.0.1");

    // Who may speak: hosts and networks, lines adding up; a bad entry is named, the rest used.
    bad.clear();
    read = readRemoteSettings(
        "adresse=0.0.0.0\nautorises=192.168.10.7/24, 10.0.0.300 10.1.1.9\n"
        "autorises = studio,172.16.0.0/12 ,10.2.0.0/33, 10.3.0.0/+8 fd00::5/64\n",
        bad);
    EXPECT_EQ(bad, (std::vector<QString>{QStringLiteral("ligne 2, autorises : 10.0.0.300"),
                                         QStringLiteral("ligne 3, autorises : studio"),
                                         QStringLiteral("ligne 3, autorises : 10.2.0.0/33"),
                                         QStringLiteral("ligne 3, autorises : 10.3.0.0/+8"),
                                         QStringLiteral("ligne 3, autorises : fd00::5/64")}));
    EXPECT_EQ(confineWithoutAllowList(read), std::nullopt);
    // A stranger's packets are dropped on the reading thread, unanswered.
    OscServer server("127.0.0.1", 0, read.allowed, nullptr);
    ASSERT_TRUE(server.problem().isEmpty());
    const std::vector<char> press = encodeOsc("/tambrel/press", {int32_t{0}});
    std::string taken;
    for (const uint32_t host : {0xc0a80ac8u, 0xc0a80b01u, 0x0a010109u, 0x0a01010au, 0xac1f0001u,
                                0xac200001u, 0x7f000001u, 0x0a030001u}) {
        server.handle(press.data(), press.size(), ServiceRig::host(host));
        taken += server.take().empty() ? '-' : '+';
    }
    EXPECT_EQ(taken, "+-+-+-+-");
    // A network of no bits is every host, whatever address it is written from.
    for (const char* anyone : {"0.0.0.0/0", "10.9.8.7/0"}) {
        AllowList list;
        ASSERT_TRUE(list.add(QLatin1String(anyone)));
        for (const uint32_t host : {0x01020304u, 0xc0a80b01u, 0xfffffffeu}) {
            EXPECT_TRUE(list.allows(in_addr{htonl(host)})) << anyone << " " << host;
        }
    }
    // No file: listening on this machine only, at the usual port.
    bad.clear();
    read = readRemoteSettings(QByteArray(), bad);
    EXPECT_EQ(read.address, "127.0.0.1");
    EXPECT_EQ(read.port, 9100);
    EXPECT_EQ(read.webPort, 9180);
    EXPECT_TRUE(read.web && read.code.isEmpty());
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(read.stopAllNote, -1);
    EXPECT_FALSE(readRemoteSettings("osc=non\n", bad).osc);
    read = readRemoteSettings("web=non\nweb_port=9190\ncode = 73 51\nweb_port=0\n", bad);
    EXPECT_FALSE(read.web);
    EXPECT_EQ(read.webPort, 9190);
    EXPECT_EQ(read.code, QStringLiteral("73 51"));
    EXPECT_EQ(bad, std::vector<QString>{QStringLiteral("ligne 4 : web_port=0")});
}

}  // namespace
}  // namespace tambrel::remote
