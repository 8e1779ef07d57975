#include "app/options_file.h"

#include "platform/key_value_lines.h"

namespace tambrel::app {
namespace {
// Ten minutes of fade, an hour of warning: beyond, a typing slip.
constexpr int kLongestFadeMs = 600000;
constexpr int kLongestWarnSeconds = 3600;
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
    return text.toUtf8();
}

}  // namespace tambrel::app
