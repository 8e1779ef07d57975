// Keyboard triggering: a slot's letter does what a click on its button
// does; Ctrl with the letter switches its loop; Delete switches every loop
// off; Échap fades everything out; F1 to F12 load palettes; Ctrl+Retour
// arrière puts back the slot a double click emptied. The window sees each
// key before the focused control does.

#include "app/palette_window.h"
#include "input/key_map.h"
#include "platform/system.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

using playback::kLoopOff;

namespace {
constexpr int16_t kBackspaceKey = 8;
constexpr int16_t kDeleteKey = 46;
constexpr int16_t kF1Key = 112;
constexpr int16_t kEscapeKey = 27;
constexpr int16_t kBackslash = 92;
// Character and key codes: "A" is slot 0 and "[" slot 26, the capitals'
// code for the letters' keys as well; "a" to "z" are slots 0 to 25.
constexpr int16_t kCapitalA = 65;
constexpr int16_t kOpenBracket = 91;
constexpr int16_t kSmallA = 97;
constexpr int16_t kSmallZ = 122;
}  // namespace

void F1a::Form_KeyPress(int16_t KeyAscii) {
    // Capitals reach "[" (slot 26); small letters stop at "z".
    if (KeyAscii >= kCapitalA && KeyAscii <= kOpenBracket) {
        Touche_Click(static_cast<int16_t>(KeyAscii - kCapitalA));
    }
    if (KeyAscii >= kSmallA && KeyAscii <= kSmallZ) {
        Touche_Click(static_cast<int16_t>(KeyAscii - kSmallA));
    }
    // The last slot's button shows "\": that character fires it, typed
    // as it may be (AltGr+8 on a French keyboard).
    if (KeyAscii == kBackslash) Touche_Click(kSlots - 1);
}

void F1a::Form_KeyUp(int16_t KeyCode, int16_t Shift) {
    if (Shift != input::kCtrlMask || KeyCode < kCapitalA || KeyCode > kOpenBracket) return;
    const auto k = static_cast<int16_t>(KeyCode - kCapitalA);
    toggleLoop(k);  // as a click on the marker, without moving the focus
}

// The Échap that closed a menu, a list or a box is not meant for the air,
// nor is one typed again at once to close what the operator thinks is
// still open: only a deliberate Échap on the window fades.
void F1a::escapeClosed() {
    escapeClosedAt_ = system_.clockSeconds();
}

void F1a::Form_KeyDown(int16_t KeyCode, int16_t Shift) {
    if (KeyCode == kEscapeKey && system_.clockSeconds() - escapeClosedAt_ >= kEscapeSettleSeconds) {
        stopAll();
    }
    // Alone: Alt+F4 closes the window, it loads no palette.
    if (KeyCode >= kF1Key && KeyCode < kF1Key + kPaletteKeys && Shift == 0 &&
        options_.paletteKeys) {
        paletteKey(KeyCode - kF1Key);
    }
    if (KeyCode == kBackspaceKey && Shift == input::kCtrlMask) undoClear();
    if (KeyCode != kDeleteKey) return;
    for (int16_t i = 0; i < kSlots; ++i) {
        Boucle[i]->setBackColor(kLoopOff);
        syncLoop(i);
    }
}

void F1a::Keyboard_Change() {
    Keyboard->setText(Keyboard->Text().left(1));
}

}  // namespace tambrel::app
