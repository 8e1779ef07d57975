#include "remote/web_server.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractHttpServer>
#include <QFile>
#include <QHostInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>
#include <algorithm>
#include <chrono>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "platform/file_limit.h"
#include "remote/queued_wake.h"
#include "remote/web_gate.h"

namespace tambrel::remote {

struct WebServer::Shared {
    struct Outgoing {
        uint64_t page = 0;
        std::string text;
        bool joins = false;
    };
    std::mutex mutex;
    std::deque<WebIncoming> in;
    std::deque<Outgoing> out;
    QueuedWake* outWake = nullptr;  // the server thread's, while it runs
    bool stopping = false;
    std::function<void()> wake;
    std::atomic<size_t> joined{0};
    std::atomic<uint64_t> dropped{0};

    void push(WebIncoming incoming) {
        bool first = false;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (in.size() >= kMostWaiting) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            first = in.empty();
            in.push_back(std::move(incoming));
        }
        if (first && wake) wake();
    }
};

namespace {
using Clock = std::chrono::steady_clock;
constexpr qint64 kLargestFrame = 4096;  // bigger ones close the page; up to it, ignored

std::optional<uint32_t> ipv4(const QHostAddress& address) {
    bool ok = false;
    const uint32_t host = address.toIPv4Address(&ok);
    return ok ? std::optional<uint32_t>(host) : std::nullopt;
}

// Every loopback address is this machine: counted as one host, so that a
// process here cannot take a share per address.
uint32_t hostOf(uint32_t address) {
    return isLoopback(in_addr{htonl(address)}) ? INADDR_LOOPBACK : address;
}

// The web port's listening socket. A host the list does not name is closed
// before a byte is read, and so is any connection once handles run short
// (the file limit's reserve is the window's and the audio's); connections are counted, all and each
// host's, well under the file limit, and past a cap the oldest not given the code is closed: a
// flood of strangers never takes a page's place. A request must come whole within its time and
// bound, and a WebSocket must be given the code within its time; a page that lets data pile up
// unread is closed.
class Door : public QTcpServer {
  public:
    Door(const AllowList& allowed, const WebLimits& limits, QObject* parent)
        : QTcpServer(parent), allowed_(allowed), limits_(limits) {
        const auto shortest = std::min({limits.requestTime, limits.codeTime, limits.unreadTime});
        tick_.setInterval(std::clamp(shortest / 4, std::chrono::milliseconds(10),
                                     std::chrono::milliseconds(500)));
        connect(&tick_, &QTimer::timeout, this, [this] { sweep(true); });
        tick_.start();
    }

    // A whole request answered: the next must come as quickly.
    void answered(QTcpSocket* socket) {
        if (Entry* entry = find(socket)) {
            entry->received = 0;
            entry->deadline = Clock::now() + limits_.requestTime;
        }
    }
    // Handed to the WebSocket server: now the code must come in time.
    void upgraded(QTcpSocket* socket) {
        if (Entry* entry = find(socket)) {
            entry->stage = Stage::Page;
            entry->deadline = Clock::now() + limits_.codeTime;
            entry->read = Clock::now();
        }
    }
    // Given the code, or from this machine: kept, counted apart.
    void admitted(const QWebSocket& page) {
        for (Entry& entry : entries_) {
            if (entry.stage == Stage::Page && entry.port == page.peerPort() &&
                ipv4(page.peerAddress()) == entry.host) {
                entry.stage = Stage::Admitted;
            }
        }
    }
    // What overstayed or went away, and pages with more than their bound
    // waiting; at each tick, those that read nothing since the last while
    // data waits for them.
    void sweep(bool tick) {
        const Clock::time_point now = Clock::now();
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            QTcpSocket* socket = entry->socket.data();
            if (socket == nullptr || socket->state() == QAbstractSocket::UnconnectedState) {
                entry = entries_.erase(entry);
                continue;
            }
            bool close = entry->stage != Stage::Admitted && now >= entry->deadline;
            if (entry->stage != Stage::Request) {
                const qint64 unsent = socket->bytesToWrite() + queued(*socket);
                if (tick) {
                    if (unsent == 0 || unsent < entry->unsent) entry->read = now;
                    entry->unsent = unsent;
                }
                close = close || unsent > limits_.mostUnsent ||
                        (unsent > 0 && now - entry->read >= limits_.unreadTime);
            }
            if (close) {
                entry = entries_.erase(entry);
                socket->abort();  // a page's own socket is told, and goes
                continue;
            }
            ++entry;
        }
    }

