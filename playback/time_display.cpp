// The refresh tick: every playing slot's bar grows and its remaining time
// counts down; every silent slot takes its line's colour again.

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

void F1a::Timer1_OnTimer() {
    for (int16_t i = 0; i < kSlots; ++i) {
        if (Player[i]->State() == playback::kPlaying) {
            // Not cleared first: the bar only grows between the places that clear it.
            VueMettre[i]->surface().FillBox(0, 0, static_cast<float>(Player[i]->Position()),
                                            kBarHeight, platform::QBColor(9));
            InfoTrack[i]->setCaption(playback::FTime(Player[i]->Length() - Player[i]->Position()));
        } else {
            Touche[i]->setBackColor(Couleur[playback::QuelleLigne(i)]->BackColor());
        }
        Slider[i]->setVisible(MnuVolume->Checked());
    }
    expireNotices();
    expireMessage();
    // About once a second, so that a crash loses at most a second of a play.
    if (airLog_ && ++refreshTicks_ % 2 == 0) airLog_->keepInProgress();
    openChosenOutput();
    showOutputState();
}

}  // namespace tambrel::app
