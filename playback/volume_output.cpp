// The operator's controls around the slots: volume sliders and their
// read-out, the output device for every player, and the progress meters,
// which seek on a click and show the time under the pointer.

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "app/palette_window.h"
#include "platform/report.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

namespace {
constexpr int16_t kLeftButton = 1;

// To the nearest whole number, halves to the even neighbour.
int32_t roundHalfEven(float x) {
    const double rounded = std::nearbyint(static_cast<double>(x));
    if (!(rounded > std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (!(rounded < std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}
}  // namespace

void F1a::Slider_OnChange(int16_t Index) {
    Player[Index]->setVolume(Slider[Index]->Value());
    LblVolume->setCaption(QStringLiteral("Volume ") + QString::number(Slider[Index]->Value()));
}

void F1a::MnuNormaliser_Click() {
    options_.normalise = !options_.normalise;
    applyNormalising();
    optionsChanged();
    Keyboard->SetFocus();
}

// The playbacks under way keep the gain of their press.
void F1a::applyNormalising() {
    MnuNormaliser->setChecked(options_.normalise);
    audio_.setNormalising(options_.normalise, options_.targetLufs);
    for (int16_t i = 0; i < kSlots; ++i) showLoudness(i);
}

QString F1a::loudnessFigures(int16_t Index) const {
    const std::optional<audio::Loudness> loudness = Player[Index]->Loudness();
    if (!loudness) return QString();
    return playback::loudnessText(*loudness, options_.normalise
                                                 ? std::optional(Player[Index]->NormalGainDb())
                                                 : std::nullopt);
}

// The button's tool tip: its key, then its file's figures once measured.
void F1a::showLoudness(int16_t Index) {
    const QString figures = loudnessFigures(Index);
    Touche[Index]->setToolTipText(QStringLiteral("Touche ") + slotLetter(Index) + u' ' +
                                  (figures.isEmpty() ? QString() : u'\n' + figures));
}

void F1a::Slider_OnTrack(int16_t Index) {
    LblVolume->setCaption(QStringLiteral("Volume ") + QString::number(Slider[Index]->Value()));
    Keyboard->SetFocus();
}

void F1a::MnuVolume_Click() {
    MnuVolume->setChecked(!MnuVolume->Checked());
    LblVolume->setVisible(MnuVolume->Checked());
    options_.volumes = MnuVolume->Checked();
    optionsChanged();
    Keyboard->SetFocus();
}

// Picking the device already in use changes nothing: no slot is stopped
// for a choice that moves nothing.
void F1a::Output_Click() {
    const int32_t device = Output->ListIndex() - 1;
    bool moves = false;
    for (int16_t i = 0; i < kSlots; ++i) moves |= Player[i]->DeviceID() != device;
    if (!moves) return;
    for (int16_t i = 0; i < kSlots; ++i) {
        if (slotPlaying(i)) {
            stopReason_[static_cast<size_t>(i)] = journal::EndReason::OutputChange;
        }
        Player[i]->Stop();
        Player[i]->setDeviceID(device);
    }
    settingsChanged();
}

// Entry k + 1 is the host's device k, whose place never changes: a device
// plugged in is added at the end, one that goes away stays, marked absent,
// and the selection is never touched.
void F1a::Output_Refresh() {
    const std::vector<playback::AudioHost::Device>& devices = audio_.devices();
    for (size_t k = 0; k < devices.size(); ++k) {
        const auto entry = static_cast<int32_t>(k + 1);
        QString text = QString::fromStdString(devices[k].name);
        if (!devices[k].present) text += QStringLiteral(" (absente)");
        if (entry < Output->ListCount()) {
            Output->setList(entry, text);
        } else {
            Output->AddItem(text);
        }
    }
}

// The chosen device is kept open even while nothing sounds, so that the
// first press is as quick as the next ones and the device's queue has fitted
// itself to the machine before anything is on air. Only a device listed as
// here is tried, so a sound server that is gone is not waited on.
void F1a::openChosenOutput() {
    const std::vector<playback::AudioHost::Device>& devices = audio_.devices();
    const int32_t entry = Output->ListIndex();
    if (entry <= 0) {
        const bool any = std::any_of(devices.begin(), devices.end(),
                                     [](const auto& device) { return device.present; });
        if (any) audio_.engine().prepare(std::nullopt);
    } else if (static_cast<size_t>(entry) <= devices.size() &&
               devices[static_cast<size_t>(entry - 1)].present) {
        audio_.engine().prepare(devices[static_cast<size_t>(entry - 1)].name);
    }
}

// How the chosen device keeps up, for the operator and the support: what a
// start waits behind, the reserve mixed ahead against a machine that stops
// running this program for a while, and how many times sound ran short since start. In
// the list's tool tip under the device's whole name (the box may shorten
// it), and on standard error whenever it changes.
void F1a::showOutputState() {
    const int32_t entry = Output->ListIndex();
    const std::optional<std::string> device =
        entry <= 0 ? std::nullopt
                   : std::optional<std::string>(outputDeviceName(entry).toStdString());
    const double queued = audio_.engine().queuedMs(device);
    const uint64_t shortfalls = audio_.engine().underruns(device);
    const QString latency =
        queued > 0 ? QString::number(queued, 'f', 1).replace(u'.', u',') + QStringLiteral(" ms")
                   : QStringLiteral("—");
    const double reserve = audio_.engine().reserveMs(device);
    const QString state =
        QStringLiteral("Latence : ") + latency +
        (reserve > 0 ? QStringLiteral(" — réserve : ") + QString::number(std::lround(reserve)) +
                           QStringLiteral(" ms")
                     : QString()) +
        QStringLiteral(" — coupures : ") + QString::number(shortfalls);
    const QString tip = Output->Text() + u'\n' + state;
    if (tip == Output->ToolTipText()) return;
    Output->setToolTipText(tip);
    platform::report(Output->Text() + QStringLiteral(": ") + state);
}

// The device's own name, without the mark of an absent one.
QString F1a::outputDeviceName(int32_t entry) const {
    const std::vector<playback::AudioHost::Device>& devices = audio_.devices();
    if (entry >= 1 && entry <= static_cast<int32_t>(devices.size())) {
        return QString::fromStdString(devices[static_cast<size_t>(entry - 1)].name);
    }
    return Output->List(entry);
}

void F1a::VueMettre_MouseDown(int16_t Index, int16_t Button, int16_t, float X, float) {
    if (Button == kLeftButton && slotPlaying(Index)) {
        Player[Index]->setPosition(roundHalfEven(X));
        VueMettre[Index]->surface().Cls();
    }
    Keyboard->SetFocus();
}

void F1a::VueMettre_MouseMove(int16_t Index, int16_t, int16_t, float X, float) {
    if (slotPlaying(Index)) {
        VueMettre[Index]->setToolTipText(playback::FTime(roundHalfEven(X)));
    }
}

}  // namespace tambrel::app
