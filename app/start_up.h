#pragma once

// The entry procedure: creates the palette window (which refuses a second
// copy of the program) and shows it. The program then lives in the window
// system's event loop.

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

}  // namespace tambrel::app
