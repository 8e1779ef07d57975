// The palette list and loading: the palette files of the program's folder,
// and a palette read into the slots in place, in the middle of a broadcast.

#include "app/palette_window.h"
#include "palettes/palette_file.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

void F1a::File1_PathChange() {
    ComboBank->Clear();
    for (int32_t k = 0; k < File1.ListCount(); ++k) ComboBank->AddItem(File1.List(k));
}

// Runs to its end without yielding to other events. The file is read and
// checked whole before any slot is touched: a palette loads entirely or not
// at all, so the name the list shows is always the one the slots play. A
// refusal is said on the window, never in a box that would hold up the slots.
void F1a::ComboBank_Click() {
    const QString entry = ComboBank->Text();
    const QString path = platform::toNativePath(ProgramFolder + entry);
    QByteArray bytes;
    QString failure;
    palettes::PaletteContent content;
    if (platform::readFileBytes(path, bytes, failure)) {
        content = palettes::readPalette(bytes);
        failure = content.error;
    }
    if (!failure.isEmpty()) {
        ComboBank->setText(BankName->Caption());  // back to what the slots hold
        const QString message =
            QStringLiteral("Palette non chargée : ") + failure + QStringLiteral(" — ") + path;
        ComboBank->setToolTipText(message);
        showMessage(message);
        Keyboard->SetFocus();
        return;
    }
    {  // read ahead once every slot is loaded
        const audio::AudioEngine::LoadBatch batch(audio_.engine());
        for (int16_t i = 0; i < static_cast<int16_t>(content.paths.size()); ++i) {
            const QString& line = content.paths[i];
            if (!line.isEmpty()) {
                // Not stopped: a sounding file plays on. A file that cannot
                // play says why on its slot, and the loading goes on.
                assignFile(i, line);
            } else {
                Player[i]->Stop();
                clearSlot(i);
            }
        }
        // Each new value reaches its player through the slider's change event.
        for (size_t i = 0; i < content.volumes.size(); ++i) Slider[i]->setValue(content.volumes[i]);
    }
    BankName->setCaption(entry);
    savedSlots_ = slotSet();
    ComboBank->setToolTipText(QString());
    paletteEncoding_ = content.encoding;
    Keyboard->SetFocus();
}

}  // namespace tambrel::app
