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
    if (!hub->midiProblem().isEmpty()) {
        std::fprintf(stderr, "Tambrel: télécommande : %s\n", qPrintable(hub->midiProblem()));
    } else {
        std::fprintf(
            stderr, "Tambrel: télécommande MIDI, client %d, ports %d:%d (entrée) et %d:%d\n",
            hub->sequencer()->client(), hub->sequencer()->client(), hub->sequencer()->inputPort(),
            hub->sequencer()->client(), hub->sequencer()->outputPort());
    }
    return hub;
}

RemoteHub::RemoteHub(app::F1a& window, const RemoteSettings& settings, int refreshMs)
    : panel_(window),
      control_(panel_),
      refreshMs_(refreshMs),
      midiMap_{settings.firstNote, settings.channel},
      lights_(midiMap_) {
    control_.changedSlots(true);  // what a subscriber gets first is sent whole anyway
    control_.changedPalette(true);
    // The tick also carries out what a wake-up left behind (one that came
    // while a request was being carried out).
    QObject::connect(&tick_, &QTimer::timeout, &context_, [this] {
        drain();
        drainMidi();
        publish();
    });
    tick_.start(kLookMs);
    if (!settings.midi) {
        midiProblem_ = QStringLiteral("MIDI désactivé");
    } else {
        sequencer_ = std::make_unique<MidiSequencer>("Tambrel", [this] { midiWake_.ring(); });
        if (!sequencer_->problem().isEmpty()) {
            midiProblem_ = sequencer_->problem();
            sequencer_.reset();
        }
    }
    if (!settings.osc) {
        problem_ = QStringLiteral("OSC désactivé");
        return;
    }
    // Requests cross to the window's thread by a queued wake-up.
    server_ =
        std::make_unique<OscServer>(settings.address, settings.port, [this] { oscWake_.ring(); });
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
    sequencer_.reset();
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

void RemoteHub::drainMidi() {
    if (sequencer_ == nullptr || draining_) return;
    draining_ = true;
    for (const MidiSequencer::Event& event : sequencer_->take()) {
        if (event.kind == MidiSequencer::Event::Kind::Subscribed) {
            std::vector<std::pair<int, SlotView>> all;
            all.reserve(kSlots);
            for (int i = 0; i < kSlots; ++i) all.emplace_back(i, panel_.slot(i));
            light(all, true);
        } else if (const auto slot = midiMap_.slotOf(event.channel, event.note, event.velocity)) {
            // A pad has no screen to be told why: a refused press (an empty
            // slot) is simply not carried out, as its dark pad shows.
            control_.press(*slot);
        }
    }
    draining_ = false;
    publish();
}

void RemoteHub::light(const std::vector<std::pair<int, SlotView>>& views, bool all) {
    if (sequencer_ == nullptr) return;
    for (const PadLights::Note& note : lights_.update(views, all)) {
        sequencer_->sendNoteOn(note.channel, note.note, note.velocity);
    }
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
    light(changed, false);
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
