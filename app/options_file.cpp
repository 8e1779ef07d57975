#include "app/options_file.h"

#include <QStringList>

#include "platform/key_value_lines.h"

namespace tambrel::app {
namespace {
// Ten minutes of fade, an hour of warning: beyond, a typing slip.
constexpr int kLongestFadeMs = 600000;
constexpr int kLongestWarnSeconds = 3600;
constexpr int kLineCount = 7;

// "1, 3 7": the lines as the operator numbers them, 1 to 7.
bool readLines(const QString& text, unsigned& lines) {
    unsigned read = 0;
    for (const QString& word : QString(text).replace(u',', u' ').split(u' ', Qt::SkipEmptyParts)) {
        int line = 0;
        if (!platform::readNumber(word, 1, kLineCount, line)) return false;
        read |= 1U << (line - 1);
    }
    lines = read;
    return true;
}

QString linesText(unsigned lines) {
    QStringList numbers;
    for (int line = 0; line < kLineCount; ++line) {
        if ((lines & (1U << line)) != 0) numbers << QString::number(line + 1);
    }
    return numbers.join(u',');
}
// From a whisper to a wall of sound: beyond, a typing slip.
constexpr double kQuietestTarget = -40.0;
constexpr double kLoudestTarget = -5.0;

// A loudness target, with a point or a comma.
bool readTarget(QString text, double& value) {
    bool ok = false;
    const double read = text.replace(u',', u'.').toDouble(&ok);
    if (!ok || !(read >= kQuietestTarget && read <= kLoudestTarget)) return false;
    value = read;
    return true;
}
}  // namespace

Options readOptions(const QByteArray& bytes, std::vector<QString>& bad) {
    using platform::readNumber;
    using platform::readYesNo;
    Options options;
    platform::readKeyValueLines(
        bytes,
        [&](const QString& key, const QString& value, int) {
            if (key == u"pre_ecoute") {
                options.preListen = value;
                return true;
            }
            if (key == u"fondu_ms") return readNumber(value, 0, kLongestFadeMs, options.fadeMs);
            if (key == u"alerte_fin_s") {
                return readNumber(value, 0, kLongestWarnSeconds, options.warnSeconds);
            }
            if (key == u"grandes_touches") return readYesNo(value, options.bigKeys);
            if (key == u"volumes") return readYesNo(value, options.volumes);
            if (key == u"normaliser") return readYesNo(value, options.normalise);
            if (key == u"cible_lufs") return readTarget(value, options.targetLufs);
            if (key == u"dossier_palettes") {
                options.paletteFolder = value;
                return true;
            }
            if (key == u"verrou") return readYesNo(value, options.locked);
            if (key == u"touches_palettes") return readYesNo(value, options.paletteKeys);
            if (key == u"horloge") return readYesNo(value, options.clock);
            if (key == u"lignes_exclusives") return readLines(value, options.exclusiveLines);
            return false;
        },
        bad);
    return options;
}

QByteArray writeOptions(const Options& options) {
    QString device = options.preListen;
    device.replace(u'\r', u' ').replace(u'\n', u' ');
    const QString text =
        QStringLiteral("pre_ecoute=") + device + QStringLiteral("\nfondu_ms=") +
        QString::number(options.fadeMs) + QStringLiteral("\nalerte_fin_s=") +
        QString::number(options.warnSeconds) + QStringLiteral("\ngrandes_touches=") +
        platform::yesNoText(options.bigKeys) + QStringLiteral("\nvolumes=") +
        platform::yesNoText(options.volumes) + QStringLiteral("\ndossier_palettes=") +
        options.paletteFolder + QStringLiteral("\nverrou=") + platform::yesNoText(options.locked) +
        QStringLiteral("\ntouches_palettes=") + platform::yesNoText(options.paletteKeys) +
        QStringLiteral("\nhorloge=") + platform::yesNoText(options.clock) +
        QStringLiteral("\nlignes_exclusives=") + linesText(options.exclusiveLines) + u'\n';
    const QString loudness =
        QStringLiteral("normaliser=") + platform::yesNoText(options.normalise) +
        QStringLiteral("\ncible_lufs=") + QString::number(options.targetLufs) + u'\n';
    return (text + loudness).toUtf8();
}

}  // namespace tambrel::app
