// The settings file applied to the window, and the two ways of ending: the
// "Quitter" entry and closing the window, each writing the file once, and
// each asking first while something sounds.

#include <QCloseEvent>

#include "app/palette_window.h"
#include "app/settings_file.h"
#include "journal/air_log.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/report.h"
#include "platform/system.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

void F1a::SettingsFile(const QString& Mode) {
    const QString path = platform::toNativePath(SettingsPath);
    QString failure;
    if (Mode == QStringLiteral("Load")) {
        if (!platform::FileExists(SettingsPath)) {
            for (int16_t j = 0; j < kLines; ++j) Couleur[j]->setBackColor(kDefaultLineColors[j]);
            return;
        }
        QByteArray bytes;
        SettingsContent content;
        if (platform::readFileBytes(path, bytes, failure)) {
            content = readSettings(bytes);
            failure = content.error;
            settingsEncoding_ = content.encoding;
        }
        // What was read before a failure stays applied.
        for (size_t j = 0; j < content.colors.size(); ++j) {
            Couleur[j]->setBackColor(content.colors[j]);
        }
        if (failure.isEmpty()) {
            for (int32_t k = 0; k < Output->ListCount(); ++k) {
                if (outputDeviceName(k) == content.device) {
                    Output->setListIndex(k);  // as the operator's choice: every player moves
                    return;
                }
            }
            // A device chosen in an earlier run and not plugged in now stays
            // the choice: shown absent, and used as soon as it appears.
            if (!content.device.trimmed().isEmpty()) {
                audio_.remember(content.device.toStdString());
                Output_Refresh();
                Output->setListIndex(Output->ListCount() - 1);
            }
            return;
        }
        // A damaged file is reported and removed, so that the next start
        // begins from the defaults.
        dialogs_.MsgBox(failure + QStringLiteral("\r\n") + path, platform::kIconError, QString());
        QString ignored;
        if (platform::FileExists(SettingsPath)) platform::deleteFile(path, ignored);
    } else if (Mode == QStringLiteral("Save")) {
        if (saveSettings(failure)) return;
        // The file from before stays as it was: a failed write never costs
        // the operator their settings. At the session's end no one may be
        // there to answer a box, which would hold up the shutdown.
        const QString message = failure + QStringLiteral("\r\n") + path;
        if (sessionEnding_) {
            platform::report(message);
        } else {
            dialogs_.MsgBox(message, platform::kIconError, QString());
        }
    }
}

// Written whole beside the old file, then put in its place: the old file
// stays until the new one is complete.
bool F1a::saveSettings(QString& failure) {
    std::array<int32_t, kSettingsColors> colors{};
    for (int16_t j = 0; j < kLines; ++j) colors[static_cast<size_t>(j)] = Couleur[j]->BackColor();
    const QString device = outputDeviceName(Output->ListIndex());
    return platform::writeFileAtomically(platform::toNativePath(SettingsPath),
                                         writeSettings(device, colors, settingsEncoding_), failure);
}

// A setting the operator changed is kept at once, so that a crash or a
// power cut does not lose it; a failure is said on the window, as a box
// would hold up the slots.
void F1a::settingsChanged() {
    if (!settingsLoaded_) return;  // what start-up applies is no change
    QString failure;
    if (saveSettings(failure)) return;
    showMessage(QStringLiteral("Réglages non enregistrés : ") + failure + QStringLiteral(" — ") +
                platform::toNativePath(SettingsPath));
}

// While something sounds, or the slots hold what no palette file does, the
// operator is asked first: one click must not cut what is on air, nor lose
// an hour of preparation. Otherwise the program ends at once.
bool F1a::mayEnd() {
    constexpr int32_t kAsk =
        platform::kIconQuestion + platform::kButtonsYesNo + platform::kDefaultSecondButton;
    bool sounding = false;
    for (int16_t i = 0; i < kSlots; ++i) sounding |= slotPlaying(i);
    if (sounding &&
        dialogs_.MsgBox(QStringLiteral("Des touches jouent encore. Quitter quand même ?"), kAsk,
                        QString()) != platform::kAnswerYes) {
        return false;
    }
    if (!slotsChanged()) return true;
    const QString palette = BankName->Caption();
    const QString what =
        palette.isEmpty()
            ? QStringLiteral("Les touches ont changé et ne sont enregistrées dans aucune palette.")
            : QStringLiteral("Les touches ont changé depuis le dernier enregistrement de ") +
                  palette + u'.';
    return dialogs_.MsgBox(what + QStringLiteral(" Quitter sans enregistrer ?"), kAsk, QString()) ==
           platform::kAnswerYes;
}

void F1a::Form_Unload() {
    SettingsFile(QStringLiteral("Save"));
    endAirLog();
}

void F1a::MnuQuitter_Click() {
    if (!mayEnd()) return;
    SettingsFile(QStringLiteral("Save"));
    endAirLog();
    system_.terminate();
}

// What still sounds is written as ended by the program's end, before the
// program goes.
void F1a::endAirLog() {
    if (!airLog_) return;
    airLog_->endAll(journal::EndReason::ProgramEnd);
    airLog_->writer().settle();
}

// Never asks: no one may be there to answer.
void F1a::endOfSession() {
    if (!settingsLoaded_) return;  // nothing of the operator's to keep yet
    sessionEnding_ = true;
    SettingsFile(QStringLiteral("Save"));
    endAirLog();
    sessionEnded_ = true;
    sessionEnding_ = false;
}

void F1a::closeEvent(QCloseEvent* event) {
    if (!sessionEnded_ && !mayEnd()) {
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

}  // namespace tambrel::app
