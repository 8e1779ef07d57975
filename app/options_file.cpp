#include "app/options_file.h"

#include "platform/key_value_lines.h"

namespace tambrel::app {
namespace {
// Ten minutes of fade, an hour of warning: beyond, a typing slip.
constexpr int kLongestFadeMs = 600000;
constexpr int kLongestWarnSeconds = 3600;
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
            return false;
        },
        bad);
    return options;
}

QByteArray writeOptions(const Options& options) {
    QString device = options.preListen;
    device.replace(u'\r', u' ').replace(u'\n', u' ');
    const QString text = QStringLiteral("pre_ecoute=") + device + QStringLiteral("\nfondu_ms=") +
                         QString::number(options.fadeMs) + QStringLiteral("\nalerte_fin_s=") +
                         QString::number(options.warnSeconds) +
                         QStringLiteral("\ngrandes_touches=") +
                         platform::yesNoText(options.bigKeys) + QStringLiteral("\nvolumes=") +
                         platform::yesNoText(options.volumes) +
                         QStringLiteral("\ndossier_palettes=") + options.paletteFolder + u'\n';
    const QString loudness =
        QStringLiteral("normaliser=") + platform::yesNoText(options.normalise) +
        QStringLiteral("\ncible_lufs=") + QString::number(options.targetLufs) + u'\n';
    return (text + loudness).toUtf8();
}

}  // namespace tambrel::app
