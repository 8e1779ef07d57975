#include "draw/drawing.h"

#include <algorithm>
#include <cmath>

#include "platform/colors.h"
#include "platform/dialogs.h"
#include "platform/drawing_surface.h"

namespace tambrel::draw {

namespace {
constexpr int32_t kWhite = 16777215;
constexpr float kGradientScale = 512;
constexpr int kBands = 256;
constexpr int kSlowBands = 100;

// The surface's scale as a routine found it, to be put back when it is done.
class KeptScale {
  public:
    explicit KeptScale(platform::DrawingSurface& surface)
        : surface_(surface),
          mode_(surface.ScaleMode()),
          width_(surface.ScaleWidth()),
          height_(surface.ScaleHeight()) {}
    void restore() {
        surface_.setScaleMode(mode_);
        if (mode_ == platform::DrawingSurface::kUserScale) {
            surface_.setScaleWidth(width_);
            surface_.setScaleHeight(height_);
        }
    }

  private:
    platform::DrawingSurface& surface_;
    int16_t mode_;
    float width_;
    float height_;
};
}  // namespace

void DrawGradient(platform::DrawingSurface& surface, std::optional<bool> red,
                  std::optional<bool> green, std::optional<bool> blue,
                  std::optional<bool> horizontal, std::optional<bool> vertical,
                  std::optional<bool> inverse, std::optional<int16_t> step) {
    const bool r = red.value_or(false);
    const bool g = green.value_or(false);
    const bool b = blue.value_or(false) || (!r && !g);
    const bool rows = horizontal.value_or(false);
    const bool columns = vertical.value_or(!rows) || !rows;  // neither direction: columns
    const bool down = inverse.value_or(true);
    // No step, or none that can be applied: every band changes the level.
    const int every = std::max<int>(1, step.value_or(1));

    const bool keptAutoRedraw = surface.AutoRedraw();
    const int16_t keptWidth = surface.DrawWidth();
    const int16_t keptStyle = surface.DrawStyle();
    const int16_t keptMode = surface.DrawMode();
    KeptScale keptScale(surface);

    surface.setAutoRedraw(true);
    surface.setDrawWidth(2);
    surface.setDrawStyle(6);
    surface.setDrawMode(13);
    surface.setScaleMode(platform::DrawingSurface::kPixels);
    surface.setScaleWidth(kGradientScale);
    surface.setScaleHeight(kGradientScale);

    int level = 0;
    float y = 0;
    float x = 0;
    for (int band = 0; band < kBands; ++band) {
        if (band >= kSlowBands || band % every == 0) ++level;
        const int value = std::clamp(down ? 255 - level : level, 0, 255);
        const int32_t color = platform::rgb(r ? value : 0, g ? value : 0, b ? value : 0);
        if (rows) {
            surface.FillBox(0, y, surface.ScaleWidth(), y + 2, color);
            y += 2;
        }
        if (columns) {
            surface.FillBox(x, 0, x + 2, surface.ScaleHeight(), color);
            x += 2;
        }
    }

    surface.setAutoRedraw(keptAutoRedraw);
    surface.setDrawWidth(keptWidth);
    surface.setDrawStyle(keptStyle);
    surface.setDrawMode(keptMode);
    keptScale.restore();
}

void Draw3dRect(platform::DrawingSurface& surface, platform::Dialogs& dialogs, int16_t left,
                int16_t top, int16_t right, int16_t bottom, int16_t thickness, int16_t style,
                int16_t colour) {
    const int16_t keptWidth = surface.DrawWidth();
    const int16_t keptStyle = surface.DrawStyle();
    KeptScale keptScale(surface);
    surface.setDrawWidth(1);
    surface.setDrawStyle(0);
    surface.setScaleMode(platform::DrawingSurface::kPixels);

    int32_t first = 0;
    int32_t second = 0;
    if (style == Enfonce) {
        first = platform::QBColor(colour);
        second = kWhite;
    } else if (style == Relief) {
        first = kWhite;
        second = platform::QBColor(colour);
    } else {
        dialogs.MsgBox(QStringLiteral("Style doit valoir 'Enfonce' ou 'Relief'"),
                       platform::kIconError, QStringLiteral("Draw3dRect()"));
    }
    const int32_t keptFore = surface.ForeColor();
    surface.setForeColor(first);
    for (int i = 1; i <= thickness; ++i) {
        surface.Line(left - i, bottom + i, left - i, top - i);  // left edge, upward
        surface.LineTo(right + i, top - i);                     // top edge, rightward
    }
    surface.setForeColor(second);
    for (int i = 1; i <= thickness; ++i) {
        surface.Line(right + i, top - i, right + i, bottom + i);  // right edge, downward
        surface.LineTo(left - i, bottom + i);                     // bottom edge, leftward
    }

    surface.setForeColor(keptFore);
    keptScale.restore();
    surface.setDrawStyle(keptStyle);
    surface.setDrawWidth(keptWidth);
}

void Draw3dFrame(platform::DrawingSurface& surface, platform::Dialogs& dialogs, int16_t margin,
                 int16_t thickness, int16_t style, int16_t colour) {
    KeptScale keptScale(surface);
    surface.setScaleMode(platform::DrawingSurface::kPixels);
    const auto whole = [](float v) { return static_cast<int16_t>(std::lround(v)); };
    const int16_t left = whole(surface.ScaleLeft() + margin);
    const int16_t top = whole(surface.ScaleTop() + margin);
    const int16_t right = whole(surface.ScaleLeft() + surface.ScaleWidth() - 1 - margin);
    const int16_t bottom = whole(surface.ScaleTop() + surface.ScaleHeight() - 1 - margin);
    Draw3dRect(surface, dialogs, left, top, right, bottom, thickness, style, colour);
    keptScale.restore();
}

}  // namespace tambrel::draw
