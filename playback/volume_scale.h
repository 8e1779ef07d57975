#pragma once

// The volume scale the sliders, the players and the palette files share:
// 0 is silence, 16384 unity gain, 17000 the top (+1 dB).

#include <cstdint>

namespace tambrel::playback {

inline constexpr int32_t kVolumeSilent = 0;
inline constexpr int32_t kVolumeUnity = 16384;
inline constexpr int32_t kVolumeMax = 17000;

}  // namespace tambrel::playback
