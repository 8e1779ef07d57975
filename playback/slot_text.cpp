#include "playback/slot_text.h"

#include <algorithm>
#include <cmath>

namespace tambrel::playback {
namespace {
QString twoDigits(int64_t value) {
    const QString text = QStringLiteral("00") + QString::number(value);
    return text.right(2);
}

// One to four letters and digits, one of them a letter at least: "mp3",
// "flac", "opus"; "Pub v2.0" and "Top.Intro" have none.
bool isExtension(QStringView text) {
    if (text.isEmpty() || text.size() > 4) return false;
    bool letter = false;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9') continue;
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))) return false;
        letter = true;
    }
    return letter;
}
// One decimal, a comma, a true minus sign; `plus` signs a positive value.
QString decibels(double value, bool plus) {
    const double tenths = std::round(value * 10.0);
    QString text = QString::number(std::abs(tenths) / 10.0, 'f', 1).replace(u'.', u',');
    if (tenths < 0) return QChar(0x2212) + text;
    return plus && tenths > 0 ? u'+' + text : text;
}
}  // namespace

QString loudnessText(const audio::Loudness& loudness, std::optional<double> gainDb) {
    using Kind = audio::Loudness::Kind;
    const QString peak =
        QStringLiteral("crête ") + decibels(loudness.peak, false) + QStringLiteral(" dBTP");
    switch (loudness.kind) {
        case Kind::Unreadable:
            return QString();
        case Kind::TooShort:
            return QStringLiteral("trop court · ") + peak;
        case Kind::Silent:
            return QStringLiteral("silencieux");
        case Kind::Measured:
            break;
    }
    QString text = decibels(loudness.lufs, false) + QStringLiteral(" LUFS · ") + peak;
    if (gainDb) text += QStringLiteral(" · ") + decibels(*gainDb, true) + QStringLiteral(" dB");
    return text;
}

QString FTime(int32_t ms) {
    const auto seconds = static_cast<int64_t>(std::floor(ms / 1000.0));
    if (seconds <= 0) return QStringLiteral("--:--");
    return twoDigits(seconds / 60) + u':' + twoDigits(seconds % 60);
}

QString NomCourt(const QString& path) {
    // A Linux path's names may hold a "\"; elsewhere either slash separates.
    const qsizetype slash = path.startsWith(u'/')
                                ? path.lastIndexOf(u'/')
                                : std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
    if (slash < 0) return QString();
    QString name = path.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0 || !isExtension(QStringView(name).mid(dot + 1))) return name;
    return name.left(dot);
}

int16_t QuelleLigne(int16_t Valeur) {
    if (Valeur < 0 || Valeur > 27) return 0;
    return static_cast<int16_t>(Valeur / 4);
}

}  // namespace tambrel::playback
