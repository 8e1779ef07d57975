// The web page's server on the real window, a WebSocket client on this
// machine: the page's own files and nothing else, requests as the operator's
// gestures, state pushed, bad messages ignored, and from another machine
// the allow-list and the code.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QWebSocket>

#include "journal/air_log.h"
#include "journal/journal_writer.h"
#include "platform/file_limit.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"

namespace tambrel::remote {
namespace {

using testing::turnEventsUntil;
using namespace std::chrono_literals;

// The origin of the page a browser got from `url`'s server.
QString pageOrigin(const QString& url) {
    const QUrl at(url);
    return QStringLiteral("http://%1:%2").arg(at.host()).arg(at.port());
}

// A page: its WebSocket, and every message it was sent. As the real page,
// it speaks first, with no code; from the page served at its URL's host
// unless told another origin (an empty one is not sent).
struct Page {
    QWebSocket socket;
    std::vector<QJsonObject> got;
    explicit Page(const QString& url, const std::optional<QString>& origin = std::nullopt)
        : socket(origin.value_or(pageOrigin(url))) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            got.push_back(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        QObject::connect(&socket, &QWebSocket::connected, [this] { send(R"({"code":""})"); });
        socket.setProxy(QNetworkProxy::NoProxy);  // nothing asked of the system's settings
        socket.open(QUrl(url));
    }
    void send(const char* json) { socket.sendTextMessage(QString::fromUtf8(json)); }
    // The first message from `from` on holding `key`, the window's events turning meanwhile.
    std::optional<QJsonObject> next(const char* key, size_t& from) {
        std::optional<QJsonObject> found;
        turnEventsUntil([&] {
            for (; from < got.size() && !found; ++from) {
                if (got[from].contains(QLatin1String(key))) found = got[from];
            }
            return found.has_value();
        });
        return found;
    }
    // Whether a message from `from` on tells the slot is in that state.
    bool told(int slot, const char* state, size_t& from) {
        while (std::optional<QJsonObject> message = next("touches", from)) {
            for (const QJsonValue touche : message->value(QStringLiteral("touches")).toArray()) {
                if (touche[QStringLiteral("i")].toInt() == slot &&
                    touche[QStringLiteral("etat")].toString() == QLatin1String(state)) {
                    return true;
                }
            }
        }
        return false;
    }
};

struct WebRig : app::WindowRig {
    std::unique_ptr<RemoteHub> hub;
    explicit WebRig(RemoteSettings settings = {}) {
        start();
        settings.port = 0;  // any free ports: tests run side by side
        settings.webPort = 0;
        settings.midi = false;
        hub = std::make_unique<RemoteHub>(std::make_unique<WindowPanel>(*window), settings, 500);
    }
    QString url(const char* host = "127.0.0.1") const {
        return QStringLiteral("ws://%1:%2/ws").arg(QLatin1String(host)).arg(hub->webPort());
    }
};

// The status of `request` sent as it is written, and the whole answer.
int answerStatus(const QString& host, int port, const QByteArray& request,
                 QByteArray* body = nullptr) {
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(host, static_cast<quint16>(port));
    socket.write(request);
    QByteArray answer;
    // Whole once the body is as long as the headers said (a handshake has none).
    turnEventsUntil([&] {
        answer += socket.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const qsizetype length = answer.indexOf("Content-Length: ");
        return end > 0 &&
               (length < 0 || answer.size() - end - 4 >=
                                  answer.mid(length + 16, 10).split('\r').value(0).toInt());
    });
    if (body != nullptr) *body = answer;
    return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
}

// The status of a GET of `target` (no client tidies its path), the Host
// header naming the host and port asked unless told another.
int httpStatus(const QString& host, int port, const char* target, QByteArray* body = nullptr,
               const QByteArray& hostHeader = {}) {
    const QByteArray named =
        hostHeader.isEmpty() ? host.toLatin1() + ':' + QByteArray::number(port) : hostHeader;
    return answerStatus(host, port,
                        QByteArray("GET ") + target + " HTTP/1.1\r\nHost: " + named +
                            "\r\nConnection: close\r\n\r\n",
                        body);
}

// Whether the server closes a connection that sends `request`, and `drip`
// more every 50 ms, without a byte of answer.
bool closedUnanswered(const QString& host, int port, const QByteArray& request = {},
                      const QByteArray& drip = {}) {
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(host, static_cast<quint16>(port));
    socket.write(request);
    QElapsedTimer dripped;
    dripped.start();
    QByteArray answer;
    const bool closed = turnEventsUntil([&] {
        answer += socket.readAll();
        if (!drip.isEmpty() && dripped.elapsed() >= 50) {
            socket.write(drip);
            dripped.restart();
        }
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    return closed && answer.isEmpty();
}

// A WebSocket's handshake to /ws as a browser sends it, from `origin` (none if empty).
QByteArray handshake(const QByteArray& host, const QByteArray& origin) {
    return "GET /ws HTTP/1.1\r\nHost: " + host +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           (origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n") + "\r\n";
}

TEST(Web, APagePressesLoopsAndLoadsAsTheOperatorAndIsToldTheState) {
    WebRig rig;
    ASSERT_TRUE(rig.hub->webProblem().isEmpty()) << rig.hub->webProblem().toStdString();
    app::F1a& w = *rig.window;
    rig.assign(0, rig.wav("Intro.wav", 2000));
    rig.put("Soir.Bnk", app::WindowRig::palette({rig.path("Intro.wav")}));
    const size_t asked = rig.dialogs.asked.size();

    // The page's own files, and nothing else.
    const QString here = QStringLiteral("127.0.0.1");
    const int port = rig.hub->webPort();
    QByteArray body;
    EXPECT_EQ(httpStatus(here, port, "/", &body), 200);
    EXPECT_TRUE(body.contains("page.js"));
    EXPECT_EQ(httpStatus(here, port, "/page.js"), 200);
    for (const char* other : {"/Soir.Bnk", "/../Soir.Bnk", "/%2e%2e/Soir.Bnk", "/web/page.js"}) {
        EXPECT_EQ(httpStatus(here, port, other), 404) << other;
    }

    Page page(rig.url());
    size_t at = 0;
    const std::optional<QJsonObject> whole = page.next("touches", at);
    ASSERT_TRUE(whole);
    const QJsonArray touches = whole->value(QStringLiteral("touches")).toArray();
    ASSERT_EQ(touches.size(), 28);
    EXPECT_EQ(touches[0][QStringLiteral("nom")].toString(), QStringLiteral("Intro"));
    EXPECT_EQ(touches[0][QStringLiteral("etat")].toString(), QStringLiteral("pret"));
    EXPECT_EQ(touches[0][QStringLiteral("duree")].toInt(), 2000);
    EXPECT_EQ(whole->value(QStringLiteral("couleurs")).toArray().at(0).toString(),
              QStringLiteral("#29dc95"));
    EXPECT_TRUE(
        whole->value(QStringLiteral("palettes")).toArray().contains(QStringLiteral("Soir.Bnk")));

    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
    EXPECT_TRUE(page.told(0, "joue", at));
    page.send(R"({"appui":1})");  // empty: no file dialog from a page
    std::optional<QJsonObject> refused = page.next("erreur", at);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)[QStringLiteral("erreur")].toString(), QStringLiteral("Touche vide : B"));
    EXPECT_EQ(rig.dialogs.asked.size(), asked);

    // Malformed, oversized, unknown or binary: ignored, and the page served on.
    for (const char* bad : {"{", "[0]", R"({"appui":"0"})", R"({"appui":1.5})",
                            R"({"appui":0,"boucle":0})", R"({"sauver":"Matin"})", "null"}) {
        page.send(bad);
    }
    page.socket.sendTextMessage(QStringLiteral("{\"palette\":\"%1\"}").arg(QString(600, u'x')));
    page.socket.sendBinaryMessage(QByteArray(R"({"appui":0})"));
    page.send(R"({"boucle":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.loops() == "A"; }));
    EXPECT_EQ(rig.onAir(), "A");

    // The operator's own press is pushed to the page; a page press that stops
    // a slot is logged as a remote one.
    w.Touche_Click(0);
    EXPECT_TRUE(page.told(0, "pret", at));
    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
    rig.render(4410);
    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir().empty(); }));
    rig.audio.pump();
    ASSERT_TRUE(w.airLog()->writer().settle());
    const QDir journal(rig.path("Journal"));
    QFile day(journal.filePath(journal.entryList({QStringLiteral("*-*.csv")}).value(0)));
    ASSERT_TRUE(day.open(QIODevice::ReadOnly));
    const QByteArray lines = day.readAll();
    EXPECT_TRUE(lines.contains(QString::fromUtf8(";A;;").toUtf8()) &&
                lines.contains(QString::fromUtf8(";télécommande;").toUtf8()))
        << lines.toStdString();

