// The settings file applied to the window, and the two ways of ending: the
// "Quitter" entry and closing the window, each writing the file once.

#include <QCloseEvent>
#include <cstdio>

#include "app/palette_window.h"
#include "app/settings_file.h"
#include "journal/air_log.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/system.h"
#include "playback/audio_host.h"

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
    } else if (Mode == QStringLiteral("Save")) {
        std::array<int32_t, kSettingsColors> colors{};
        for (int16_t j = 0; j < kLines; ++j)
            colors[static_cast<size_t>(j)] = Couleur[j]->BackColor();
        const QString device = outputDeviceName(Output->ListIndex());
        if (platform::writeFileAtomically(path, writeSettings(device, colors, settingsEncoding_),
                                          failure)) {
            return;
        }
    } else {
        return;
    }
    // One failure path for both: say it, and leave no settings file behind,
    // so that the next start begins from the defaults. At the session's end
    // no one may be there to answer a box, which would hold up the shutdown.
    const QString message = failure + QStringLiteral("\r\n") + path;
    if (sessionEnding_) {
        std::fprintf(stderr, "Tambrel: %s\n", qPrintable(message));
    } else {
        dialogs_.MsgBox(message, platform::kIconError, QString());
    }
    QString ignored;
    if (platform::FileExists(SettingsPath)) platform::deleteFile(path, ignored);
}

void F1a::Form_Unload() {
    SettingsFile(QStringLiteral("Save"));
    endAirLog();
}

void F1a::MnuQuitter_Click() {
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

void F1a::endOfSession() {
    if (!settingsLoaded_) return;  // nothing of the operator's to keep yet
    sessionEnding_ = true;
    SettingsFile(QStringLiteral("Save"));
    endAirLog();
    sessionEnding_ = false;
}

void F1a::closeEvent(QCloseEvent* event) {
    Form_Unload();  // the closing is never cancelled
    event->accept();
}

}  // namespace tambrel::app
