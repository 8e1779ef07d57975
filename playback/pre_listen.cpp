// Pre-listen: a right click plays a slot in the operator's headphones, on
// the device Option › Pré-écoute names, before it goes on air. Never on the
// air's device, never in the as-run log (it was not on air).

#include <optional>

#include "app/palette_window.h"
#include "platform/colors.h"
#include "playback/mm_audio_player.h"
#include "playback/slot_playback.h"

namespace tambrel::app {

using playback::ComponentError;

namespace {
constexpr int32_t kPreListenColor = 65280;  // green: heard here, not on air
}

bool F1a::preListening(int16_t Index) const {
    return Player[Index]->Cueing();
}

void F1a::preListen(int16_t Index) {
    try {
        if (preListening(Index)) {
            Player[Index]->Stop();
        } else if (slotPlaying(Index)) {
            throw ComponentError(
                QStringLiteral("antenne"),
                QStringLiteral("Pré-écoute impossible : la touche est à l'antenne"));
        } else if (!slotIsEmpty(Index)) {
            const QString device = options_.preListen;
            if (device.isEmpty()) {
                throw ComponentError(QStringLiteral("PFL"),
                                     QStringLiteral("Pré-écoute : aucune sortie choisie "
                                                    "(Option › Pré-écoute)"));
            }
            // The system's default is the device the sound server plays it
            // on; where no server says which, it may be the headphones'.
            const std::optional<QString> air = Player[Index]->PlaysOn();
            if (!air) {
                throw ComponentError(QStringLiteral("PFL"),
                                     QStringLiteral("Pré-écoute impossible : la sortie antenne est "
                                                    "celle par défaut, choisissez-la par son nom"));
            }
            if (device == *air) {
                throw ComponentError(QStringLiteral("PFL"),
                                     QStringLiteral("Pré-écoute sur la sortie antenne"));
            }
            Player[Index]->reloadIfUnplayable();
            Player[Index]->PlayOn(device);
            endNotice(Index);
            showPreListen(Index);
        }
    } catch (const ComponentError& failure) {
        showNotice(Index, failure);
    }
    Keyboard->SetFocus();
}

void F1a::showPreListen(int16_t Index) {
    if (noticeUntil_[static_cast<size_t>(Index)] > 0) return;
    InfoTrack[Index]->setCaption(QStringLiteral("PFL"));
    InfoTrack[Index]->setBackColor(kPreListenColor);
}

}  // namespace tambrel::app
