#pragma once

// The slot's volume slider, vertical, on the player's volume scale. OnChange
// follows every change of the value, by the operator or by a write of Value;
// OnTrack follows the thumb while the operator drags it.

#include <QSlider>
#include <cstdint>
#include <functional>

#include "platform/controls.h"
#include "playback/volume_scale.h"

namespace tambrel::playback {

class MMSliderX : public platform::Control {
  public:
    static constexpr int32_t kDefaultMaxValue = kVolumeMax;

    MMSliderX(QWidget* parent, int16_t index);
    int16_t index() const { return index_; }
    QSlider* slider() { return slider_; }

    int32_t Value() const { return slider_->value(); }
    void setValue(int32_t value) { slider_->setValue(value); }
    int32_t MaxValue() const { return slider_->maximum(); }
    void setMaxValue(int32_t value) { slider_->setMaximum(value); }

    std::function<void(int16_t index)> OnChange;
    std::function<void(int16_t index)> OnTrack;

  private:
    int16_t index_;
    QSlider* slider_;  // the control's widget
};

}  // namespace tambrel::playback
