#include "platform/surface_widget.h"

#include <QMouseEvent>
#include <QPainter>

namespace tambrel::platform {

SurfaceWidget::SurfaceWidget(QWidget* parent)
    : QWidget(parent), surface_([this](const QRect& area) { update(area); }) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    surface_.resize(size());
}

void SurfaceWidget::paintEvent(QPaintEvent* event) {
    QPainter(this).drawImage(event->rect(), surface_.image(), event->rect());
}

void SurfaceWidget::resizeEvent(QResizeEvent*) {
    surface_.resize(size());
}

void SurfaceWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        Click) {
        Click();
    }
}

}  // namespace tambrel::platform
