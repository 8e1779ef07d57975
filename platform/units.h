#pragma once

// Places and sizes are in twips, 15 to a pixel.

namespace tambrel::platform {

inline constexpr int kTwipsPerPixel = 15;

}  // namespace tambrel::platform
