#pragma once

// A file's loudness as broadcast measures it (EBU R128, ITU-R BS.1770):
// integrated loudness, loudness range and true peak, of the whole file as
// the engine plays it (downmixed to stereo, at the file's own rate), and
// the gain that brings it to a target without passing a true-peak ceiling.
// Measuring decodes the whole file: never on the window's or audio thread.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/audio/decoder.h"

namespace tambrel::audio {

struct Loudness {
    // TooShort: under the 400 ms the measure's gate needs; Silent: long
    // enough, but nothing above the gate. Neither is normalised.
    enum class Kind : uint8_t { Measured, TooShort, Silent, Unreadable };
    Kind kind = Kind::Unreadable;
    double lufs = 0.0;  // integrated, LUFS
    double lra = 0.0;   // loudness range, LU
    double peak = 0.0;  // true peak, dBTP; kNoPeakDb for a file of zeros
    bool operator==(const Loudness&) const = default;
};

// The ceiling a normalised slot's true peak is held to.
inline constexpr double kNormalPeakDb = -1.0;
inline constexpr double kNoPeakDb = -200.0;

// `stop`, when set, ends a long measure early (Unreadable).
Loudness measureLoudness(const std::string& nativePath, SourceOpener opener = openSndfile,
                         const std::atomic<bool>* stop = nullptr);

// The gain in dB that brings `loudness` to `targetLufs`, lowered so that its
// true peak stays at or under kNormalPeakDb; 0 for a file not measured.
double normalisingGainDb(const Loudness& loudness, double targetLufs);

}  // namespace tambrel::audio
