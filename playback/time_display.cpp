// The refresh tick: every playing slot's bar grows and its remaining time
// counts down, blinking over its last seconds unless it loops; every silent
// slot takes its line's colour again.

#include "app/palette_window.h"
#include "journal/air_log.h"
#include "platform/colors.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

namespace {
constexpr float kBarHeight = 190;  // in the meter's own scale, from the top edge
}

// Red and white in turn at each tick, so the operator sees a jingle's end
// coming; a slot showing a notice keeps it.
void F1a::showEndWarning(int16_t Index) {
    if (noticeUntil_[static_cast<size_t>(Index)] > 0) return;
    const int32_t remaining = Player[Index]->Length() - Player[Index]->Position();
    const bool warn =
        options_.warnSeconds > 0 && !loopOn(Index) && remaining <= options_.warnSeconds * 1000;
    InfoTrack[Index]->setBackColor(!warn      ? playback::kInfoTrackColor
                                   : blinkOn_ ? platform::QBColor(platform::kQBRed)
                                              : platform::QBColor(platform::kQBWhite));
}

void F1a::Timer1_OnTimer() {
    blinkOn_ = !blinkOn_;
    for (int16_t i = 0; i < kSlots; ++i) {
        if (slotPlaying(i)) {
            // Not cleared first: the bar only grows between the places that clear it.
            VueMettre[i]->surface().FillBox(0, 0, static_cast<float>(Player[i]->Position()),
                                            kBarHeight, platform::QBColor(platform::kQBBlue));
            if (Player[i]->Cueing()) {
                showPreListen(i);
            } else {
                InfoTrack[i]->setCaption(
                    playback::FTime(Player[i]->Length() - Player[i]->Position()));
                showEndWarning(i);
            }
            showStarving(i);
        } else {
            drySeen_[static_cast<size_t>(i)] = 0;
            Touche[i]->setBackColor(Couleur[playback::QuelleLigne(i)]->BackColor());
        }
        Slider[i]->setVisible(MnuVolume->Checked());
    }
    Horloge_OnTimer();
    expireNotices();
    followLoads();
    expireMessage();
    // About once a second, so that a crash loses at most a second of a play.
    if (airLog_ && ++refreshTicks_ % 2 == 0) airLog_->keepInProgress();
    openChosenOutput();
    showOutputState();
}

}  // namespace tambrel::app
