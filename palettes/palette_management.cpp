// Palette management from the menu: a new empty palette under a new name,
// saving the slots into the current palette, deleting a palette file.

#include <QFile>

#include "app/palette_window.h"
#include "palettes/palette_file.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"

namespace tambrel::app {

namespace {

constexpr int kLongestFileName = 255;  // bytes, as the file system counts them

// Why a palette name cannot be a file of the palette folder, or nothing.
QString nameProblem(const QString& name) {
    if (name.contains(u'/') || name.contains(u'\\')) {
        return QStringLiteral("Un nom de palette ne peut pas contenir / ou \\.");
    }
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return QStringLiteral(
                "Un nom de palette ne peut pas contenir de caractère de contrôle.");
        }
    }
    if (name.startsWith(u'.')) {
        // A hidden file: the list would never show it, and a later "Nouvelle
        // Palette" of the same name would overwrite it without asking.
        return QStringLiteral("Un nom de palette ne peut pas commencer par un point.");
    }
    if (QFile::encodeName(name).size() > kLongestFileName) {
        return QStringLiteral("Ce nom est trop long.");
    }
    return QString();
}

}  // namespace

// The name of a new palette, asked of the operator: empty when the answer
// is blank, refused, or the operator would not overwrite the palette of
// that name.
QString F1a::askPaletteName() {
    const QString answer = dialogs_.InputBox(QStringLiteral("Entrez le nom de la nouvelle palette"),
                                             QStringLiteral("Nouvelle palette"), QString());
    if (answer.trimmed().isEmpty()) return QString();
    QString name = answer + QStringLiteral(".Bnk");
    const QString problem = nameProblem(name);
    if (!problem.isEmpty()) {
        dialogs_.MsgBox(
            QStringLiteral("Nom de palette refusé : ") + name + QStringLiteral("\r\n") + problem,
            platform::kIconWarning, QString());
        return QString();
    }
    if (listed(name)) {
        const int32_t answerToOverwrite = dialogs_.MsgBox(
            QStringLiteral("Cette palette existe déjà\r\n") +
                platform::toNativePath(File1.Path() + name) + QStringLiteral("\r\nEcraser ?"),
            platform::kIconQuestion + platform::kButtonsOkCancel + platform::kDefaultSecondButton,
            QString());
        // Refused: the current palette keeps its name, so that a later save
        // cannot overwrite the palette that was just spared.
        if (answerToOverwrite != platform::kAnswerOk) return QString();
    }
    return name;
}

void F1a::MnuNewBank_Click() {
    if (locked()) return;
    const QString name = askPaletteName();
    if (name.isEmpty()) return;
    BankName->setCaption(name);
    paletteEncoding_ = platform::TextEncoding::Utf8;
    for (int16_t i = 0; i < kSlots; ++i) {
        clearSlot(i);  // a sounding file plays on
        Slider[i]->setValue(playback::kVolumeUnity);
    }
    MnuSauverBank_Click();
}

// Without a palette name yet, the slots as they are are saved under a name
// asked as for a new palette: the operator's assignments are never lost to
// the advice of starting a new, empty one. The file is written on the
// palette folder's thread; one another studio changed since this program
// read or wrote it is not overwritten without asking.
void F1a::MnuSauverBank_Click() {
    if (locked()) return;
    QString name = BankName->Caption();
    const bool named = !name.isEmpty();
    if (!named) {
        name = askPaletteName();
        if (name.isEmpty()) return;
    }
    platform::FolderWorker* folder = File1.Folder();
    if (folder == nullptr) return;
    Saving saving{0, name, slotSet(), named ? paletteEncoding_ : platform::TextEncoding::Utf8, {}};
    QString failure;
    if (!palettes::writePalette(saving.held.paths, saving.held.volumes, saving.bytes, failure,
                                saving.encoding)) {
        dialogs_.MsgBox(
            failure + QStringLiteral("\r\n") + platform::toNativePath(File1.Path() + name),
            platform::kIconWarning, QString());
        return;
    }
    // As last seen here; a name never seen here must not be there, unless
    // the operator just agreed to overwrite it.
    std::optional<platform::FolderWorker::Stamp> expected;
    if (const auto seen = stamps_.find(name); seen != stamps_.end()) {
        expected = seen->second;
    } else if (!listed(name)) {
        expected = platform::FolderWorker::Stamp{};
    }
    saving.ticket = folder->write(name, saving.bytes, expected);
    saving_ = saving;
    File1.Run(saving_.ticket);
}

void F1a::saved(const platform::FolderWorker::Done& done) {
    if (done.ticket != saving_.ticket) return;
    saving_.ticket = 0;
    const QString path = platform::toNativePath(File1.Path() + done.name);
    if (done.changedElsewhere) {
        const int32_t answer = dialogs_.MsgBox(
            done.name + QStringLiteral(" a été modifiée sur un autre poste. Écraser ?"),
            platform::kIconQuestion + platform::kButtonsYesNo + platform::kDefaultSecondButton,
            QString());
        if (answer != platform::kAnswerYes) return;  // nothing written
        platform::FolderWorker* folder = File1.Folder();
        if (folder == nullptr) return;
        saving_.ticket = folder->write(done.name, saving_.bytes, std::nullopt);
        File1.Run(saving_.ticket);
        return;
    }
    if (!done.failure.isEmpty()) {
        // The palette file on disk is the one from before.
        dialogs_.MsgBox(done.failure + QStringLiteral("\r\n") + path, platform::kIconWarning,
                        QString());
        return;
    }
    stamps_[done.name] = done.stamp;
    BankName->setCaption(done.name);
    paletteEncoding_ = saving_.encoding;
    savedSlots_ = saving_.held;
    File1.Refresh();
    ComboBank->setText(done.name);  // selected, not loaded again: it holds what the slots hold
}

bool F1a::listed(const QString& name) const {
    for (int32_t k = 0; k < File1.ListCount(); ++k) {
        if (File1.List(k) == name) return true;
    }
    return false;
}

F1a::SlotSet F1a::slotSet() const {
    SlotSet held;
    for (int16_t i = 0; i < kSlots; ++i) {
        held.paths[static_cast<size_t>(i)] = Player[i]->FileName();
        held.volumes[static_cast<size_t>(i)] = Slider[i]->Value();
    }
    return held;
}

void F1a::Supprimer_Click() {
    if (locked()) return;
    if (ComboBank->ListIndex() < 0) return;
    platform::FolderWorker* folder = File1.Folder();
    if (folder == nullptr) return;
    const QString path = platform::toNativePath(File1.Path() + ComboBank->Text());
    const int32_t answer = dialogs_.MsgBox(
        path, platform::kIconError + platform::kButtonsYesNo + platform::kDefaultSecondButton,
        QStringLiteral("Suppression"));
    if (answer != platform::kAnswerYes) return;
    File1.Run(folder->remove(ComboBank->Text()));
}

void F1a::removed(const platform::FolderWorker::Done& done) {
    if (!done.failure.isEmpty()) {
        dialogs_.MsgBox(done.failure + QStringLiteral("\r\n") +
                            platform::toNativePath(File1.Path() + done.name),
                        platform::kIconWarning, QString());
    }
    stamps_.erase(done.name);
    File1.Refresh();
}

}  // namespace tambrel::app
