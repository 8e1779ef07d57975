#pragma once

// The drawing routines that give the windows their look: a colour gradient
// over a whole surface, and bevelled frames, sunken or raised. Each leaves
// the surface's drawing settings as it found them.

#include <cstdint>
#include <optional>

namespace tambrel::platform {
class Dialogs;
class DrawingSurface;
}  // namespace tambrel::platform

namespace tambrel::draw {

// Frame styles.
inline constexpr int16_t Enfonce = 0;  // sunken: top and left in the colour, bottom and right white
inline constexpr int16_t Relief = -1;  // raised: top and left white, bottom and right in the colour

// 256 bands over the whole surface, rows when `horizontal`, columns when
// `vertical`, in the chosen components; the level changes every `step`-th
// band over the first 100 bands and at every band after that. Without a
// colour the gradient is blue; without a direction, vertical.
void DrawGradient(platform::DrawingSurface& surface, std::optional<bool> red = {},
                  std::optional<bool> green = {}, std::optional<bool> blue = {},
                  std::optional<bool> horizontal = {}, std::optional<bool> vertical = {},
                  std::optional<bool> inverse = {}, std::optional<int16_t> step = {});

// `thickness` rings of one pixel around the rectangle (corners in pixels),
// wholly outside it. `colour` indexes the 16-colour table. A style other than
// Enfonce or Relief is reported through `dialogs` and drawn black.
void Draw3dRect(platform::DrawingSurface& surface, platform::Dialogs& dialogs, int16_t left,
                int16_t top, int16_t right, int16_t bottom, int16_t thickness, int16_t style,
                int16_t colour);

// Such a frame `margin` pixels inside the surface's edges.
void Draw3dFrame(platform::DrawingSurface& surface, platform::Dialogs& dialogs, int16_t margin,
                 int16_t thickness, int16_t style, int16_t colour);

}  // namespace tambrel::draw
