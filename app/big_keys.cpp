// "Grandes touches": on today's large screens the whole layout, slots,
// markers, labels, meters, lists and fonts, grows with the window, keeping
// its proportions. Off, the layouts stand exactly as the screen test set them.

#include <QResizeEvent>
#include <algorithm>
#include <cmath>

#include "app/palette_window.h"
#include "playback/mm_slider.h"

namespace tambrel::app {

namespace {
constexpr int32_t kMargin = 420;  // twips left around the layout, as on its left edge
}

void F1a::keepLayout() {
    layout_.clear();
    const auto keep = [this](platform::Control& control) {
        const double points = control.widget()->font().pointSizeF();
        layout_.push_back({&control, control.Left(), control.Top(), control.Width(),
                           control.Height(), std::max(points, 0.0)});
    };
    for (int16_t i = 0; i < kSlots; ++i) {
        keep(*Touche[i]);
        keep(*Slider[i]);
        keep(*InfoTrack[i]);
        keep(*Boucle[i]);
        keep(*VueMettre[i]);
    }
    for (auto& strip : Couleur) keep(*strip);
    for (platform::Control* control : {static_cast<platform::Control*>(BankName.get()),
                                       static_cast<platform::Control*>(ComboBank.get()),
                                       static_cast<platform::Control*>(LblVolume.get()),
                                       static_cast<platform::Control*>(messageStrip.get()),
                                       static_cast<platform::Control*>(Output.get()),
                                       static_cast<platform::Control*>(LblVerrou.get()),
                                       static_cast<platform::Control*>(Horloge.get()),
                                       static_cast<platform::Control*>(Decompte.get())}) {
        keep(*control);
    }
}

void F1a::applyLayout() {
    double scale = 1.0;
    if (options_.bigKeys && !layout_.empty()) {
        int32_t right = 0, bottom = 0;
        for (const Placed& placed : layout_) {
            const bool clock = placed.control == Horloge.get() || placed.control == Decompte.get();
            if (clock && !options_.clock) continue;  // no room kept for a hidden clock
            right = std::max(right, placed.left + placed.width);
            bottom = std::max(bottom, placed.top + placed.height);
        }
        const double across = client_->width() * double{platform::kTwipsPerPixel};
        const double down = client_->height() * double{platform::kTwipsPerPixel};
        scale = std::min(across / (right + kMargin), down / (bottom + kMargin));
        if (!(scale > 0)) scale = 1.0;  // no client area yet
    }
    if (scale == layoutScale_) return;
    layoutScale_ = scale;
    const auto scaled = [scale](int32_t twips) {
        return static_cast<int32_t>(std::lround(twips * scale));
    };
    for (const Placed& placed : layout_) {
        placed.control->Move(scaled(placed.left), scaled(placed.top), scaled(placed.width),
                             scaled(placed.height));
        if (placed.points > 0) {
            QFont font = placed.control->widget()->font();
            font.setPointSizeF(placed.points * scale);
            placed.control->widget()->setFont(font);
        }
    }
}

void F1a::MnuGrandesTouches_Click() {
    options_.bigKeys = !options_.bigKeys;
    MnuGrandesTouches->setChecked(options_.bigKeys);
    applyLayout();
    optionsChanged();
    Keyboard->SetFocus();
}

void F1a::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (options_.bigKeys) applyLayout();
}

}  // namespace tambrel::app
