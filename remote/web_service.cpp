#include "remote/web_service.h"

#include "remote/time_slice.h"

namespace tambrel::remote {

void WebService::receive(std::deque<WebIncoming> arrived) {
    dropped_ += queueArrived(
        waiting_, std::move(arrived), kMostWaiting,
        [](const WebIncoming& item) { return item.message.kind == PageMessage::Kind::Palette; });
}

bool WebService::carryOut(Clock::time_point until) {
    return carryOutUntil(
        waiting_, until, [this](const WebIncoming& incoming) { carryOut(incoming); }, now);
}

void WebService::carryOut(const WebIncoming& incoming) {
    const PageMessage& message = incoming.message;
    std::optional<QString> refused;
    switch (message.kind) {
        case PageMessage::Kind::Joined: {
            if (publishPending) publishPending();
            PageState whole{{},
                            panel_.paletteName(),
                            panel_.palettes(),
                            panel_.lineColours(),
                            panel_.countdownSlot(),
                            panel_.warnMs()};
            for (int i = 0; i < kSlots; ++i) whole.views.emplace_back(i, panel_.slot(i));
            send_(incoming.page, stateText(whole).toStdString(), true);
            return;
        }
        case PageMessage::Kind::Code:
            return;  // the server's business
        case PageMessage::Kind::Press:
            refused = control_.press(message.slot);
            break;
        case PageMessage::Kind::Loop:
            refused = control_.toggleLoop(message.slot);
            break;
        case PageMessage::Kind::Palette:
            refused = control_.loadPalette(QString::fromStdString(message.text));
            break;
    }
    if (refused) send_(incoming.page, errorText(*refused).toStdString(), false);
}

void WebService::publish(const std::vector<std::pair<int, SlotView>>& changed,
                         const std::optional<QString>& palette) {
    PageState state{changed, palette, std::nullopt, {}, std::nullopt, panel_.warnMs()};
    const QStringList palettes = panel_.palettes();
    if (palettes != sentPalettes_) {
        sentPalettes_ = palettes;
        state.palettes = palettes;
    }
    if (const int countdown = panel_.countdownSlot(); countdown != sentCountdown_) {
        sentCountdown_ = countdown;
        state.countdown = countdown;
    }
    if (changed.empty() && !state.palette && !state.palettes && !state.countdown) return;
    send_(0, stateText(state).toStdString(), false);
}

}  // namespace tambrel::remote