    page.send(R"({"palette":"soir"})");
    const std::optional<QJsonObject> loaded = page.next("palette", at);
    ASSERT_TRUE(loaded);
    EXPECT_EQ((*loaded)[QStringLiteral("palette")].toString(), QStringLiteral("Soir.Bnk"));

    // 32 pages at most: the next one is closed, saying why.
    std::vector<std::unique_ptr<Page>> more;
    for (size_t n = 1; n < WebServer::kMostPages; ++n)
        more.push_back(std::make_unique<Page>(rig.url()));
    EXPECT_TRUE(turnEventsUntil([&] {
        return std::all_of(more.begin(), more.end(),
                           [](const auto& other) { return !other->got.empty(); });
    }));
    Page extra(rig.url());
    EXPECT_TRUE(
        turnEventsUntil([&] { return extra.socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(extra.socket.closeReason(), QStringLiteral("Trop de pages ouvertes"));
    EXPECT_TRUE(extra.got.empty());
}

// A page's messages are paced as they arrive: after a quiet spell 20 at
// once, then 10 a second; the rest never reaches the window. The bounds
// come from the times taken here, so a slow machine only widens them.
TEST(Web, APagesMessagesReachTheWindowTwentyAtOnceThenTenASecond) {
    WebRig rig;
    Page page(rig.url());
    size_t at = 0;
    ASSERT_TRUE(page.next("touches", at));
    QElapsedTimer clock;
    clock.start();
    std::vector<double> t;  // each burst's start and end, in seconds
    // 100 presses of the empty slot B: how many the window refused (each is
    // answered), counted once every one is refused or dropped.
    const auto burst = [&] {
        const uint64_t dropped = rig.hub->web()->dropped();
        const size_t from = page.got.size();
        t.push_back(clock.elapsed() / 1000.0);
        for (int i = 0; i < 100; ++i) page.send(R"({"appui":1})");
        double refused = 0;
        EXPECT_TRUE(turnEventsUntil(
            [&] {
                refused = std::count_if(page.got.begin() + from, page.got.end(), [](auto& m) {
                    return m.contains(QLatin1String("erreur"));
                });
                return refused + (rig.hub->web()->dropped() - dropped) >= 100;
            },
            10s));
        t.push_back(clock.elapsed() / 1000.0);
        return refused;
    };
    turnEventsUntil([] { return false; }, 1500ms);  // the page's first message long made up
    const double first = burst();
    EXPECT_GE(first, Pace::kBurst);
    EXPECT_LE(first, Pace::kBurst + 1 + (t[1] - t[0]) * Pace::kPerSecond);
    turnEventsUntil([] { return false; }, 500ms);
    const double second = burst();
    EXPECT_GE(second, (t[2] - t[1]) * Pace::kPerSecond - 1);
    EXPECT_LE(second, 2 + (t[3] - t[0]) * Pace::kPerSecond);
}

// A page of another site, or one at a name this machine does not know it by
// (a name rebound to it), reaches nothing: 403, nothing read, nothing pressed.
TEST(Web, APageFromAnotherSiteOrAForeignNameIsRefused) {
    std::vector<QString> bad;
    RemoteSettings settings = readRemoteSettings("noms = Studio.example, regie\nnoms=x_y\n", bad);
    EXPECT_EQ(settings.names,
              QStringList({QStringLiteral("studio.example"), QStringLiteral("regie")}));
    EXPECT_EQ(bad, std::vector<QString>{QStringLiteral("ligne 2, noms : x_y")});
    WebRig rig(settings);
    rig.assign(0, rig.wav("Intro.wav", 2000));
    const QString here = QStringLiteral("127.0.0.1");
    const int port = rig.hub->webPort();
    const QByteArray us = "127.0.0.1:" + QByteArray::number(port);
    const QByteArray rebound = "evil.example:" + QByteArray::number(port);
    EXPECT_EQ(httpStatus(here, port, "/", nullptr, rebound), 403);
    EXPECT_EQ(httpStatus(here, port, "/", nullptr, "127.0.0.1:1"), 403);
    EXPECT_EQ(httpStatus(here, port, "/", nullptr, "studio.example:" + QByteArray::number(port)),
              200);
    EXPECT_EQ(answerStatus(here, port, handshake(rebound, "http://" + rebound)), 403);
    EXPECT_EQ(answerStatus(here, port, handshake(us, "http://" + rebound)), 403);
    EXPECT_EQ(answerStatus(here, port, handshake(us, "http://regie:" + QByteArray::number(port))),
              101);
    for (const QString& origin : {QStringLiteral("http://evil.example"), QString()}) {
        Page foreign(rig.url(), origin);
        QObject::connect(&foreign.socket, &QWebSocket::connected,
                         [&] { foreign.send(R"({"appui":0})"); });
        EXPECT_TRUE(turnEventsUntil(
            [&] { return foreign.socket.state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_TRUE(foreign.got.empty()) << origin.toStdString();
    }
    EXPECT_EQ(rig.onAir(), "");
    // The page's own origin, by name too.
    Page page(rig.url("localhost"));
    size_t at = 0;
    EXPECT_TRUE(page.next("touches", at));
    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
}

// This machine's own network address, one the list need not name.
QString networkAddress() {
    QString here;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            here = address.toString();
        }
    }
    return here;
}

// From another machine: this machine's own network address stands for one.
TEST(Web, AnotherMachineNeedsTheAllowListAndTheCodeAndGuessingIsSlowed) {
    const QString here = networkAddress();
    if (here.isEmpty()) GTEST_SKIP() << "no network address but the loopback";
    RemoteSettings settings;
    settings.address = "0.0.0.0";
    settings.code = QStringLiteral("7351");
    ASSERT_TRUE(settings.allowed.add(QStringLiteral("10.99.0.0/16")));
    {
        WebRig stranger(settings);
        // Closed as it comes, before it says anything.
        EXPECT_TRUE(closedUnanswered(here, stranger.hub->webPort()));
        Page page(stranger.url(here.toLatin1().constData()));
        EXPECT_TRUE(turnEventsUntil(
            [&] { return page.socket.state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_TRUE(page.got.empty());
    }
    ASSERT_TRUE(settings.allowed.add(here));
    WebRig rig(settings);
    rig.assign(0, rig.wav("Intro.wav", 2000));
    Page page(rig.url(here.toLatin1().constData()));
    size_t at = 0;
    std::optional<QJsonObject> told = page.next("code", at);
    ASSERT_TRUE(told);
    EXPECT_EQ((*told)[QStringLiteral("code")].toString(), QStringLiteral("demande"));
    page.send(R"({"appui":0})");  // not yet: ignored
    for (int wrong = 1; wrong <= 3; ++wrong) {
        page.send(R"({"code":"0000"})");
        told = page.next("code", at);
        ASSERT_TRUE(told);
        EXPECT_EQ((*told)[QStringLiteral("code")].toString(), QStringLiteral("refuse"));
    }
    EXPECT_EQ((*told)[QStringLiteral("secondes")].toInt(), 2);
    page.send(R"({"code":"7351"})");  // within the wait: not even compared
    told = page.next("code", at);
    ASSERT_TRUE(told);
    EXPECT_EQ((*told)[QStringLiteral("code")].toString(), QStringLiteral("attendre"));
    EXPECT_EQ(rig.onAir(), "");
    EXPECT_FALSE(page.next("touches", at));

    turnEventsUntil([] { return false; }, 200ms);  // with the wait above, past 2 s
    page.send(R"({"code":"7351"})");
    told = page.next("code", at);
    ASSERT_TRUE(told);
    EXPECT_EQ((*told)[QStringLiteral("code")].toString(), QStringLiteral("accepte"));
    EXPECT_TRUE(page.next("touches", at));
    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
}

}  // namespace
}  // namespace tambrel::remote

namespace tambrel::remote {
namespace {

// Connections that never become a page given the code are counted apart,
// each host's and all, and past a cap the oldest goes: a flood from this
// machine never keeps the tablet out, nor a page given the code.
TEST(Web, AFloodOfConnectionsNeverTakesTheTabletsPlace) {
    const QString here = networkAddress();
    if (here.isEmpty()) GTEST_SKIP() << "no network address but the loopback";
    RemoteSettings settings;
    settings.address = "0.0.0.0";
    settings.code = QStringLiteral("7351");
    ASSERT_TRUE(settings.allowed.add(here));
    settings.webLimits.mostPerHost = WebServer::kMostPages + 1;
    settings.webLimits.mostConnections = WebServer::kMostPages + 3;
    WebRig rig(settings);
    rig.assign(0, rig.wav("Intro.wav", 2000));
    const QString loopback = QStringLiteral("127.0.0.1");
    const int port = rig.hub->webPort();

    // A header past its bound is not kept.
    EXPECT_TRUE(
        closedUnanswered(loopback, port, "GET / HTTP/1.1\r\nX-Long: " + QByteArray(20000, 'a')));

    std::vector<std::unique_ptr<QWebSocket>> silent;  // they never give a code
    for (size_t n = 0; n <= WebServer::kMostPages; ++n) {
        silent.push_back(std::make_unique<QWebSocket>(pageOrigin(rig.url())));
        silent.back()->setProxy(QNetworkProxy::NoProxy);
        silent.back()->open(QUrl(rig.url()));
    }
    const auto open = [](const auto& socket) {
        return socket->state() == QAbstractSocket::ConnectedState;
    };
    ASSERT_TRUE(turnEventsUntil([&] { return std::all_of(silent.begin(), silent.end(), open); }));
    Page tablet(rig.url(here.toLatin1().constData()));
    size_t at = 0;
    ASSERT_TRUE(tablet.next("code", at));
    tablet.send(R"({"code":"7351"})");
    EXPECT_TRUE(tablet.next("touches", at));
    tablet.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));

    // One more of this host's: its oldest goes.
    QTcpSocket extra;
    extra.setProxy(QNetworkProxy::NoProxy);
    extra.connectToHost(loopback, static_cast<quint16>(port));
    EXPECT_TRUE(turnEventsUntil([&] { return !open(silent[0]); }));
    EXPECT_TRUE(open(silent[1]));
    // Past the cap of all: the oldest not given the code, whoever's; the tablet stays.
    std::vector<std::unique_ptr<QTcpSocket>> more;
    for (int n = 0; n < 3; ++n) {
        more.push_back(std::make_unique<QTcpSocket>());
        more.back()->setProxy(QNetworkProxy::NoProxy);
        more.back()->connectToHost(here, static_cast<quint16>(port));
        ASSERT_TRUE(turnEventsUntil([&] { return open(more.back()); }));
    }
    EXPECT_TRUE(turnEventsUntil([&] { return !open(silent[1]); }));
    EXPECT_TRUE(open(silent[2]) && extra.state() == QAbstractSocket::ConnectedState);
    tablet.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir().empty(); }));
    EXPECT_EQ(tablet.socket.state(), QAbstractSocket::ConnectedState);
}

// Every loopback address is this machine: one host's share between them.
TEST(Web, TheLoopbackAddressesShareOneHostsPlaces) {
    RemoteSettings settings;
    settings.address = "0.0.0.0";
    settings.webLimits.mostPerHost = 2;
    WebRig rig(settings);
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->setProxy(QNetworkProxy::NoProxy);
        ASSERT_TRUE(idle.back()->bind(QHostAddress(QString::fromLatin1(address))));
        idle.back()->connectToHost(QStringLiteral("127.0.0.1"),
                                   static_cast<quint16>(rig.hub->webPort()));
        ASSERT_TRUE(turnEventsUntil(
            [&] { return idle.back()->state() == QAbstractSocket::ConnectedState; }));
    }
    EXPECT_TRUE(
        turnEventsUntil([&] { return idle[0]->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(idle[2]->state(), QAbstractSocket::ConnectedState);
}

// A connection idle, or that drips a request, is closed unanswered within
// its time; a WebSocket that never gives its code too, not a page given it.
TEST(Web, ConnectionsThatOverstayAreClosed) {
    RemoteSettings settings;
    settings.webLimits.requestTime = 300ms;
    settings.webLimits.codeTime = 600ms;
    WebRig rig(settings);
    rig.assign(0, rig.wav("Intro.wav", 2000));
    const QString here = QStringLiteral("127.0.0.1");
    const int port = rig.hub->webPort();
    EXPECT_TRUE(closedUnanswered(here, port));
    EXPECT_TRUE(closedUnanswered(here, port, "GET / HTTP/1.1\r\n", "X-Slow: 1\r\n"));

    QWebSocket silent(pageOrigin(rig.url()));
    silent.setProxy(QNetworkProxy::NoProxy);
    silent.open(QUrl(rig.url()));
    Page page(rig.url());
    size_t at = 0;
    ASSERT_TRUE(page.next("touches", at));
    EXPECT_TRUE(
        turnEventsUntil([&] { return silent.state() == QAbstractSocket::UnconnectedState; }));
    page.send(R"({"appui":0})");
    EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
}

// A page from this machine that joins (its code in the URL) and then reads
// nothing, its system's buffer as small as the system allows.
struct DeafPage {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit DeafPage(int port) {
        const int smallest = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        const QByteArray us = "127.0.0.1:" + QByteArray::number(port);
        const QByteArray request = handshake(us, "http://" + us).replace("/ws", "/ws?code=");
        EXPECT_EQ(::write(fd, request.constData(), request.size()), request.size());
    }
    ~DeafPage() { ::close(fd); }
    DeafPage(const DeafPage&) = delete;
    DeafPage& operator=(const DeafPage&) = delete;
};

// A page that stops reading is closed, once what waits for it, counting the
// system's queue, passes the bound, or once it has read nothing for a while;
// one that reads is served on.
TEST(Web, APageThatStopsReadingIsClosed) {
    RemoteSettings settings;
    settings.webLimits.mostUnsent = 12 * 1024;
    settings.webLimits.unreadTime = std::chrono::minutes(1);
    RemoteSettings slow;
    slow.webLimits.unreadTime = 300ms;
    for (const RemoteSettings& limits : {settings, slow}) {
        WebRig rig(limits);
        // The whole state, twice what the deaf page's buffer holds.
        const QString named = rig.wav(std::string(230, 'n') + ".wav", 100);
        for (int16_t slot = 0; slot < kSlots; ++slot) rig.assign(slot, named);
        Page page(rig.url());
        size_t at = 0;
        ASSERT_TRUE(page.next("touches", at));
        const WebServer& server = *rig.hub->web();
        DeafPage deaf(rig.hub->webPort());
        EXPECT_TRUE(turnEventsUntil([&] { return server.joined() == 2; }));
        // Then every slot played and stopped, each change sent to both.
        for (const char* state : {"joue", "pret"}) {
            for (int16_t slot = 0; slot < kSlots; ++slot) rig.window->Touche_Click(slot);
            EXPECT_TRUE(page.told(kSlots - 1, state, at));
        }
        EXPECT_TRUE(turnEventsUntil([&] { return server.joined() == 1; }));
        EXPECT_EQ(page.socket.state(), QAbstractSocket::ConnectedState);
        page.send(R"({"appui":0})");
        EXPECT_TRUE(turnEventsUntil([&] { return rig.onAir() == "A"; }));
    }
}

// The soft file limit is raised to the hard one at start; handles running
// short all the same, the web port takes none of the reserve left for the
// window and the audio.
TEST(Web, TheWebPortLeavesTheFileReserveAlone) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_max, 512);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_TRUE(platform::raiseFileLimit());
    rlimit raised{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);

    WebRig rig;
    const QString here = QStringLiteral("127.0.0.1");
    const int port = rig.hub->webPort();
    const int next = ::dup(0);  // the lowest free handle
    ::close(next);
    low.rlim_cur = static_cast<rlim_t>(next) + platform::kFileReserve / 2;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_TRUE(closedUnanswered(here, port));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(httpStatus(here, port, "/"), 200);
}

}  // namespace
}  // namespace tambrel::remote
