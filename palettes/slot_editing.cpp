// Editing from the window: a double click on a slot's label clears the slot;
// a click on a line's colour strip chooses the line's colour.

#include "app/palette_window.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

void F1a::InfoTrack_DblClick(int16_t Index) {
    if (slotPlaying(Index)) return;  // never cleared while on air
    Player[Index]->setFileName(QString());
    Touche[Index]->setCaption(QString());
    showFileState(Index);
    InfoTrack[Index]->setCaption(slotLetter(Index));
}

void F1a::Couleur_Click(int16_t Index) {
    Dial1.Color = Couleur[Index]->BackColor();  // the chooser opens on the present colour
    if (!Dial1.ShowColor()) return;
    Couleur[Index]->setBackColor(Dial1.Color);
    settingsChanged();
}

}  // namespace tambrel::app
