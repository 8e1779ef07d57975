// "Horloge": under the slots, the time of day to the second, and in large
// digits the time left of the jingle started last that does not loop,
// turning red over its last seconds as its slot's label blinks.

#include "app/palette_window.h"
#include "platform/colors.h"
#include "platform/system.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"
#include "playback/slot_text.h"

namespace tambrel::app {

namespace {
// Woken just after the second turns, so the shown second is never late by
// more than a timer's slack.
constexpr int kPastTheSecondMs = 2;
constexpr int kMsPerSecond = 1000;
}  // namespace

void F1a::MnuHorloge_Click() {
    options_.clock = !options_.clock;
    MnuHorloge->setChecked(options_.clock);
    placeClock();
    optionsChanged();
    Keyboard->SetFocus();
}

void F1a::placeClock() {
    Horloge->setVisible(options_.clock);
    Decompte->setVisible(options_.clock);
    layoutScale_ = 0;  // the clock counts in the layout's size, or no longer
    applyLayout();
    if (options_.clock) {
        Horloge_OnTimer();
    } else {
        clockTimer_->stop();
    }
}

int16_t F1a::countdownSlot() const {
    int16_t last = -1;
    for (int16_t i = 0; i < kSlots; ++i) {
        if (!slotPlaying(i) || Player[i]->Cueing() || loopOn(i)) continue;
        if (last < 0 || startedAs_[static_cast<size_t>(i)] > startedAs_[static_cast<size_t>(last)])
            last = i;
    }
    return last;
}

void F1a::Horloge_OnTimer() {
    if (!options_.clock) return;
    const QTime now = system_.timeOfDay();
    Horloge->setCaption(now.toString(QStringLiteral("HH:mm:ss")));
    const int16_t slot = countdownSlot();
    if (slot < 0) {
        Decompte->setCaption(QStringLiteral("--:--"));
        Decompte->setToolTipText(QString());
        Decompte->setBackColor(platform::QBColor(platform::kQBWhite));
    } else {
        const int32_t remaining = Player[slot]->Length() - Player[slot]->Position();
        Decompte->setCaption(playback::FTime(remaining));
        Decompte->setToolTipText(QStringLiteral("Touche ") + slotLetter(slot) +
                                 QStringLiteral(" : ") +
                                 playback::NomCourt(Player[slot]->FileName()));
        const bool ending =
            options_.warnSeconds > 0 && remaining <= options_.warnSeconds * kMsPerSecond;
        Decompte->setBackColor(platform::QBColor(ending ? platform::kQBRed : platform::kQBWhite));
    }
    clockTimer_->start(kMsPerSecond - now.msec() + kPastTheSecondMs);
}

}  // namespace tambrel::app
