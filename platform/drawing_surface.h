#pragma once

// A window's drawing surface, with the settings and operations the drawing
// routines use. What is drawn goes into a stored image the size of the
// surface, which repaints show as it stands and never recompute; only the
// pixels a drawing call changes are repainted.
//
// Coordinates are in the surface's scale: twips (ScaleMode 1, the default),
// pixels (3) or a user scale (0), which setting ScaleWidth or ScaleHeight
// chooses. A line covers its start point and stops one pixel short of its
// end point; the current point is where the last line ended.

#include <QImage>
#include <cstdint>
#include <functional>

namespace tambrel::platform {

class DrawingSurface {
  public:
    static constexpr int16_t kUserScale = 0;
    static constexpr int16_t kTwips = 1;
    static constexpr int16_t kPixels = 3;

    // `repaint` is told which pixels changed.
    explicit DrawingSurface(std::function<void(const QRect&)> repaint);

    // The control's size in pixels; the stored image keeps its top-left part.
    void resize(const QSize& pixels);
    const QImage& image() const { return image_; }
    // Replaces the stored image's content, scaled to the surface (a picture).
    void setPicture(const QImage& picture);

    int32_t BackColor() const { return backColor_; }
    void setBackColor(int32_t color);
    int32_t ForeColor() const { return foreColor_; }
    void setForeColor(int32_t color) { foreColor_ = color; }
    bool AutoRedraw() const { return autoRedraw_; }
    void setAutoRedraw(bool on) { autoRedraw_ = on; }
    int16_t DrawWidth() const { return drawWidth_; }
    void setDrawWidth(int16_t width);
    int16_t DrawStyle() const { return drawStyle_; }
    void setDrawStyle(int16_t style) { drawStyle_ = style; }
    // Every mode draws as 13 (copy pen), the only one the program uses.
    int16_t DrawMode() const { return drawMode_; }
    void setDrawMode(int16_t mode) { drawMode_ = mode; }

    int16_t ScaleMode() const { return scaleMode_; }
    void setScaleMode(int16_t mode);
    float ScaleWidth() const { return scaleWidth_; }
    float ScaleHeight() const { return scaleHeight_; }
    float ScaleLeft() const { return scaleLeft_; }
    float ScaleTop() const { return scaleTop_; }
    // Throws std::invalid_argument for 0: no scale can be empty.
    void setScaleWidth(float width);
    void setScaleHeight(float height);

    // Pixel column or row of a point in the scale, and back.
    int pixelX(float x) const;
    int pixelY(float y) const;
    float scaleX(int pixel) const;
    float scaleY(int pixel) const;

    // Clears the drawing to the background colour.
    void Cls();
    // A line in the fore colour from (x1, y1) to (x2, y2).
    void Line(float x1, float y1, float x2, float y2);
    // A line in the fore colour from the current point to (x2, y2).
    void LineTo(float x2, float y2);
    // A box between two corners filled with `color`, the far column and row
    // excluded, so that boxes side by side tile without overlap.
    void FillBox(float x1, float y1, float x2, float y2, int32_t color);

  private:
    void fitScale();
    void fillPixels(const QRect& area, QRgb value);
    void plotLine(QPoint from, QPoint to, QRgb value);

    std::function<void(const QRect&)> repaint_;
    QImage image_;
    int32_t backColor_ = 0xffffff;
    int32_t foreColor_ = 0;
    bool autoRedraw_ = false;
    int16_t drawWidth_ = 1;
    int16_t drawStyle_ = 0;
    int16_t drawMode_ = 13;
    int16_t scaleMode_ = kTwips;
    float scaleLeft_ = 0, scaleTop_ = 0, scaleWidth_ = 1, scaleHeight_ = 1;
    float currentX_ = 0, currentY_ = 0;
};

}  // namespace tambrel::platform