  protected:
    void incomingConnection(qintptr handle) override {
        const int fd = static_cast<int>(handle);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            peer.sin_family != AF_INET || !allowed_.allows(peer.sin_addr) ||
            platform::inFileReserve(fd) || !makeRoom(ntohl(peer.sin_addr.s_addr))) {
            ::close(fd);
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            ::close(fd);
            return;
        }
        // Before the server's own: it sees each part of a request first.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { received(socket); });
        entries_.push_back({socket, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port),
                            Stage::Request, Clock::now() + limits_.requestTime});
        addPendingConnection(socket);
    }

  private:
    enum class Stage { Request, Page, Admitted };
    struct Entry {
        QPointer<QTcpSocket> socket;
        uint32_t host = 0;
        quint16 port = 0;
        Stage stage = Stage::Request;
        Clock::time_point deadline{};  // before it is admitted
        qint64 received = 0;           // of the request under way
        qint64 unsent = 0;             // at the last tick
        Clock::time_point read{};      // when it last read, or had nothing waiting
    };

    // Sent to the page but not taken by it yet, in the system's queue.
    static qint64 queued(const QTcpSocket& socket) {
        int bytes = 0;
        const auto fd = static_cast<int>(socket.socketDescriptor());
        return fd >= 0 && ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : 0;
    }

    Entry* find(const QTcpSocket* socket) {
        for (Entry& entry : entries_) {
            if (entry.socket == socket) return &entry;
        }
        return nullptr;
    }
    void received(QTcpSocket* socket) {
        Entry* entry = find(socket);
        if (entry == nullptr || entry->stage != Stage::Request) return;
        entry->received += socket->bytesAvailable();
        if (entry->received > limits_.largestRequest) {
            // After the server's own slots have seen this part: it holds it.
            entry->deadline = Clock::now();
            QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
        }
    }
    // Room for one more of `host`'s not given the code: past its host's
    // share that host's oldest is closed, past the cap of all the oldest.
    bool makeRoom(uint32_t address) {
        const uint32_t host = hostOf(address);
        sweep(false);
        const auto closeOldest = [this](std::optional<uint32_t> of) {
            for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
                if (entry->stage == Stage::Admitted || (of && hostOf(entry->host) != *of)) continue;
                QTcpSocket* socket = entry->socket.data();
                entries_.erase(entry);
                socket->abort();
                return true;
            }
            return false;
        };
        size_t all = 0;
        size_t own = 0;
        for (const Entry& entry : entries_) {
            if (entry.stage == Stage::Admitted) continue;
            ++all;
            if (hostOf(entry.host) == host) ++own;
        }
        if (own >= limits_.mostPerHost) return closeOldest(host);
        return all < limits_.mostConnections || closeOldest(std::nullopt);
    }

    const AllowList allowed_;
    const WebLimits limits_;
    std::list<Entry> entries_;  // oldest first
    QTimer tick_;
};

// The names this machine answers to in Host and Origin: its loopback, its
// addresses and host name as they are now, and those the settings list.
QStringList ownNames(const QStringList& listed) {
    QStringList names{QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            names.push_back(address.toString());
    }
    names.push_back(QHostInfo::localHostName().toLower());
    names += listed;
    names.removeDuplicates();
    return names;
}

