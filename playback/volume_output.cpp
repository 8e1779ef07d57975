// The operator's controls around the slots: volume sliders and their
// read-out, the output device for every player, and the progress meters,
// which seek on a click and show the time under the pointer.

#include <cmath>
#include <limits>

#include "app/palette_window.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

namespace {
constexpr int16_t kLeftButton = 1;

// To the nearest whole number, halves to the even neighbour.
int32_t roundHalfEven(float x) {
    const double rounded = std::nearbyint(static_cast<double>(x));
    if (!(rounded > std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (!(rounded < std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}
}  // namespace

void F1a::Slider_OnChange(int16_t Index) {
    Player[Index]->setVolume(Slider[Index]->Value());
    LblVolume->setCaption(QStringLiteral("Volume ") + QString::number(Slider[Index]->Value()));
}

void F1a::Slider_OnTrack(int16_t Index) {
    LblVolume->setCaption(QStringLiteral("Volume ") + QString::number(Slider[Index]->Value()));
    Keyboard->SetFocus();
}

void F1a::MnuVolume_Click() {
    MnuVolume->setChecked(!MnuVolume->Checked());
    LblVolume->setVisible(MnuVolume->Checked());
    Keyboard->SetFocus();
}

void F1a::Output_Click() {
    for (int16_t i = 0; i < kSlots; ++i) {
        Player[i]->Stop();
        Player[i]->setDeviceID(Output->ListIndex() - 1);
    }
}

void F1a::VueMettre_MouseDown(int16_t Index, int16_t Button, int16_t, float X, float) {
    if (Button == kLeftButton && Player[Index]->State() == playback::kPlaying) {
        Player[Index]->setPosition(roundHalfEven(X));
        VueMettre[Index]->surface().Cls();
    }
    Keyboard->SetFocus();
}

void F1a::VueMettre_MouseMove(int16_t Index, int16_t, int16_t, float X, float) {
    if (Player[Index]->State() == playback::kPlaying) {
        VueMettre[Index]->setToolTipText(playback::FTime(roundHalfEven(X)));
    }
}

}  // namespace tambrel::app
