#pragma once

// The slot's audio player: one file, one volume, one output device, and the
// OnStop event at the end of every playback. Times are milliseconds of the
// file as 32-bit integers; the volume runs on the slider's scale.
//
// Writing FileName has the file found and the start of it prepared in
// memory off the window's thread (AudioHost::load); OnLoaded tells when it
// is, and from then Play sounds in the next audio period. Writing it while
// the player plays lets the sounding file play on: until it stops, State,
// Position and Length describe it, and the next Play plays the new file.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/audio_engine.h"
#include "platform/audio/loudness.h"
#include "playback/audio_host.h"
#include "playback/component_error.h"
#include "playback/loudness_meter.h"
#include "playback/sound_loader.h"
#include "playback/volume_scale.h"

namespace tambrel::audio {
class Sound;
}

namespace tambrel::playback {

class AudioHost;

// The gain of a volume on the shared scale: it follows the cube of the
// fader position, the usual audio taper: half travel is about -18 dB, a
// tenth about -60 dB, and each step up is louder than the one before.
float volumeGain(int32_t volume);
// A gain in dB as a factor.
float linearGain(double db);

class MMAudioPlayerX {
  public:
    static constexpr int32_t kStatePlaying = 6;
    static constexpr int32_t kStateStopped = 1;  // a file is held, silent
    static constexpr int32_t kStateClosed = 0;   // no file
    // The device numbers DeviceName answers: the system's default, then
    // the first eleven devices.
    static constexpr int32_t kFirstDevice = -1;
    static constexpr int32_t kLastDevice = 10;

    MMAudioPlayerX(AudioHost& host, int16_t index);
    ~MMAudioPlayerX();
    MMAudioPlayerX(const MMAudioPlayerX&) = delete;
    MMAudioPlayerX& operator=(const MMAudioPlayerX&) = delete;

    int16_t index() const { return index_; }

    // The path as a palette or the file dialog gives it (platform/drive_mapping.h
    // says where it leads); the empty text unloads.
    // Never fails: a file that cannot be played gives Length 0, and
    // FileProblem() says why, once it is loaded.
    void setFileName(const QString& path);
    QString FileName() const { return fileName_; }
    // A load is under way: the file written, or one looked for again.
    bool Loading() const { return loading_ != 0; }
    // The file written is loaded and can be played.
    bool Ready() const { return done_ && playable(); }
    // While loading: the mount that has not answered for a while, or nothing.
    QString WaitsOn() const;
    // Why the file last written cannot be played (missing, unreadable, its
    // share not answering), or nothing; nothing while it loads.
    std::optional<ComponentError> FileProblem() const;
    // A file that could not be played is looked for again (a network share
    // back online, a file copied in place since); OnLoaded tells what came.
    void reloadIfUnplayable();
    // Raised on the window's thread when the file written is loaded, or
    // looked for again, playable or not.
    std::function<void(int16_t index)> OnLoaded;

    int32_t Length() const;
    int32_t Position() const;
    void setPosition(int32_t ms);  // while playing: continues from there
    int32_t State() const;

    // Throws ComponentError when the file cannot be played or the device
    // is absent or cannot be opened; nothing sounds then. A player that
    // pre-listens starts again from the beginning on its own device.
    void Play();
    // Plays from the start on another device, by name, for the operator's
    // ears only; the same failures as Play.
    void PlayOn(const QString& device);
    // Sounding on the device PlayOn named.
    bool Cueing() const { return cueing_ && State() == kStatePlaying; }
    void Stop();
    // Lowers the playback to silence over `ms`, where it ends and OnStop is
    // raised; false when it was not sounding.
    bool FadeOut(int32_t ms);

    int32_t Volume() const { return volume_; }
    void setVolume(int32_t volume);

    // -1: the system's default device; 0 and up: the devices as DeviceName
    // lists them (the host's devices, by name, in the order first seen).
    int32_t DeviceID() const { return deviceId_; }
    void setDeviceID(int32_t id);
    QString DeviceName(int32_t n) const;
    // The device a Play sounds on now, by name: its own, or the one the
    // sound system plays its default on; nullopt when that cannot be told.
    std::optional<QString> PlaysOn();

    // Raised on the window's thread once per playback, after State has left 6.
    std::function<void(int16_t index)> OnStop;

    // When on, a playback that reaches the end of its file goes on from the
    // start instead of ending: the guard under the loop timer's rewind, for
    // a tick that comes too late.
    void setRepeatAtEnd(bool on);

    // The host's report that the playback ended, by itself or by a Stop.
    void raiseOnStop();
    // True during OnStop when the playback ended because its device went away.
    bool EndedByDeviceLoss() const { return endedByLoss_; }
    // True during OnStop when the playback never began: the device took the
    // start up too late, and a jingle late is worse than none.
    bool EndedUnstarted() const { return endedUnstarted_; }
    // The native file the path named when it was loaded.
    const QByteArray& Located() const { return located_; }
    // The loaded file's loudness, once measured.
    std::optional<audio::Loudness> Loudness() const;
    // The normalising gain, in dB, a press now gives it, and the one the
    // current or last playback was given.
    double NormalGainDb() const { return host_.normalGainDb(Loudness()); }
    double PlayGainDb() const { return playGainDb_; }

    // What the current or last playback put on the air, as the engine counts it.
    audio::AudioEngine::Aired aired() const;

    // Settings the window layout gives every player; the engine sizes its own
    // buffers, so they are kept for the record only.
    int32_t BufferSize = 4096;
    int32_t NumBuffers = 50;

  private:
    bool playable() const;
    void request();
    void take(playback::SoundLoader::Result result);
    int64_t toFrames(int32_t ms) const;
    int32_t toMs(int64_t frames) const;
    void resolveDevice();
    void start(const std::optional<std::string>& device, const QString& shown);

    AudioHost& host_;
    int16_t index_;
    int voice_;
    QString fileName_;                        // as the palette or the dialog gave it
    QByteArray located_;                      // the native file it names here
    uint64_t loading_ = 0;                    // the load asked for it last
    std::shared_ptr<audio::Sound> loaded_;    // the file last written, once loaded
    bool missing_ = false;                    // ...was not found
    QString unanswered_;                      // ...its share did not answer
    bool done_ = false;                       // it was loaded, or refused
    std::shared_ptr<audio::Sound> sounding_;  // the file of the current playback
    int32_t volume_ = kVolumeUnity;
    LoudnessMeter::Stamp stamp_;  // which version of the file was loaded
    double playGainDb_ = 0.0;     // chosen at the press, kept while it plays
    int32_t deviceId_ = 0;
    bool deviceResolved_ = false;
    bool deviceMissing_ = false;
    bool defaultDevice_ = false;
    std::string deviceName_;
    bool endedByLoss_ = false;
    bool endedUnstarted_ = false;
    bool cueing_ = false;
};

}  // namespace tambrel::playback
