// Loop play: a slot whose marker is yellow goes back to its start shortly
// before its end, without a stop, until the operator stops it.

#include "app/palette_window.h"
#include "journal/air_log.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

using playback::kLoopOff;
using playback::kLoopOn;

namespace {
constexpr int32_t kEndMarginMs = 100;
}  // namespace

// The marker is the loop flag. The player is told as well, so that a
// looping file whose rewind tick comes late goes round instead of ending.
void F1a::syncLoop(int16_t Index) {
    Player[Index]->setRepeatAtEnd(loopOn(Index));
}

// Any colour but yellow counts as off, so any other colour turns yellow.
void F1a::toggleLoop(int16_t Index) {
    Boucle[Index]->setBackColor(loopOn(Index) ? kLoopOff : kLoopOn);
    syncLoop(Index);
}

void F1a::Boucle_Click(int16_t Index) {
    toggleLoop(Index);
    Keyboard->SetFocus();
}

void F1a::TimmerBoucle_OnTimer() {
    for (int16_t i = 0; i < kSlots; ++i) {
        syncLoop(i);
        if (!loopOn(i)) continue;
        if (!slotPlaying(i)) continue;
        const int32_t position = Player[i]->Position();
        const int32_t length = Player[i]->Length();
        if (position + kEndMarginMs > length) {
            Player[i]->setPosition(0);
            if (airLog_) airLog_->lapped(i);
            VueMettre[i]->surface().Cls();
        }
    }
}

}  // namespace tambrel::app
