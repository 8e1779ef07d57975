// The checks and set-up of every start: the audio back end, which must start
// and list an output, and the launcher on the user's desktop.

#include "app/palette_window.h"
#include "app/start_up.h"
#include "platform/desktop_shortcut.h"
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
        platform::vbExclamation, QString());
}

void F1a::CreateShortcut() {
    ProgramFolder = platform::toSystemPath(system_.exeFolder());
    if (!ProgramFolder.endsWith(u'\\')) ProgramFolder += u'\\';
    // A copy of the program under another name places no launcher.
    if (!platform::FileExists(ProgramFolder + QStringLiteral("Tambrel"))) return;
    const QString folder = platform::toNativePath(ProgramFolder);
    platform::createDesktopShortcut(QStringLiteral("Tambrel"), folder + QStringLiteral("Tambrel"),
                                    QString(), folder + QStringLiteral("tambrel.png"));
}

}  // namespace tambrel::app
