// Editing from the window: a double click on a slot's label clears the slot,
// and Ctrl+Retour arrière puts it back; files dropped from a file manager
// fill slots; a click on a line's colour strip chooses the line's colour.
// While the palette is locked, none of these changes a thing.

#include <QFileInfo>

#include "app/palette_window.h"
#include "playback/component_error.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
#include "playback/slot_text.h"

namespace tambrel::app {

namespace {
// The formats the file dialog offers, which the engine plays.
bool playableName(const QString& path) {
    static const QStringList kKinds{QStringLiteral("mp3"), QStringLiteral("wav"),
                                    QStringLiteral("flac"), QStringLiteral("ogg"),
                                    QStringLiteral("opus")};
    return kKinds.contains(QFileInfo(path).suffix().toLower());
}
}  // namespace

void F1a::InfoTrack_DblClick(int16_t Index) {
    if (slotPlaying(Index) || locked()) return;  // never cleared while on air, nor locked
    if (!slotIsEmpty(Index)) {
        cleared_ = {Index, Player[Index]->FileName(), Slider[Index]->Value(), loopOn(Index)};
    }
    Player[Index]->setFileName(QString());
    Touche[Index]->setCaption(QString());
    showFileState(Index);
    InfoTrack[Index]->setCaption(slotLetter(Index));
}

void F1a::undoClear() {
    if (cleared_.slot < 0 || locked()) return;
    const Cleared back = cleared_;
    cleared_ = {};
    const QString letter = QStringLiteral("Touche ") + slotLetter(back.slot);
    if (!slotIsEmpty(back.slot) || slotPlaying(back.slot)) {
        showMessage(letter + QStringLiteral(" : reprise depuis, rien n'est remis"));
        return;
    }
    assignFile(back.slot, back.path);
    Slider[back.slot]->setValue(back.volume);
    Boucle[back.slot]->setBackColor(back.loop ? playback::kLoopOn : playback::kLoopOff);
    syncLoop(back.slot);
    showMessage(letter + QStringLiteral(" remise : ") + playback::NomCourt(back.path));
}

void F1a::dropFiles(int16_t Index, const QList<QUrl>& urls) {
    if (locked()) {
        showMessage(QStringLiteral("Palette verrouillée : rien n'est déposé"));
        return;
    }
    int16_t slot = Index;
    for (const QUrl& url : urls) {
        while (slot < kSlots && slotPlaying(slot)) ++slot;  // what sounds is never touched
        if (slot >= kSlots) {
            showMessage(QStringLiteral("Plus de touche libre : fichiers déposés en trop ignorés"));
            return;
        }
        // Only the file's name is looked at here: the file itself is read
        // by the loader, and a missing or damaged one says so on its slot.
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (path.isEmpty() || !playableName(path)) {
            const QString name =
                path.isEmpty() ? url.toDisplayString() : QFileInfo(path).fileName();
            showNotice(slot, playback::ComponentError(
                                 QStringLiteral("refusé"),
                                 QStringLiteral("Fichier non pris en charge : ") + name));
        } else {
            assignFile(slot, path);
        }
        ++slot;
    }
}

void F1a::Couleur_Click(int16_t Index) {
    if (locked()) return;
    Dial1.Color = Couleur[Index]->BackColor();  // the chooser opens on the present colour
    if (!Dial1.ShowColor()) return;
    Couleur[Index]->setBackColor(Dial1.Color);
    settingsChanged();
}

}  // namespace tambrel::app
