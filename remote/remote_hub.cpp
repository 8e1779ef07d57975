#include "remote/remote_hub.h"

#include <arpa/inet.h>

#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "app/palette_window.h"
#include "platform/file_system.h"
#include "remote/remote_settings.h"

namespace tambrel::remote {
namespace {
constexpr int kLookMs = 100;

std::string key(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ':' + std::to_string(ntohs(address.sin_port));
}
}  // namespace

std::unique_ptr<RemoteHub> startRemote(app::F1a& window, const QString& programFolder) {
    const QString path = programFolder + QStringLiteral("Telecommande.ini");
    QByteArray bytes;
    QString failure;
    if (QFileInfo(path).exists() && !platform::readFileBytes(path, bytes, failure)) {
        std::fprintf(stderr, "Tambrel: %s: %s\n", qPrintable(path), qPrintable(failure));
    }
    std::vector<QString> bad;
    const RemoteSettings settings = readRemoteSettings(bytes, bad);
    for (const QString& line : bad) {
        std::fprintf(stderr, "Tambrel: %s, %s (ignorée)\n", qPrintable(path), qPrintable(line));
    }
    auto hub = std::make_unique<RemoteHub>(window, settings, app::F1a::kRefreshMs);
    if (!hub->problem().isEmpty()) {
        std::fprintf(stderr, "Tambrel: télécommande : %s\n", qPrintable(hub->problem()));
    } else {
        std::fprintf(stderr, "Tambrel: télécommande OSC sur %s:%d\n", settings.address.c_str(),
                     hub->oscPort());
    }
    return hub;
}

RemoteHub::RemoteHub(app::F1a& window, const RemoteSettings& settings, int refreshMs)
    : panel_(window), control_(panel_), refreshMs_(refreshMs) {
    control_.changedSlots(true);  // what a subscriber gets first is sent whole anyway
    control_.changedPalette(true);
    QObject::connect(&tick_, &QTimer::timeout, &context_, [this] { publish(); });
    tick_.start(kLookMs);
    if (!settings.osc) {
        problem_ = QStringLiteral("OSC désactivé");
        return;
    }
    // Requests cross to the window's thread by a queued call.
    server_ = std::make_unique<OscServer>(settings.address, settings.port, [this] {
        QMetaObject::invokeMethod(
            &context_, [this] { drain(); }, Qt::QueuedConnection);
    });
    if (!server_->problem().isEmpty()) {
        problem_ = QStringLiteral("OSC impossible sur %1:%2 : %3")
                       .arg(QString::fromStdString(settings.address))
                       .arg(settings.port)
                       .arg(server_->problem());
        server_.reset();
    }
}

RemoteHub::~RemoteHub() {
    server_.reset();  // no wake-up after this
}

QString RemoteHub::problem() const {
    return problem_;
}

void RemoteHub::drain() {
    // A handler that runs the event loop (none should) must not drain twice.
    if (server_ == nullptr || draining_) return;
    draining_ = true;
    for (const OscServer::Incoming& incoming : server_->take()) {
        std::optional<QString> refused;
        if (const auto* why = std::get_if<QString>(&incoming.request)) {
            refused = *why;
        } else {
            const Request& request = std::get<Request>(incoming.request);
            switch (request.kind) {
                case Request::Kind::Press:
                    refused = control_.press(request.slot);
                    break;
                case Request::Kind::ToggleLoop:
                    refused = control_.toggleLoop(request.slot);
                    break;
                case Request::Kind::SetLoop:
                    refused = control_.setLoop(request.slot, request.on);
                    break;
                case Request::Kind::Palette:
                    refused = control_.loadPalette(request.name);
                    break;
                case Request::Kind::Subscribe: {
                    sockaddr_in to = incoming.from;
                    to.sin_port = htons(static_cast<uint16_t>(request.port));
                    const std::string name = key(to);
                    const auto renewal = subscribers_.renew(name, Subscribers::Clock::now());
                    if (renewal == Subscribers::Renewal::Refused) {
                        refused = QStringLiteral("Trop d'abonnés");
                    } else if (renewal == Subscribers::Renewal::New) {
                        // What the others have not been told yet goes to
                        // them first: the newcomer gets it in the whole state.
                        publish();
                        addresses_[name] = to;
                        sendAll(to);
                    }
                    break;
                }
            }
        }
        if (refused) server_->send(incoming.from, errorMessage(*refused));
    }
    draining_ = false;
    publish();
}

void RemoteHub::sendAll(const sockaddr_in& to) {
    for (int i = 0; i < kSlots; ++i) {
        const SlotView view = panel_.slot(i);
        server_->send(
            to, slotMessage(i, stateName(view.state), view.name, view.remainingMs, view.loop));
    }
    server_->send(to, paletteMessage(panel_.paletteName()));
}

void RemoteHub::publish() {
    const auto changed = control_.changedSlots(false, refreshMs_);
    const std::optional<QString> palette = control_.changedPalette();
    if (server_ == nullptr) return;
    const std::vector<std::string> current = subscribers_.current(Subscribers::Clock::now());
    // The addresses of those gone are forgotten with them.
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        it = std::find(current.begin(), current.end(), it->first) == current.end()
                 ? addresses_.erase(it)
                 : std::next(it);
    }
    if (addresses_.empty() || (changed.empty() && !palette)) return;
    std::vector<std::vector<char>> messages;
    messages.reserve(changed.size() + 1);
    for (const auto& [index, view] : changed) {
        messages.push_back(
            slotMessage(index, stateName(view.state), view.name, view.remainingMs, view.loop));
    }
    if (palette) messages.push_back(paletteMessage(*palette));
    for (const auto& [name, to] : addresses_) {
        for (const auto& message : messages) server_->send(to, message);
    }
}

}  // namespace tambrel::remote
