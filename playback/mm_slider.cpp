#include "playback/mm_slider.h"

namespace tambrel::playback {

MMSliderX::MMSliderX(QWidget* parent, int16_t index)
    : Control(new QSlider(Qt::Vertical, parent)),
      index_(index),
      slider_(static_cast<QSlider*>(widget())) {
    slider_->setRange(0, kDefaultMaxValue);
    slider_->setTickPosition(QSlider::NoTicks);
    slider_->setFocusPolicy(Qt::NoFocus);  // keys belong to the palette, not to a slider
    QObject::connect(slider_, &QSlider::valueChanged, slider_, [this] {
        if (OnChange) OnChange(index_);
    });
    QObject::connect(slider_, &QSlider::sliderMoved, slider_, [this] {
        if (OnTrack) OnTrack(index_);
    });
}

}  // namespace tambrel::playback