// "name:port": one of `names` and this server's port, as a browser writes
// it (the port always, as it is not 80).
bool namesUs(const QStringList& names, int port, const QByteArray& hostPort) {
    const qsizetype colon = hostPort.lastIndexOf(':');
    const QByteArray digits = hostPort.mid(colon + 1);
    if (colon <= 0 || digits.isEmpty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.toInt() != port) {
        return false;
    }
    return names.contains(QString::fromLatin1(hostPort.left(colon)).toLower());
}

// The page's own files, read once from the resources.
struct File {
    QByteArray type;
    QByteArray bytes;
};
std::map<QString, File> pageFiles() {
    std::map<QString, File> files;
    const auto add = [&](const QString& path, const char* name, const char* type) {
        QFile file(QStringLiteral(":/tambrel/web/") + QLatin1String(name));
        if (file.open(QIODevice::ReadOnly)) files[path] = {type, file.readAll()};
    };
    add(QStringLiteral("/"), "index.html", "text/html; charset=utf-8");
    add(QStringLiteral("/page.css"), "page.css", "text/css; charset=utf-8");
    add(QStringLiteral("/page.js"), "page.js", "text/javascript; charset=utf-8");
    return files;
}

class Endpoint : public QAbstractHttpServer {
  public:
    Endpoint(WebServer::Shared& shared, const RemoteSettings& settings)
        : shared_(shared),
          gate_(settings.code),
          files_(pageFiles()),
          listedNames_(settings.names),
          names_(ownNames(listedNames_)),
          namesRead_(Clock::now()) {
        connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] { accept(); });
    }
    ~Endpoint() override {
        for (auto& [id, page] : pages_) page.socket->disconnect(this);
    }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // What the window's thread left to send.
    void flush();
    void listensOn(Door* door) {
        door_ = door;
        port_ = door->serverPort();
    }

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    // Only a WebSocket refused comes here: every other request is answered.
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        makeResponder(request, socket).write(QHttpServerResponder::StatusCode::Forbidden);
    }

  private:
    struct Page {
        std::unique_ptr<QWebSocket> socket;
        uint32_t host = 0;
        bool admitted = false;
        bool joined = false;
        Pace pace;
    };
    void accept();
    void received(uint64_t id, const QString& text);
    void tryCode(uint64_t id, Page& page, const QString& given);
    void admit(uint64_t id, Page& page);
    void gone(uint64_t id);
    bool ours(const QHttpServerRequest& request, bool upgrade);

    WebServer::Shared& shared_;
    CodeGate gate_;
    const std::map<QString, File> files_;
    std::map<uint64_t, Page> pages_;
    uint64_t lastId_ = 0;
    const QStringList listedNames_;
    QStringList names_;
    Clock::time_point namesRead_;
    Door* door_ = nullptr;
    int port_ = 0;
    size_t admitted_ = 0;  // pages given the code; the others are the door's to count
};

// Whether the request names this machine, and a WebSocket comes from the
// page it serves: a page of another site, or one at a name rebound to this
// machine, must not reach the slots through the operator's browser.
bool Endpoint::ours(const QHttpServerRequest& request, bool upgrade) {
    const auto check = [&] {
        const QByteArray origin = request.value("origin");
        return namesUs(names_, port_, request.value("host")) &&
               (!upgrade ||
                (origin.startsWith("http://") && namesUs(names_, port_, origin.mid(7))));
    };
    if (check()) return true;
    // An address the machine took since: read again, not more than every few seconds.
    const Clock::time_point now = Clock::now();
    if (now - namesRead_ < std::chrono::seconds(5)) return false;
    namesRead_ = now;
    names_ = ownNames(listedNames_);
    return check();
}

bool Endpoint::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    // The WebSocket's handshake is the server's own to answer, after this;
    // one refused is answered by missingHandler.
    const bool upgrade = request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
    if (upgrade) {
        if (!ours(request, true)) return false;
        door_->upgraded(socket);
        return true;
    }
    door_->answered(socket);
    QHttpServerResponder responder = makeResponder(request, socket);
    using Status = QHttpServerResponder::StatusCode;
    if (!ours(request, false)) {
        responder.write(Status::Forbidden);
        return true;
    }
    const auto file = files_.find(request.url().path());
    if (request.method() != QHttpServerRequest::Method::Get || file == files_.end()) {
        responder.write(Status::NotFound);
        return true;
    }
    responder.write(file->second.bytes, {{"Content-Type", file->second.type},
                                         {"Cache-Control", "no-store"},
                                         {"X-Content-Type-Options", "nosniff"},
                                         {"Content-Security-Policy",
                                          "default-src 'self'; connect-src 'self' ws: wss:"}});
    return true;
}

