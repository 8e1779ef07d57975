#pragma once

// The entry procedure: creates the palette window (which refuses a second
// copy of the program) and shows it. The program then lives in the window
// system's event loop.

#include <QString>
#include <memory>

namespace tambrel::platform {
class Dialogs;
class System;
}  // namespace tambrel::platform
namespace tambrel::playback {
class AudioHost;
}

namespace tambrel::app {

class F1a;

std::unique_ptr<F1a> Main(platform::System& system, platform::Dialogs& dialogs,
                          playback::AudioHost& audio);

// Says so when the audio back end does not start or lists no output.
void checkAudioBackEnd(playback::AudioHost& audio, platform::Dialogs& dialogs);

// Gives the players the mapping of Windows paths in "Lecteurs.ini" in the
// program folder (native, ending in "/"), and says once which of its lines
// were not understood.
void readDriveMapping(const QString& programFolder, playback::AudioHost& audio,
                      platform::Dialogs& dialogs);

// Copies an older copy's operator's files (palettes, settings, drive mapping,
// remote settings, the as-run log) from `from` into `to` when `to` is not
// there yet; `to` is there afterwards. Nothing is moved, removed or
// replaced: a folder already there holds newer files. Returns how many files
// were copied.
int copyOperatorFiles(const QString& from, const QString& to);

}  // namespace tambrel::app
