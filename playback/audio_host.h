#pragma once

// Ties the audio engine to the window's event loop: a precise timer polls
// the engine, and every end of playback, whether the file ran out, the
// device went away or a player was stopped, reaches that player's OnStop on
// the window's thread, once.

#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_engine.h"
#include "platform/audio/loudness.h"
#include "platform/drive_mapping.h"
#include "playback/loudness_meter.h"
#include "playback/sound_loader.h"

namespace tambrel::audio {
class OutputBackend;
}

namespace tambrel::playback {

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
    // Where the players find the files their paths name.
    const platform::DriveMapping& drives() const { return *drives_; }
    void setDrives(platform::DriveMapping drives) {
        drives_ = std::make_shared<const platform::DriveMapping>(std::move(drives));
    }

    // The output devices seen since start, in the order they were first seen.
    // A device that goes away keeps its place, marked absent, so that a
    // number given to the players names the same device for as long as the
    // program runs, and a device that comes back under its name is used again.
    struct Device {
        std::string name;
        bool present = true;
    };
    const std::vector<Device>& devices();
    // Whether the device is here, as the sound system last said (never
    // waiting on it): a start on it has just failed, and the operator must
    // be told why.
    bool present(const std::string& name);
    // A device the operator chose in an earlier run and that is not here
    // now: it takes a place, absent, until it appears.
    void remember(const std::string& name);
    // Raised on the window's thread when a device appeared, went away or
    // came back; the list is looked at again a few times a second, and only
    // asked of the sound system when it says something may have changed.
    std::function<void()> DevicesChanged;

    // Delivers the ends of playback found since the last call. The timer
    // calls it every few milliseconds; tests call it directly.
    void pump();
    // Looks at the devices again now; raises DevicesChanged when something changed.
    void refreshDevices();

    // For the players: a voice, what to call on the window's thread when its
    // playback ended, and when a file it asked for is loaded; -1 when every
    // voice is taken.
    int attach(std::function<void()> ended,
               std::function<void(SoundLoader::Result)> loaded = nullptr);
    // Loads the file a path names for a voice, off the window's thread; the
    // result reaches the voice's `loaded` at a later pump.
    uint64_t load(int voice, const QString& path);
    // Delivers the loads done, waiting up to `wait` for `ticket`'s; true
    // when it was delivered.
    bool awaitLoad(uint64_t ticket, std::chrono::milliseconds wait);
    // The mount a load has waited on past SoundLoader::kNoAnswer, or nothing.
    QString unanswered(uint64_t ticket) const { return loader_.unanswered(ticket); }
    // How long a player waits for its file as it is given one: nothing in
    // the program, whose slots say they load; tests that play at once wait.
    std::chrono::milliseconds loadWait{0};
    void detach(int voice);
    void stopped(int voice);  // a Stop ended this voice's playback

    // Loudness: each playable file is measured off the window's thread, or
    // found among the figures kept in the palette folder.
    void setLoudnessFolder(const QString& nativeFolder) { meter_.setFolder(nativeFolder); }
    void measure(const QByteArray& nativePath, LoudnessMeter::Stamp stamp);
    // Known for that version of the file, or not yet.
    std::optional<audio::Loudness> loudness(const QByteArray& nativePath,
                                            LoudnessMeter::Stamp stamp) const;
    // Raised on the window's thread when a file's figures are known.
    std::function<void(const QByteArray& nativePath)> LoudnessKnown;
    // "Normaliser la sonie": every press brings its file to the target.
    void setNormalising(bool on, double targetLufs);
    bool normalising() const { return normalising_; }
    // The gain in dB a press gives a file: 0 when off or not measured.
    double normalGainDb(const std::optional<audio::Loudness>& loudness) const;
    const LoudnessMeter& meter() const { return meter_; }

  private:
    void deliverLoads(std::vector<SoundLoader::Result> results);

    audio::AudioEngine engine_;
    std::shared_ptr<const platform::DriveMapping> drives_ =
        std::make_shared<const platform::DriveMapping>();
    SoundLoader loader_;
    std::vector<std::function<void()>> players_;                   // each voice's end handler
    std::vector<std::function<void(SoundLoader::Result)>> loads_;  // each voice's load handler
    std::vector<int> stopped_;                                     // voices whose OnStop is due
    std::vector<Device> devices_;
    LoudnessMeter meter_;
    struct Known {
        LoudnessMeter::Stamp stamp;
        audio::Loudness loudness;
    };
    std::map<QByteArray, Known> known_;
    bool normalising_ = false;
    double targetLufs_ = -23.0;
    bool listed_ = false;
    int turnsToDeviceCheck_ = 0;
    QTimer timer_;
};

}  // namespace tambrel::playback
