// The checks and set-up of every start: the audio back end, which must start
// and list an output, the launcher on the user's desktop, and where the
// paths of palettes made on Windows lead.

#include <QDir>
#include <QFileInfo>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "platform/desktop_shortcut.h"
#include "platform/drive_mapping.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/system.h"
#include "playback/audio_host.h"

namespace tambrel::app {

void checkAudioBackEnd(playback::AudioHost& audio, platform::Dialogs& dialogs) {
    const std::string problem = audio.engine().backendProblem();
    if (problem.empty()) return;
    // The window opens all the same: palettes can be edited, and a press on
    // a slot plays nothing until a device works.
    dialogs.MsgBox(
        QStringLiteral("La sortie audio ne fonctionne pas :\r\n") + QString::fromStdString(problem),
        platform::kIconWarning, QString());
}

void readDriveMapping(const QString& programFolder, playback::AudioHost& audio,
                      platform::Dialogs& dialogs) {
    platform::DriveMapping drives(programFolder);
    const QString path = programFolder + QStringLiteral("Lecteurs.ini");
    if (QFileInfo(path).exists()) {
        QByteArray bytes;
        QString failure;
        if (!platform::readFileBytes(path, bytes, failure)) {
            dialogs.MsgBox(failure + QStringLiteral("\r\n") + path, platform::kIconWarning,
                           QString());
        } else if (const auto bad = drives.read(bytes); !bad.empty()) {
            QString message =
                QStringLiteral("Lignes incomprises, ignorées, dans ") + path + QStringLiteral(" :");
            for (const auto& line : bad) {
                message += QStringLiteral("\r\nligne %1 : %2").arg(line.number).arg(line.text);
            }
            message += QStringLiteral("\r\nUne ligne s'écrit ainsi : C:\\Jingles=/srv/jingles");
            dialogs.MsgBox(message, platform::kIconWarning, QString());
        }
    }
    audio.setDrives(std::move(drives));
}

int copyOperatorFiles(const QString& from, const QString& to) {
    if (QFileInfo::exists(to)) return 0;
    QDir().mkpath(to);
    int copied = 0;
    const auto copyFiles = [&](const QString& sub, const QStringList& names) {
        const QDir source(from + sub);
        if (!source.exists() || !QDir().mkpath(to + sub)) return;
        // One folder each, no deeper: the copy stays as small as the operator's files.
        for (const QFileInfo& file : source.entryInfoList(names, QDir::Files, QDir::Name)) {
            if (QFile::copy(file.filePath(), to + sub + file.fileName())) ++copied;
        }
    };
    copyFiles(QString(), {QStringLiteral("*.bnk"), QStringLiteral("Tambrel.ini"),
                          QStringLiteral("Options.ini"), QStringLiteral("Lecteurs.ini"),
                          QStringLiteral("Telecommande.ini")});
    copyFiles(QStringLiteral("Journal/"), {QStringLiteral("*")});
    return copied;
}

void F1a::CreateShortcut() {
    // The launcher starts the executable, wherever the operator's files are;
    // a copy of the program under another name places none.
    QString exe = platform::toSystemPath(system_.exeFolder());
    if (!exe.endsWith(u'\\')) exe += u'\\';
    if (!platform::FileExists(exe + QStringLiteral("Tambrel"))) return;
    const QString folder = platform::toNativePath(exe);
    platform::createDesktopShortcut(QStringLiteral("Tambrel"), folder + QStringLiteral("Tambrel"),
                                    QString(), folder + QStringLiteral("tambrel.png"));
}

}  // namespace tambrel::app
