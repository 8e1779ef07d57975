#include "remote/window_panel.h"

#include <algorithm>

#include "app/palette_window.h"
#include "platform/colors.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"

namespace tambrel::remote {

SlotView WindowPanel::slot(int index) const {
    const auto i = static_cast<int16_t>(index);
    const playback::MMAudioPlayerX& player = *window_.Player[static_cast<size_t>(i)];
    SlotView view;
    view.loop = window_.loopOn(i);
    view.name = playback::NomCourt(player.FileName());
    view.lengthMs = player.Length();
    view.loudness = window_.loudnessFigures(i);
    if (window_.preListening(i)) {
        view.state = SlotState::Cue;
        view.remainingMs = std::max(0, player.Length() - player.Position());
    } else if (window_.slotPlaying(i)) {
        view.state = window_.fading(i) ? SlotState::Fading : SlotState::Playing;
        view.remainingMs = std::max(0, player.Length() - player.Position());
    } else if (player.FileName().isEmpty()) {
        view.state = SlotState::Empty;
    } else if (player.FileProblem()) {
        view.state = SlotState::Missing;
    } else {
        view.state = SlotState::Ready;
        view.remainingMs = player.Length();
    }
    return view;
}

// As the press itself decides: a silent slot whose button shows no name.
bool WindowPanel::wouldAskForFile(int index) const {
    const auto i = static_cast<int16_t>(index);
    return !window_.slotPlaying(i) && window_.slotIsEmpty(i);
}

void WindowPanel::press(int index) {
    window_.pressFromAfar(static_cast<int16_t>(index));
}

void WindowPanel::fade(int index) {
    window_.fadeSlot(static_cast<int16_t>(index));
}

void WindowPanel::cue(int index) {
    window_.preListen(static_cast<int16_t>(index));
}

void WindowPanel::stopAll() {
    window_.stopAll();
}

QString WindowPanel::notice(int index) const {
    return window_.Touche[static_cast<size_t>(index)]->Notice();
}

void WindowPanel::toggleLoop(int index) {
    window_.Boucle_Click(static_cast<int16_t>(index));
}

QStringList WindowPanel::palettes() const {
    QStringList entries;
    for (int32_t k = 0; k < window_.ComboBank->ListCount(); ++k) {
        entries << window_.ComboBank->List(k);
    }
    return entries;
}

void WindowPanel::loadPalette(const QString& entry) {
    window_.ComboBank->setText(entry);
    window_.ComboBank_Click();
}

QString WindowPanel::paletteName() const {
    return window_.BankName->Caption();
}

std::vector<uint32_t> WindowPanel::lineColours() const {
    std::vector<uint32_t> colours;
    for (const auto& line : window_.Couleur) {
        colours.push_back(platform::toQColor(line->BackColor()).rgb() & 0xffffffU);
    }
    return colours;
}

int WindowPanel::countdownSlot() const {
    return window_.countdownSlot();
}

int WindowPanel::warnMs() const {
    return window_.options().warnSeconds * 1000;
}

}  // namespace tambrel::remote
