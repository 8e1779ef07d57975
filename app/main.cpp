// Tambrel, a jingle palette for radio studios.

#include <QApplication>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "platform/audio/system_output.h"
#include "platform/dialogs.h"
#include "platform/end_requests.h"
#include "platform/file_limit.h"
#include "platform/heap_arenas.h"
#include "platform/path_form.h"
#include "platform/report.h"
#include "platform/system.h"
#include "platform/translations.h"
#include "playback/audio_host.h"
#include "remote/remote_hub.h"

int main(int argc, char* argv[]) {
    tambrel::platform::limitHeapArenas();  // before any thread starts
    // Before the display connection and the audio open: room for them whatever pages do.
    if (!tambrel::platform::raiseFileLimit()) {
        tambrel::platform::report("limite de fichiers ouverts non relevée");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tambrel"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tambrel"));
    // The boxes' buttons and the file dialog in French, as everything else.
    const tambrel::platform::QtTranslations translations;

    tambrel::platform::QtSystem system;
    tambrel::platform::QtDialogs dialogs;
    auto output = tambrel::audio::systemOutput();
    // Mixed at the rate the devices run at, nothing is resampled after the mix.
    tambrel::audio::AudioEngine::Options options;
    if (const int rate = output->preferredRate(); rate > 0) options.sampleRate = rate;
    tambrel::playback::AudioHost audio(std::move(output), options);
    std::unique_ptr<tambrel::app::F1a> window;
    // Asked to end from outside (a shutdown, a logout, a signal): the
    // settings are saved as on closing; a signal then ends the program.
    const tambrel::platform::EndRequests endRequests([&](int signal) {
        if (window) window->endOfSession();
        if (signal != 0) system.terminate();
    });
    window = tambrel::app::Main(system, dialogs, audio);
    dialogs.setParent(window.get());
    // Ends before the window it acts on.
    const std::unique_ptr<tambrel::remote::RemoteHub> remote = tambrel::remote::startRemote(
        *window, tambrel::platform::toNativePath(window->ProgramFolder));
    return QApplication::exec();
}
