#include "remote/web_server.h"

#include <arpa/inet.h>

#include <QAbstractHttpServer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QThread>
#include <QUrlQuery>
#include <QWebSocket>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <vector>

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

bool allows(const AllowList& allowed, std::optional<uint32_t> host) {
    in_addr address{};
    if (host) address.s_addr = htonl(*host);
    return host && allowed.allows(address);
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
    Endpoint(WebServer::Shared& shared, const AllowList& allowed, const QString& code)
        : shared_(shared), allowed_(allowed), gate_(code), files_(pageFiles()) {
        connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] { accept(); });
    }
    ~Endpoint() override {
        for (auto& [id, page] : pages_) page.socket->disconnect(this);
    }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // What the window's thread left to send.
    void flush();

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
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

    WebServer::Shared& shared_;
    const AllowList allowed_;
    CodeGate gate_;
    const std::map<QString, File> files_;
    std::map<uint64_t, Page> pages_;
    uint64_t lastId_ = 0;
};

bool Endpoint::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    // The WebSocket's handshake is the server's own to answer, after this.
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) return true;
    QHttpServerResponder responder = makeResponder(request, socket);
    using Status = QHttpServerResponder::StatusCode;
    if (!allows(allowed_, ipv4(request.remoteAddress()))) {
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
        if (!allows(allowed_, host)) {
            socket->abort();
            continue;
        }
        if (pages_.size() >= WebServer::kMostPages) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("Trop de pages ouvertes"));
            socket.release()->deleteLater();
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
    page.admitted = true;
    shared_.push({id, {PageMessage::Kind::Joined, 0, {}}});
}

void Endpoint::gone(uint64_t id) {
    const auto found = pages_.find(id);
    if (found == pages_.end()) return;
    if (found->second.joined) shared_.joined.fetch_sub(1);
    found->second.socket->disconnect(this);
    found->second.socket.release()->deleteLater();  // it is in its own signal
    pages_.erase(found);
}

void Endpoint::flush() {
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
    std::vector<uint64_t> stalled;
    for (const auto& [id, page] : pages_) {
        if (page.socket->bytesToWrite() > WebServer::kMostUnsent) stalled.push_back(id);
    }
    for (const uint64_t id : stalled) {
        QWebSocket* socket = pages_[id].socket.get();
        gone(id);
        socket->abort();
    }
}
}  // namespace

class WebServer::Loop : public QThread {
  public:
    struct Started {
        int port = 0;
        QString problem;
    };
    Loop(std::shared_ptr<Shared> shared, const QHostAddress& address, int port, AllowList allowed,
         QString code)
        : shared_(std::move(shared)),
          address_(address),
          port_(port),
          allowed_(std::move(allowed)),
          code_(std::move(code)) {}
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
        Endpoint endpoint(*shared_, allowed_, code_);
        QueuedWake outWake([this, &endpoint] {
            endpoint.flush();
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->stopping) quit();
        });
        auto* listening = new QTcpServer(&endpoint);
        if (!listening->listen(address_, static_cast<quint16>(port_))) {
            started.set_value({0, listening->errorString()});
            return;
        }
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
    int port_;
    AllowList allowed_;
    QString code_;
};

WebServer::WebServer(const std::string& address, int port, const AllowList& allowed,
                     const QString& code, std::function<void()> wake)
    : shared_(std::make_shared<Shared>()) {
    shared_->wake = std::move(wake);
    QHostAddress host;
    if (!host.setAddress(QString::fromStdString(address))) {
        problem_ = QStringLiteral("adresse illisible : ") + QString::fromStdString(address);
        return;
    }
    loop_ = std::make_unique<Loop>(shared_, host, port, allowed, code);
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
