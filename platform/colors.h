#pragma once

// Colours as the program stores them: a 24-bit RGB value in a signed 32-bit
// integer with red in the low byte (red + 256 × green + 65536 × blue).

#include <QColor>
#include <cstdint>

namespace tambrel::platform {

inline constexpr int32_t rgb(int red, int green, int blue) {
    return red + 256 * green + 65536 * blue;
}

inline QColor toQColor(int32_t value) {
    return QColor(value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff);
}

inline int32_t fromQColor(const QColor& color) {
    return rgb(color.red(), color.green(), color.blue());
}

// The fixed 16-colour table; an index outside 0 to 15 gives black.
int32_t QBColor(int index);

// The table's entries the slots use.
inline constexpr int kQBDarkRed = 4;  // a slot fading out: still on air, going
inline constexpr int kQBBlue = 9;     // a playing slot's bar
inline constexpr int kQBRed = 12;     // a slot on air
inline constexpr int kQBYellow = 14;  // the locked palette's word
inline constexpr int kQBWhite = 15;   // a slot just stopped; the end warning's other phase

}  // namespace tambrel::platform
