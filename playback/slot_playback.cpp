#include "playback/slot_playback.h"

#include <cmath>

#include "app/palette_window.h"
#include "platform/colors.h"
#include "playback/mm_audio_player.h"

namespace tambrel::playback {
namespace {
QString twoDigits(int64_t value) {
    const QString text = QStringLiteral("00") + QString::number(value);
    return text.right(2);
}
}  // namespace

QString FTime(int32_t ms) {
    const auto seconds = static_cast<int64_t>(std::floor(ms / 1000.0));
    if (seconds <= 0) return QStringLiteral("--:--");
    return twoDigits(seconds / 60) + u':' + twoDigits(seconds % 60);
}

QString NomCourt(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'\\');
    if (slash < 0) return QString();
    const QString name = path.mid(slash + 1);
    if (name.size() < 4) return name;
    return name.left(name.size() - 4);
}

int16_t QuelleLigne(int16_t Valeur) {
    if (Valeur < 0 || Valeur > 27) return 0;
    return static_cast<int16_t>(Valeur / 4);
}

}  // namespace tambrel::playback

namespace tambrel::app {

using playback::FTime;
using playback::kPlaying;
using playback::NomCourt;

void F1a::Touche_Click(int16_t Index) {
    // The first step that fails ends the press, silently; what was done stays.
    try {
        if (Touche[Index]->Caption().size() < 2) {
            Dial1.Filter = QStringLiteral("Audio File mp3 Wav | *.mp3;*.wav");
            Dial1.Flags = 0;
            if (Dial1.ShowOpen()) {  // a cancelled choice leaves the slot as it was
                Player[Index]->setFileName(Dial1.FileName);
                Touche[Index]->setCaption(NomCourt(Dial1.FileName) + QStringLiteral("\r\n\r\n") +
                                          slotLetter(Index));
                InfoTrack[Index]->setCaption(FTime(Player[Index]->Length()));
            }
        } else if (Player[Index]->State() != kPlaying) {
            VueMettre[Index]->surface().setScaleWidth(static_cast<float>(Player[Index]->Length()));
            Player[Index]->Play();
            Touche[Index]->setBackColor(platform::QBColor(12));
            VueMettre[Index]->surface().Cls();
        } else {
            Player[Index]->Stop();
            Touche[Index]->setBackColor(platform::QBColor(15));
        }
        Keyboard->SetFocus();
    } catch (...) {
    }
}

void F1a::Player_OnStop(int16_t Index) {
    VueMettre[Index]->surface().Cls();
    InfoTrack[Index]->setCaption(FTime(Player[Index]->Length()));
}

}  // namespace tambrel::app
