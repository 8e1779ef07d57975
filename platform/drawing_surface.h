#pragma once

// A drawing surface that keeps what is drawn on it: an image the size of the
// control, drawn on in the control's own scale and shown as it stands on
// every repaint. Only what a drawing call changes is repainted.

#include <QImage>
#include <cstdint>
#include <functional>

namespace tambrel::platform {

class DrawingSurface {
  public:
    // `repaint` is told which pixels changed.
    explicit DrawingSurface(std::function<void(const QRect&)> repaint);

    // The control's size in pixels; the stored image keeps its top-left part.
    void resize(const QSize& pixels);
    const QImage& image() const { return image_; }

    int32_t BackColor() const { return backColor_; }
    void setBackColor(int32_t color);

    // The user scale: the surface spans ScaleLeft to ScaleLeft + ScaleWidth
    // across and ScaleTop to ScaleTop + ScaleHeight down. By default, twips.
    float ScaleWidth() const { return scaleWidth_; }
    float ScaleHeight() const { return scaleHeight_; }
    float ScaleLeft() const { return scaleLeft_; }
    float ScaleTop() const { return scaleTop_; }
    // Throws std::invalid_argument for 0, as no scale can be empty.
    void setScaleWidth(float width);
    void setScaleHeight(float height);

    // Pixel column or row of a point in the user scale.
    int pixelX(float x) const;
    int pixelY(float y) const;
    // A point of the user scale at pixel column or row `pixel`.
    float scaleX(int pixel) const;
    float scaleY(int pixel) const;

    // Clears the drawing to the background colour.
    void Cls();
    // A filled box from corner (x1, y1) to corner (x2, y2), the far column
    // and row excluded.
    void FillBox(float x1, float y1, float x2, float y2, int32_t color);

  private:
    void fillPixels(const QRect& area, QRgb value);

    std::function<void(const QRect&)> repaint_;
    QImage image_;
    int32_t backColor_ = 0xffffff;
    bool twipScale_ = true;  // the default scale follows the size
    float scaleLeft_ = 0, scaleTop_ = 0, scaleWidth_ = 1, scaleHeight_ = 1;
};

}  // namespace tambrel::platform
