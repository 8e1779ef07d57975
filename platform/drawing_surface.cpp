#include "platform/drawing_surface.h"

#include <QPainter>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "platform/colors.h"
#include "platform/units.h"

namespace tambrel::platform {

DrawingSurface::DrawingSurface(std::function<void(const QRect&)> repaint)
    : repaint_(std::move(repaint)), image_(1, 1, QImage::Format_RGB32) {
    image_.fill(toQColor(backColor_));
    fitScale();
}

void DrawingSurface::fitScale() {
    if (scaleMode_ == kUserScale) return;
    const int factor = scaleMode_ == kTwips ? kTwipsPerPixel : 1;
    scaleLeft_ = scaleTop_ = 0;
    scaleWidth_ = static_cast<float>(image_.width() * factor);
    scaleHeight_ = static_cast<float>(image_.height() * factor);
}

void DrawingSurface::resize(const QSize& pixels) {
    const QSize size(std::max(1, pixels.width()), std::max(1, pixels.height()));
    if (size == image_.size()) return;
    QImage grown(size, QImage::Format_RGB32);
    grown.fill(toQColor(backColor_));
    QPainter(&grown).drawImage(0, 0, image_);
    image_ = std::move(grown);
    fitScale();
}

void DrawingSurface::setPicture(const QImage& picture) {
    QPainter(&image_).drawImage(image_.rect(), picture);
    if (repaint_) repaint_(image_.rect());
}

void DrawingSurface::setBackColor(int32_t color) {
    if (color == backColor_) return;
    backColor_ = color;
    Cls();  // a new background colour clears the drawing
}

void DrawingSurface::setDrawWidth(int16_t width) {
    if (width < 1) throw std::invalid_argument("Invalid property value");
    drawWidth_ = width;
}

void DrawingSurface::setScaleMode(int16_t mode) {
    if (mode != kUserScale && mode != kTwips && mode != kPixels) {
        throw std::invalid_argument("Invalid property value");
    }
    scaleMode_ = mode;
    fitScale();
}

void DrawingSurface::setScaleWidth(float width) {
    if (width == 0.0f || !std::isfinite(width))
        throw std::invalid_argument("Invalid property value");
    scaleMode_ = kUserScale;
    scaleWidth_ = width;
}

void DrawingSurface::setScaleHeight(float height) {
    if (height == 0.0f || !std::isfinite(height)) {
        throw std::invalid_argument("Invalid property value");
    }
    scaleMode_ = kUserScale;
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
    currentX_ = currentY_ = 0;
}

void DrawingSurface::Line(float x1, float y1, float x2, float y2) {
    plotLine(QPoint(pixelX(x1), pixelY(y1)), QPoint(pixelX(x2), pixelY(y2)),
             toQColor(foreColor_).rgb());
    currentX_ = x2;
    currentY_ = y2;
}

void DrawingSurface::LineTo(float x2, float y2) {
    Line(currentX_, currentY_, x2, y2);
}

void DrawingSurface::FillBox(float x1, float y1, float x2, float y2, int32_t color) {
    const int left = std::min(pixelX(x1), pixelX(x2));
    const int right = std::max(pixelX(x1), pixelX(x2));
    const int top = std::min(pixelY(y1), pixelY(y2));
    const int bottom = std::max(pixelY(y1), pixelY(y2));
    fillPixels(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)), toQColor(color).rgb());
    currentX_ = x2;
    currentY_ = y2;
}

// Bresenham from `from` up to, not including, `to`; each point is a square
// of DrawWidth pixels.
void DrawingSurface::plotLine(QPoint from, QPoint to, QRgb value) {
    const int dx = std::abs(to.x() - from.x());
    const int dy = -std::abs(to.y() - from.y());
    const int sx = from.x() < to.x() ? 1 : -1;
    const int sy = from.y() < to.y() ? 1 : -1;
    const int pen = drawWidth_;
    const int half = (pen - 1) / 2;
    int error = dx + dy;
    QPoint at = from;
    while (at != to) {
        fillPixels(QRect(at.x() - half, at.y() - half, pen, pen), value);
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            at.rx() += sx;
        }
        if (twice <= dx) {
            error += dx;
            at.ry() += sy;
        }
    }
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
