#include "playback/slot_text.h"

#include <cmath>

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
    QString name = path.mid(slash + 1);
    if (name.size() < 4) return name;
    return name.left(name.size() - 4);
}

int16_t QuelleLigne(int16_t Valeur) {
    if (Valeur < 0 || Valeur > 27) return 0;
    return static_cast<int16_t>(Valeur / 4);
}

}  // namespace tambrel::playback
