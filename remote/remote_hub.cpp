#include "remote/remote_hub.h"

#include <QFileInfo>

#include "app/palette_window.h"
#include "platform/file_system.h"
#include "platform/report.h"
#include "remote/remote_settings.h"
#include "remote/time_slice.h"
#include "remote/window_panel.h"

namespace tambrel::remote {

using platform::report;

namespace {
constexpr int kLookMs = 100;
// A page shows a press in the window within a tenth of a second: while one
// is connected the hub looks more often.
constexpr int kPageLookMs = 40;
using Clock = std::chrono::steady_clock;
}  // namespace

std::unique_ptr<RemoteHub> startRemote(app::F1a& window, const QString& programFolder) {
    const QString path = programFolder + QStringLiteral("Telecommande.ini");
    QByteArray bytes;
    QString failure;
    if (QFileInfo(path).exists() && !platform::readFileBytes(path, bytes, failure)) {
        report(path + QStringLiteral(": ") + failure);
    }
    std::vector<QString> bad;
    RemoteSettings settings = readRemoteSettings(bytes, bad);
    for (const QString& line : bad) {
        report(QStringLiteral("%1, %2 (ignorée)").arg(path, line));
    }
    if (const std::optional<QString> why = confineWithoutAllowList(settings)) {
        report(QStringLiteral("télécommande : ") + *why);
    }
    const QString address = QString::fromStdString(settings.address);
    auto hub = std::make_unique<RemoteHub>(std::make_unique<WindowPanel>(window), settings,
                                           app::F1a::kRefreshMs);
    if (!hub->problem().isEmpty()) {
        report(QStringLiteral("télécommande : ") + hub->problem());
    } else {
        report(QStringLiteral("télécommande OSC sur %1:%2").arg(address).arg(hub->oscPort()));
    }
    if (!hub->midiProblem().isEmpty()) {
        report(QStringLiteral("télécommande : ") + hub->midiProblem());
    } else {
        const int client = hub->sequencer()->client();
        report(QStringLiteral("télécommande MIDI, client %1, ports %1:%2 (entrée) et %1:%3")
                   .arg(client)
                   .arg(hub->sequencer()->inputPort())
                   .arg(hub->sequencer()->outputPort()));
    }
    if (!hub->webProblem().isEmpty()) {
        report(QStringLiteral("télécommande : ") + hub->webProblem());
    } else {
        report(QStringLiteral("page web sur http://%1:%2/").arg(address).arg(hub->webPort()));
        if (settings.code.isEmpty() && settings.address.rfind("127.", 0) != 0) {
            report(
                "page web : sans code= dans Telecommande.ini, seule cette machine peut s'en "
                "servir");
        }
    }
    return hub;
}

RemoteHub::RemoteHub(std::unique_ptr<Panel> panel, const RemoteSettings& settings, int refreshMs)
    : panel_(std::move(panel)),
      control_(*panel_),
      refreshMs_(refreshMs),
      midiMap_{settings.firstNote, settings.channel, settings.stopAllNote},
      lights_(midiMap_) {
    control_.changedSlots(true);  // what a subscriber gets first is sent whole anyway
    control_.changedPalette(true);
    // The tick also carries out what a wake-up left behind, and sends each
    // subscriber the next lot of what waits for it.
    QObject::connect(&tick_, &QTimer::timeout, &context_, [this] {
        drain();
        drainMidi();
        drainWeb();
        if (service_) service_->pace();
        publish();
        // Without a page the window is not woken more often than this.
        const bool pages = web_ && web_->joined() > 0;
        if (pages != pageLook_.isActive()) pages ? pageLook_.start() : pageLook_.stop();
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
    startWeb(settings);
    if (!settings.osc) {
        problem_ = QStringLiteral("OSC désactivé");
        return;
    }
    // Requests cross to the window's thread by a queued wake-up.
    server_ = std::make_unique<OscServer>(settings.address, settings.port, settings.allowed,
                                          [this] { oscWake_.ring(); });
    if (!server_->problem().isEmpty()) {
        problem_ = QStringLiteral("OSC impossible sur %1:%2 : %3")
                       .arg(QString::fromStdString(settings.address))
                       .arg(settings.port)
                       .arg(server_->problem());
        server_.reset();
        return;
    }
    service_ = std::make_unique<OscService>(
        control_, *panel_,
        [this](const sockaddr_in& to, const std::vector<char>& bytes) { server_->send(to, bytes); },
        server_->port());
    service_->publishPending = [this] { publish(); };
}

void RemoteHub::startWeb(const RemoteSettings& settings) {
    if (!settings.web) {
        webProblem_ = QStringLiteral("page web désactivée");
        return;
    }
    web_ = std::make_unique<WebServer>(settings, [this] { webWake_.ring(); });
    if (!web_->problem().isEmpty()) {
        webProblem_ = QStringLiteral("page web impossible sur %1:%2 : %3")
                          .arg(QString::fromStdString(settings.address))
                          .arg(settings.webPort)
                          .arg(web_->problem());
        web_.reset();
        return;
    }
    webService_ = std::make_unique<WebService>(control_, *panel_,
                                               [this](uint64_t page, std::string text, bool joins) {
                                                   web_->send(page, std::move(text), joins);
                                               });
    webService_->publishPending = [this] { publish(); };
    QObject::connect(&pageLook_, &QTimer::timeout, &context_, [this] { publish(); });
    pageLook_.setInterval(kPageLookMs);
}

RemoteHub::~RemoteHub() {
    web_.reset();
    server_.reset();  // no wake-up after this
    sequencer_.reset();
}

QString RemoteHub::problem() const {
    return problem_;
}

void RemoteHub::drain() {
    if (server_ == nullptr) return;
    service_->receive(server_->take());
    if (service_->carryOut(Clock::now() + kSlice)) oscWake_.ring();
    publish();
}

void RemoteHub::drainMidi() {
    if (sequencer_ == nullptr) return;
    for (const MidiSequencer::Event& event : sequencer_->take()) {
        if (midiWaiting_.size() < MidiSequencer::kMostWaiting) midiWaiting_.push_back(event);
    }
    if (carryOutUntil(
            midiWaiting_, Clock::now() + kSlice,
            [this](const MidiSequencer::Event& event) { carryOut(event); }, Clock::now)) {
        midiWake_.ring();
    }
    publish();
}

void RemoteHub::drainWeb() {
    if (web_ == nullptr) return;
    webService_->receive(web_->take());
    if (webService_->carryOut(Clock::now() + kSlice)) webWake_.ring();
    publish();
}

void RemoteHub::carryOut(const MidiSequencer::Event& event) {
    if (event.kind == MidiSequencer::Event::Kind::Subscribed) {
        std::vector<std::pair<int, SlotView>> all;
        all.reserve(kSlots);
        for (int i = 0; i < kSlots; ++i) all.emplace_back(i, panel_->slot(i));
        light(all, true);
    } else if (midiMap_.stopsAll(event.channel, event.note, event.velocity)) {
        control_.stopAll();
    } else if (const auto slot = midiMap_.slotOf(event.channel, event.note, event.velocity)) {
        // A pad has no screen to be told why: a refused press (an empty
        // slot) is simply not carried out, as its dark pad shows.
        control_.press(*slot);
    }
}

void RemoteHub::light(const std::vector<std::pair<int, SlotView>>& views, bool all) {
    if (sequencer_ == nullptr) return;
    for (const PadLights::Note& note : lights_.update(views, all)) {
        sequencer_->sendNoteOn(note.channel, note.note, note.velocity);
    }
}

void RemoteHub::publish() {
    const auto changed = control_.changedSlots(false, refreshMs_);
    const std::optional<QString> palette = control_.changedPalette();
    light(changed, false);
    if (service_) service_->publish(changed, palette);
    if (webService_) webService_->publish(changed, palette);
}

}  // namespace tambrel::remote