void Endpoint::accept() {
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        const std::optional<uint32_t> host = ipv4(socket->peerAddress());
        if (!host) {
            socket->abort();
            continue;
        }
        socket->setMaxAllowedIncomingFrameSize(kLargestFrame);
        socket->setMaxAllowedIncomingMessageSize(kLargestFrame);
        const uint64_t id = ++lastId_;
        QWebSocket* raw = socket.get();
        connect(raw, &QWebSocket::textMessageReceived, this,
                [this, id](const QString& text) { received(id, text); });
        connect(raw, &QWebSocket::disconnected, this, [this, id] { gone(id); });
        Page& page = pages_[id];
        page.socket = std::move(socket);
        page.host = *host;
        // A page speaks first (its code, or none), then is answered: a page
        // sent to at once could miss its first message behind the handshake.
        const QUrlQuery query(raw->requestUrl());
        if (query.hasQueryItem(QStringLiteral("code"))) {
            tryCode(id, page, query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded));
        }
    }
}

void Endpoint::received(uint64_t id, const QString& text) {
    const auto found = pages_.find(id);
    if (found == pages_.end()) return;
    Page& page = found->second;
    if (!page.pace.allows(Clock::now())) {
        shared_.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::optional<PageMessage> message = readPageMessage(text.toUtf8());
    if (!message) return;
    if (!page.admitted) {
        if (message->kind == PageMessage::Kind::Code) {
            tryCode(id, page, QString::fromStdString(message->text));
        }
        return;
    }
    if (message->kind == PageMessage::Kind::Code) return;
    shared_.push({id, std::move(*message)});
}

void Endpoint::tryCode(uint64_t id, Page& page, const QString& given) {
    if (isLoopback(in_addr{htonl(page.host)})) {
        admit(id, page);  // this machine's pages need no code
        return;
    }
    if (given.isEmpty()) {  // none kept yet: not a try
        page.socket->sendTextMessage(QString::fromUtf8(codeText("demande")));
        return;
    }
    const CodeGate::Answer answer = gate_.check(page.host, given, Clock::now());
    switch (answer.verdict) {
        case CodeGate::Verdict::Right:
            page.socket->sendTextMessage(QString::fromUtf8(codeText("accepte")));
            admit(id, page);
            break;
        case CodeGate::Verdict::Wrong:
            page.socket->sendTextMessage(QString::fromUtf8(codeText("refuse", answer.waitSeconds)));
            break;
        case CodeGate::Verdict::Wait:
            page.socket->sendTextMessage(
                QString::fromUtf8(codeText("attendre", answer.waitSeconds)));
            break;
    }
}

void Endpoint::admit(uint64_t id, Page& page) {
    // Counted once given the code: pages that never give it cannot keep the
    // tablet out; the door closes them.
    if (admitted_ >= WebServer::kMostPages) {
        page.socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                           QStringLiteral("Trop de pages ouvertes"));
        return;
    }
    ++admitted_;
    door_->admitted(*page.socket);
    page.admitted = true;
    shared_.push({id, {PageMessage::Kind::Joined, 0, {}}});
}

void Endpoint::gone(uint64_t id) {
    const auto found = pages_.find(id);
    if (found == pages_.end()) return;
    if (found->second.joined) shared_.joined.fetch_sub(1);
    if (found->second.admitted) --admitted_;
    found->second.socket->disconnect(this);
    found->second.socket.release()->deleteLater();  // it is in its own signal
    pages_.erase(found);
}

