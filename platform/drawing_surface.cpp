#include "platform/drawing_surface.h"

#include <QPainter>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "platform/colors.h"
#include "platform/controls.h"

namespace tambrel::platform {

DrawingSurface::DrawingSurface(std::function<void(const QRect&)> repaint)
    : repaint_(std::move(repaint)), image_(1, 1, QImage::Format_RGB32) {
    image_.fill(toQColor(backColor_));
}

void DrawingSurface::resize(const QSize& pixels) {
    const QSize size(std::max(1, pixels.width()), std::max(1, pixels.height()));
    if (size == image_.size()) return;
    QImage grown(size, QImage::Format_RGB32);
    grown.fill(toQColor(backColor_));
    QPainter(&grown).drawImage(0, 0, image_);
    image_ = std::move(grown);
    if (twipScale_) {
        scaleWidth_ = static_cast<float>(size.width() * kTwipsPerPixel);
        scaleHeight_ = static_cast<float>(size.height() * kTwipsPerPixel);
    }
}

void DrawingSurface::setBackColor(int32_t color) {
    if (color == backColor_) return;
    backColor_ = color;
    Cls();  // a new background colour clears the drawing
}

void DrawingSurface::setScaleWidth(float width) {
    if (width == 0.0f || !std::isfinite(width))
        throw std::invalid_argument("Invalid property value");
    if (twipScale_) scaleHeight_ = static_cast<float>(image_.height() * kTwipsPerPixel);
    twipScale_ = false;
    scaleWidth_ = width;
}

void DrawingSurface::setScaleHeight(float height) {
    if (height == 0.0f || !std::isfinite(height)) {
        throw std::invalid_argument("Invalid property value");
    }
    if (twipScale_) scaleWidth_ = static_cast<float>(image_.width() * kTwipsPerPixel);
    twipScale_ = false;
    scaleHeight_ = height;
}

int DrawingSurface::pixelX(float x) const {
    return static_cast<int>(std::lround((x - scaleLeft_) * image_.width() / scaleWidth_));
}

int DrawingSurface::pixelY(float y) const {
    return static_cast<int>(std::lround((y - scaleTop_) * image_.height() / scaleHeight_));
}

float DrawingSurface::scaleX(int pixel) const {
    return scaleLeft_ +
           static_cast<float>(pixel) * scaleWidth_ / static_cast<float>(image_.width());
}

float DrawingSurface::scaleY(int pixel) const {
    return scaleTop_ +
           static_cast<float>(pixel) * scaleHeight_ / static_cast<float>(image_.height());
}

void DrawingSurface::Cls() {
    fillPixels(image_.rect(), toQColor(backColor_).rgb());
}

void DrawingSurface::FillBox(float x1, float y1, float x2, float y2, int32_t color) {
    const int left = std::min(pixelX(x1), pixelX(x2));
    const int right = std::max(pixelX(x1), pixelX(x2));
    const int top = std::min(pixelY(y1), pixelY(y2));
    const int bottom = std::max(pixelY(y1), pixelY(y2));
    fillPixels(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)), toQColor(color).rgb());
}

// Writes only the pixels that differ and repaints only if any did, so that
// drawing what is already there costs no repaint.
void DrawingSurface::fillPixels(const QRect& area, QRgb value) {
    const QRect clipped = area.intersected(image_.rect());
    if (clipped.isEmpty()) return;
    bool changed = false;
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image_.scanLine(y));
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            if (line[x] != value) {
                line[x] = value;
                changed = true;
            }
        }
    }
    if (changed && repaint_) repaint_(clipped);
}

}  // namespace tambrel::platform
