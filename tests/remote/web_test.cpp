// The web page's server on the real window, a WebSocket client on this
// machine: the page's own files and nothing else, requests as the operator's
// gestures, state pushed, bad messages ignored, and from another machine
// the allow-list and the code.

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QWebSocket>

#include "journal/air_log.h"
#include "journal/journal_writer.h"
#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"

namespace tambrel::remote {
namespace {

using testing::turnEventsUntil;
using namespace std::chrono_literals;

// A page: its WebSocket, and every message it was sent. As the real page,
// it speaks first, with no code.
struct Page {
    QWebSocket socket;
    std::vector<QJsonObject> got;
    explicit Page(const QString& url) {
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

// The status of a GET of `target`, asked as it is written (no client
// tidies its path), and the answer's body.
int httpStatus(const QString& host, int port, const char* target, QByteArray* body = nullptr) {
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(host, static_cast<quint16>(port));
    socket.write(QByteArray("GET ") + target +
                 " HTTP/1.1\r\nHost: tambrel\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    // Whole once the body is as long as the headers said.
    turnEventsUntil([&] {
        answer += socket.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const qsizetype length = answer.indexOf("Content-Length: ");
        return end > 0 && length > 0 &&
               answer.size() - end - 4 >= answer.mid(length + 16, 10).split('\r').value(0).toInt();
    });
    if (body != nullptr) *body = answer;
    return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
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

// From another machine: this machine's own network address stands for one.
TEST(Web, AnotherMachineNeedsTheAllowListAndTheCodeAndGuessingIsSlowed) {
    QString here;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            here = address.toString();
        }
    }
    if (here.isEmpty()) GTEST_SKIP() << "no network address but the loopback";
    RemoteSettings settings;
    settings.address = "0.0.0.0";
    settings.code = QStringLiteral("7351");
    ASSERT_TRUE(settings.allowed.add(QStringLiteral("10.99.0.0/16")));
    {
        WebRig stranger(settings);
        EXPECT_EQ(httpStatus(here, stranger.hub->webPort(), "/"), 403);
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
