#pragma once

// How many slots a palette has: 7 lines of 4 buttons, "A" to "Z", then "["
// and "\". The palette file, the window's control arrays, the as-run log and
// the remote surfaces all count on this one number.

#include <cstdint>

namespace tambrel {

inline constexpr int16_t kSlots = 28;

}  // namespace tambrel
