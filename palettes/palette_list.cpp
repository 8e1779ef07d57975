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

// Runs to its end without yielding to other events. A failure stops it
// where it happens: the slots before keep the new palette, the slots after
// keep the old one, and the message says what failed and in which palette.
void F1a::ComboBank_Click() {
    const QString entry = ComboBank->Text();
    QByteArray bytes;
    QString failure;
    palettes::PaletteContent content;
    if (platform::readFileBytes(platform::toNativePath(ProgramFolder + entry), bytes, failure)) {
        content = palettes::readPalette(bytes);
        failure = content.error;
    }
    {  // read ahead once every slot is loaded, and before any message box
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
    if (!failure.isEmpty()) {
        dialogs_.MsgBox(failure + QStringLiteral("\r\n") + entry, platform::kIconWarning,
                        QString());
        return;
    }
    BankName->setCaption(entry);
    paletteEncoding_ = content.encoding;
    Keyboard->SetFocus();
}

}  // namespace tambrel::app
