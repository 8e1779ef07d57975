// Fading out: one slot with Maj and its letter or a click, every slot with
// Échap, the others of an exclusive line when one starts there. A fade is a
// deliberate gesture; so is the second one that cuts it.

#include "app/palette_window.h"
#include "platform/colors.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"
#include "playback/slot_text.h"

namespace tambrel::app {

using journal::EndReason;

void F1a::fadeSlot(int16_t Index) {
    if (!slotPlaying(Index)) {
        fadingBy_[static_cast<size_t>(Index)].reset();
        Touche_Click(Index);
        return;
    }
    if (fading(Index)) {
        cut(Index, *fadingBy_[static_cast<size_t>(Index)]);
    } else {
        fadeOut(Index, EndReason::Fade, options_.fadeMs);
    }
    Keyboard->SetFocus();
}

void F1a::stopAll() {
    bool fadingAll = false;
    for (int16_t i = 0; i < kSlots; ++i) {
        fadingAll |= fadingBy_[static_cast<size_t>(i)] == EndReason::StopAll && slotPlaying(i);
    }
    for (int16_t i = 0; i < kSlots; ++i) {
        if (!slotPlaying(i)) continue;
        if (fadingAll) {
            cut(i, EndReason::StopAll);
        } else {
            fadeOut(i, EndReason::StopAll, kStopAllFadeMs);
        }
    }
}

// The slot sounds on, lower and lower, and ends by itself at silence.
void F1a::fadeOut(int16_t Index, EndReason reason, int ms) {
    const auto i = static_cast<size_t>(Index);
    if (!Player[Index]->FadeOut(ms)) return;
    fadingBy_[i] = reason;
    stopReason_[i] = reason;
    Touche[Index]->setBackColor(platform::QBColor(platform::kQBDarkRed));
}

// Beds changed on air: a slot started on an exclusive line takes over from
// the others sounding there, which fade as Maj with their letter would.
void F1a::fadeLineOthers(int16_t Index) {
    const int16_t line = playback::QuelleLigne(Index);
    if ((options_.exclusiveLines & (1U << line)) == 0) return;
    for (int16_t i = 0; i < kSlots; ++i) {
        if (i == Index || playback::QuelleLigne(i) != line) continue;
        if (slotPlaying(i) && !Player[i]->Cueing() && !fading(i)) {
            fadeOut(i, EndReason::Fade, options_.fadeMs);
        }
    }
}

void F1a::cut(int16_t Index, EndReason reason) {
    stopReason_[static_cast<size_t>(Index)] = reason;
    Player[Index]->Stop();
    Touche[Index]->setBackColor(platform::QBColor(platform::kQBWhite));
}

}  // namespace tambrel::app
