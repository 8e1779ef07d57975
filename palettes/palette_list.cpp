// The palette list and loading: the palette files of the program's folder,
// and a palette read into the slots in place, in the middle of a broadcast.

#include "app/palette_window.h"
#include "palettes/palette_file.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/system.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

// The first twelve entries show the function key that loads them.
void F1a::File1_PathChange() {
    // The slots' loudness figures are kept beside the palettes.
    audio_.setLoudnessFolder(platform::toNativePath(File1.Path()));
    ComboBank->Clear();
    for (int32_t k = 0; k < File1.ListCount(); ++k) {
        ComboBank->AddItem(File1.List(k));
        if (k < kPaletteKeys && options_.paletteKeys) {
            ComboBank->setHint(k, QStringLiteral("F") + QString::number(k + 1));
        }
    }
}

void F1a::paletteKey(int rank) {
    if (rank >= ComboBank->ListCount()) {
        showMessage(QStringLiteral("Pas de palette sur F") + QString::number(rank + 1));
        return;
    }
    ComboBank->setListIndex(rank);  // raises its Click, as a pick in the list
}

// The palette is read on the folder's thread: a palette on a share that
// does not answer holds nothing, and its answer, when late, loads nothing.
void F1a::ComboBank_Click() {
    platform::FolderWorker* folder = File1.Folder();
    if (folder == nullptr) return;
    paletteAsked_ = folder->read(ComboBank->Text());
    paletteAskedAt_ = system_.clockSeconds();
    File1.Run(paletteAsked_);
}

void F1a::File1_Done(const platform::FolderWorker::Done& done) {
    using Kind = platform::FolderWorker::Done::Kind;
    if (done.kind == Kind::Write) return saved(done);
    if (done.kind == Kind::Remove) return removed(done);
    if (done.ticket != paletteAsked_) return;
    paletteAsked_ = 0;
    if (done.failure.isEmpty()) stamps_[done.name] = done.stamp;
    loadPalette(done.name, done.bytes, done.failure);
}

// Runs to its end without yielding to other events. The file is checked
// whole before any slot is touched: a palette loads entirely or not at all,
// so the name the list shows is always the one the slots play. A refusal
// is said on the window, never in a box that would hold up the slots.
void F1a::loadPalette(const QString& entry, const QByteArray& bytes, QString failure) {
    const QString path = platform::toNativePath(File1.Path() + entry);
    palettes::PaletteContent content;
    if (failure.isEmpty()) {
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
