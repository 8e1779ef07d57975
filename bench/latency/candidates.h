#pragma once

// The players measured. Each runs its trials through the same TrialRunner
// and returns one Record per trial; rows are made from candidate and mode.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/latency/clips.h"
#include "bench/latency/trial.h"

namespace tambrel::bench {

inline constexpr const char* kTambrel = "Tambrel";
inline constexpr const char* kColdStart = "first start of the session";
inline constexpr const char* kAfterFileName = "after setFileName";
inline constexpr const char* kAfterStop = "after Stop";
inline constexpr const char* kAfterEnd = "after its end";

inline constexpr const char* kFresh = "fresh";
inline constexpr const char* kReused = "reused";
inline constexpr const char* kNewProcess = "new process";
// Tambrel's PipeWire output with its quantum held where it was asked.
inline constexpr const char* kPipeWireHeld = "pipewire-held";

struct TambrelFigures {
    uint64_t underruns = 0;  // during the trials: server underflows, late mixes, dry read-ahead
    uint64_t warmUpUnderruns = 0;  // before them, while nothing sounded
    // What a start waits behind at the default device, which the engine
    // lengthens after underflows: at the first trial, the last, the longest.
    double queueStartMs = 0;
    double queueEndMs = 0;
    double queueMaxMs = 0;
    // What is mixed ahead at the sound server beyond that, which a start
    // does not wait behind: at the first trial and the last.
    double reserveStartMs = 0;
    double reserveEndMs = 0;
    // Stops of the loud WAV while it sounds: to the fade under way, to silence.
    std::vector<double> stopFadeMs;
    std::vector<double> stopSilentMs;
    std::vector<std::string> stopProblems;
};

// MMAudioPlayerX as the window drives it, on PipeWire's own stream
// ("pipewire", or "pipewire-held" with its quantum held), the sound server's
// through libpulse ("pulse") or SDL ("sdl") with `period` frames
// per device period; `perCell` trials for each case and format, and four times as many stops
// of a sounding slot. A `warmUp` above zero opens the device that long before the first trial,
// as the window does at start.
std::vector<Record> runTambrel(TrialRunner& runner, const std::vector<Clip>& clips,
                               const std::string& output, int period, int perCell,
                               std::chrono::seconds warmUp, TambrelFigures& figures);

// QMediaPlayer with a QAudioOutput on whatever backend Qt Multimedia chose:
// a new player per trial (loaded before the trigger), then one player per
// file, stopped and started again.
std::vector<Record> runQMediaPlayer(TrialRunner& runner, const std::vector<Clip>& clips, int trials,
                                    const std::string& candidate);

// QSoundEffect, one per WAV file, stopped and started again.
std::vector<Record> runQSoundEffect(TrialRunner& runner, const std::vector<Clip>& clips,
                                    int trials);

// A command-line player (paplay, pw-play), a new process per trial, the
// candidate named after it.
std::vector<Record> runCommand(TrialRunner& runner, const std::vector<Clip>& clips, int trials,
                               const std::string& command);

// Which Qt Multimedia backend this process loaded: "gstreamer", "ffmpeg" or "none".
std::string loadedMediaBackend();

}  // namespace tambrel::bench
