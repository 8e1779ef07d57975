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
    if (platform::FileExists(File1.Path() + name)) {
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
// the advice of starting a new, empty one.
void F1a::MnuSauverBank_Click() {
    QString name = BankName->Caption();
    const bool named = !name.isEmpty();
    if (!named) {
        name = askPaletteName();
        if (name.isEmpty()) return;
    }
    const SlotSet held = slotSet();
    const QString path = platform::toNativePath(File1.Path() + name);
    const platform::TextEncoding encoding = named ? paletteEncoding_ : platform::TextEncoding::Utf8;
    QByteArray bytes;
    QString failure;
    if (!palettes::writePalette(held.paths, held.volumes, bytes, failure, encoding) ||
        !platform::writeFileAtomically(path, bytes, failure)) {
        // The palette file on disk is the one from before.
        dialogs_.MsgBox(failure + QStringLiteral("\r\n") + path, platform::kIconWarning, QString());
        return;
    }
    BankName->setCaption(name);
    paletteEncoding_ = encoding;
    savedSlots_ = held;
    File1.Refresh();
    File1_PathChange();
    ComboBank->setText(name);  // selected, not loaded again: it holds what the slots hold
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
    if (ComboBank->ListIndex() < 0) return;
    const QString path = platform::toNativePath(File1.Path() + ComboBank->Text());
    const int32_t answer = dialogs_.MsgBox(
        path, platform::kIconError + platform::kButtonsYesNo + platform::kDefaultSecondButton,
        QStringLiteral("Suppression"));
    if (answer != platform::kAnswerYes) return;
    QString failure;
    if (!platform::deleteFile(path, failure)) {
        dialogs_.MsgBox(failure + QStringLiteral("\r\n") + path, platform::kIconWarning, QString());
    }
    File1.Refresh();
    File1_PathChange();
}

}  // namespace tambrel::app
