#pragma once

// The audio engine as the control thread (the window's thread) sees it:
// load files, start, stop, seek and turn voices up or down on any output
// device, and learn, by polling, which playbacks have ended.
//
// Every call here is made from one control thread. The engine owns the
// stream worker (decoding ahead, freeing), one mixer per device in use, and
// the devices themselves, opened on first use and shared by every voice on
// them. A device that goes away ends the playbacks on it; a later start
// opens it again by name once it is back.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/decoder.h"

namespace tambrel::audio {

class AudioOutput;
class Mixer;
struct MixerCommand;
class OutputBackend;
class Sound;
class StreamWorker;

// Frames per device period: the mix is made this many frames at a time, and
// the sound server is asked to request this much at a time while keeping at
// least PulseBackend::kServerPeriods periods (384 frames, 8.7 ms) queued, more
// on a machine that runs short. What is queued is what a start waits behind,
// so it is the latency; too little and a busy machine leaves gaps.
// 96 frames, four queued: the shortest queue that ran clean under load on the
// build machine; smaller requests did no better (docs/performance.md).
inline constexpr int kPeriodFrames = 96;

class AudioEngine {
  public:
    struct Options {
        int sampleRate = 44100;
        int periodFrames = kPeriodFrames;
        SourceOpener opener = openSndfile;
    };

    explicit AudioEngine(std::unique_ptr<OutputBackend> backend);
    AudioEngine(std::unique_ptr<OutputBackend> backend, Options options);
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    int sampleRate() const { return options_.sampleRate; }

    // Opens a file and decodes its head before returning; never fails (a
    // sound that cannot be played has length 0).
    std::shared_ptr<Sound> load(const std::string& nativePath);
    // A sound loaded on another thread (Sound::load, with this rate and
    // opener) is read ahead from now on: by the worker of the local disks,
    // or by its share's own, so that a share that stalls starves only the
    // sounds it holds. The engine's thread (the window's) only.
    void adopt(const std::shared_ptr<Sound>& sound);
    const SourceOpener& opener() const { return options_.opener; }
    // Sounds loaded while a batch is open are read ahead once it closes (or
    // once one of them starts): the stream worker would otherwise decode each
    // new head on the window's core while the rest of a palette loads, and
    // stretch the load on a busy machine. Batches nest.
    class LoadBatch {
      public:
        explicit LoadBatch(AudioEngine& engine);
        ~LoadBatch();
        LoadBatch(const LoadBatch&) = delete;
        LoadBatch& operator=(const LoadBatch&) = delete;

      private:
        AudioEngine& engine_;
    };

    // The devices present now, in the sound system's order.
    std::vector<std::string> deviceNames();
    // True when deviceNames() may answer differently than last time; cheap
    // enough to ask on every turn of the window's timer.
    bool devicesMayHaveChanged();
    // The device the system's default plays on now, by its name in
    // deviceNames(); nullopt when the sound system cannot tell. Never waits.
    std::optional<std::string> defaultDeviceName();
    // Why no sound can be played at all, or the empty text.
    std::string backendProblem();
    // Why a start on `device` failed: the backend's problem, or the device
    // not answering; the empty text when neither is known.
    std::string startProblem(const std::optional<std::string>& device);

    // Opens a device (nullopt: the default) ahead of its first start, so
    // that the first start is as quick as the others and the device's queue
    // fits itself to the machine while nothing sounds yet. False when the
    // device cannot be opened now; true also while the server opens it.
    bool prepare(const std::optional<std::string>& device);

    // A voice plays one playback at a time. -1 when every voice is taken.
    int createVoice();
    void destroyVoice(int voice);

