#pragma once

// Ties the audio engine to the window's event loop: a precise timer polls
// the engine, and every end of playback, whether the file ran out, the
// device went away or a player was stopped, reaches that player's OnStop on
// the window's thread, once.

#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_engine.h"

namespace tambrel::audio {
class OutputBackend;
}

namespace tambrel::playback {

class MMAudioPlayerX;

class AudioHost {
  public:
    // The program's host plays through the sound system; tests pass a null
    // backend and drive its clock.
    explicit AudioHost(std::unique_ptr<audio::OutputBackend> backend,
                       audio::AudioEngine::Options options = {});
    ~AudioHost();
    AudioHost(const AudioHost&) = delete;
    AudioHost& operator=(const AudioHost&) = delete;

    audio::AudioEngine& engine() { return engine_; }

    // The devices present, as the engine lists them, asked for once per turn
    // of the pump: filling the output list name by name, or every player
    // taking the chosen device, asks the sound server once, not each time.
    const std::vector<std::string>& deviceNames();

    // Delivers the ends of playback found since the last call. The timer
    // calls it every few milliseconds; tests call it directly.
    void pump();

    // For the players.
    int attach(MMAudioPlayerX* player);
    void detach(int voice);
    void stopped(int voice);  // a Stop ended this voice's playback

  private:
    audio::AudioEngine engine_;
    std::vector<MMAudioPlayerX*> players_;             // by voice; not owned
    std::vector<int> stopped_;                         // voices whose OnStop is due
    std::optional<std::vector<std::string>> devices_;  // until the next pump
    QTimer timer_;
};

}  // namespace tambrel::playback