void Endpoint::flush() {
    door_->sweep(false);  // a page past its bound is closed before it is sent more
    std::deque<WebServer::Shared::Outgoing> out;
    {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        out.swap(shared_.out);
    }
    for (const WebServer::Shared::Outgoing& message : out) {
        const QString text = QString::fromStdString(message.text);
        if (message.page != 0) {
            const auto found = pages_.find(message.page);
            if (found == pages_.end()) continue;
            if (message.joins && !std::exchange(found->second.joined, true)) {
                shared_.joined.fetch_add(1);
            }
            found->second.socket->sendTextMessage(text);
            continue;
        }
        for (auto& [id, page] : pages_) {
            if (page.joined) page.socket->sendTextMessage(text);
        }
    }
}
}  // namespace

class WebServer::Loop : public QThread {
  public:
    struct Started {
        int port = 0;
        QString problem;
    };
    Loop(std::shared_ptr<Shared> shared, const QHostAddress& address, RemoteSettings settings)
        : shared_(std::move(shared)), address_(address), settings_(std::move(settings)) {}
    // The thread is asked to end through its own wake-up, and ends its
    // loop itself; Qt's quit and wait between threads are not seen by
    // checkers of thread safety, the wake-up and this lock are.
    ~Loop() override {
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stopping = true;
            if (shared_->outWake != nullptr) shared_->outWake->ring();
        }
        wait();
        const std::lock_guard<std::mutex> ended(running_);
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    std::promise<Started> started;

  protected:
    void run() override {
        const std::lock_guard<std::mutex> running(running_);
        serve();
    }

  private:
    void serve() {
        Endpoint endpoint(*shared_, settings_);
        QueuedWake outWake([this, &endpoint] {
            endpoint.flush();
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->stopping) quit();
        });
        auto* listening = new Door(settings_.allowed, settings_.webLimits, &endpoint);
        if (!listening->listen(address_, static_cast<quint16>(settings_.webPort))) {
            started.set_value({0, listening->errorString()});
            return;
        }
        endpoint.listensOn(listening);
        endpoint.bind(listening);
        bool stopping = false;
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->outWake = &outWake;
            stopping = shared_->stopping;  // asked before it could be woken
        }
        started.set_value({listening->serverPort(), {}});
        if (!stopping) exec();
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->outWake = nullptr;
    }

    std::mutex running_;  // held by the thread while it runs
    std::shared_ptr<Shared> shared_;
    QHostAddress address_;
    RemoteSettings settings_;
};

WebServer::WebServer(const RemoteSettings& settings, std::function<void()> wake)
    : shared_(std::make_shared<Shared>()) {
    shared_->wake = std::move(wake);
    QHostAddress host;
    if (!host.setAddress(QString::fromStdString(settings.address))) {
        problem_ =
            QStringLiteral("adresse illisible : ") + QString::fromStdString(settings.address);
        return;
    }
    // Qt says a line on standard error for each WebSocket refused: a flood
    // of them would be a flood of lines. QT_LOGGING_RULES still shows them.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
    loop_ = std::make_unique<Loop>(shared_, host, settings);
    std::future<Loop::Started> started = loop_->started.get_future();
    loop_->start();
    // Binding takes a moment, once, at start.
    if (started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        problem_ = QStringLiteral("le serveur ne démarre pas");
        return;
    }
    const Loop::Started result = started.get();
    port_ = result.port;
    problem_ = result.problem;
}

WebServer::~WebServer() {
    loop_.reset();
}

std::deque<WebIncoming> WebServer::take() {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    std::deque<WebIncoming> taken;
    taken.swap(shared_->in);
    return taken;
}

void WebServer::send(uint64_t page, std::string text, bool joins) {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->outWake == nullptr) return;
    shared_->out.push_back({page, std::move(text), joins});
    shared_->outWake->ring();
}

size_t WebServer::joined() const {
    return shared_->joined.load();
}

uint64_t WebServer::dropped() const {
    return shared_->dropped.load(std::memory_order_relaxed);
}

}  // namespace tambrel::remote