    // Starts `sound` from its beginning on the named device (nullopt: the
    // system default). False, and nothing sounds, then or later, when the
    // sound cannot be played or the device cannot start it now (not open,
    // still opening after a few milliseconds, or its server not asking).
    bool play(int voice, const std::shared_ptr<Sound>& sound,
              const std::optional<std::string>& device, float gain);
    // Fades the playback out; true when it was sounding.
    bool stop(int voice);
    // Lowers the playback to silence over `ms` milliseconds, where it ends
    // as at the end of its data (pump() reports it); it sounds meanwhile,
    // and a stop() cuts it. True when it was sounding.
    bool fadeOut(int voice, int ms);
    void seek(int voice, int64_t frame);
    void setGain(int voice, float gain);
    // When on, a playback that reaches the end of its data goes on from the
    // start instead of ending; it holds for the voice's later playbacks too.
    void setRepeat(int voice, bool on);

    // Sounding from play() until stop() or the end of the data.
    bool sounding(int voice) const;
    // True when the voice's last playback ended because its device went away.
    bool deviceLost(int voice) const;
    // True when the voice's last playback never began: its device took the
    // start up too late (see AudioOutput::lateStartLimit).
    bool startedLate(int voice) const;
    // Frames from the start of the sound of the current or last playback.
    int64_t position(int voice) const;

    // What the current or last playback of a voice put on the air: the
    // frames that sounded (a repeating voice's every lap), the times it went
    // on from the start by itself, the periods with a gap in it (its
    // read-ahead dry, or its device short), and when its first and last
    // frames were taken by the device, on the steady clock, as the device's
    // frame count places them (none before any frame went). Only what the
    // device took counts: a mix queued ahead and then mixed again does not.
    struct Aired {
        int64_t frames = 0;
        uint32_t laps = 0;
        uint64_t gaps = 0;
        uint32_t dryPeriods = 0;  // of those, its read-ahead's: its file came too slowly
        std::optional<std::chrono::steady_clock::time_point> first, last;
    };
    Aired aired(int voice) const;

    // Looks for playbacks that ended by themselves (end of data, lost
    // device) since the last call and returns their voices, each once, and
    // lets every open device fit its queue to how the machine keeps up.
    std::vector<int> pump();
    // The same, at a given time of the steady clock (tests drive it).
    std::vector<int> pump(std::chrono::steady_clock::time_point now);
    // Milliseconds kept queued ahead of a device (nullopt: the default), which
    // a start waits behind; 0 while it is not open or cannot tell.
    double queuedMs(const std::optional<std::string>& device) const;
    // Milliseconds mixed ahead at a device beyond those, which a start does
    // not wait behind (see AudioOutput::reserveFrames); 0 when it keeps none.
    double reserveMs(const std::optional<std::string>& device) const;
    // Time the devices' threads spent mixing again what they had mixed ahead.
    std::chrono::nanoseconds remixTime() const;

    // Periods not filled on time, on every output or on one (nullopt: the default).
    uint64_t underruns() const;
    uint64_t underruns(const std::optional<std::string>& device) const;
    // Of those, the periods in which a voice's read-ahead ran dry.
    uint64_t dryPeriods() const;
    // Periods in which a voice, silent after a seek, waited for the data at
    // its new place; not counted as underruns.
    uint64_t seekWaitPeriods() const;
    // True when every loaded sound's read-ahead is full just now (a device
    // pulling faster than real time, as a test does, can wait for it).
    bool readAheadFilled() const;
    size_t liveSounds() const;

  private:
    struct Device;
    struct VoiceState;

    Device* device(const std::optional<std::string>& name);
    bool send(int voice, Device* device, MixerCommand command);
    StreamWorker& workerFor(const Sound& sound);
    void wakeWorkers();

    Options options_;
    std::unique_ptr<OutputBackend> backend_;
    std::unique_ptr<StreamWorker> worker_;  // the local disks'
    std::vector<std::pair<uint64_t, std::unique_ptr<StreamWorker>>> shareWorkers_;
    int batches_ = 0;  // LoadBatches open
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<VoiceState> voices_;
};

}  // namespace tambrel::audio
