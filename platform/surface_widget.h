#pragma once

// A window's client area with a drawing surface as its stored background:
// it paints the surface's image, and child controls stand on it.

#include <QWidget>
#include <functional>

#include "platform/drawing_surface.h"

namespace tambrel::platform {

class SurfaceWidget : public QWidget {
  public:
    explicit SurfaceWidget(QWidget* parent = nullptr);
    DrawingSurface& surface() { return surface_; }
    // A click on the surface itself, not on a child control.
    std::function<void()> Click;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    DrawingSurface surface_;
};

}  // namespace tambrel::platform
