#include "app/options_file.h"

#include "platform/text_file.h"

namespace tambrel::app {
namespace {
bool number(const QString& text, int lowest, int highest, int& value) {
    bool ok = false;
    const int read = text.toInt(&ok);
    if (!ok || read < lowest || read > highest) return false;
    value = read;
    return true;
}
bool yesNo(const QString& text, bool& value) {
    const bool yes = text.compare(QStringLiteral("oui"), Qt::CaseInsensitive) == 0;
    if (!yes && text.compare(QStringLiteral("non"), Qt::CaseInsensitive) != 0) return false;
    value = yes;
    return true;
}
QString yesNo(bool value) {
    return value ? QStringLiteral("oui") : QStringLiteral("non");
}
// Ten minutes of fade, an hour of warning: beyond, a typing slip.
constexpr int kLongestFadeMs = 600000;
constexpr int kLongestWarnSeconds = 3600;
}  // namespace

Options readOptions(const QByteArray& bytes, std::vector<QString>& bad) {
    Options options;
    platform::TextReader reader(bytes);
    QString text;
    for (int lineNumber = 1; reader.readLine(text); ++lineNumber) {
        const QString line = text.trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype equals = line.indexOf(u'=');
        const QString key = equals < 0 ? QString() : line.left(equals).trimmed().toLower();
        // A device's name is taken as written, blanks inside it included.
        const QString value = line.mid(equals + 1).trimmed();
        bool understood = false;
        if (key == u"pre_ecoute") {
            options.preListen = value;
            understood = true;
        } else if (key == u"fondu_ms") {
            understood = number(value, 0, kLongestFadeMs, options.fadeMs);
        } else if (key == u"alerte_fin_s") {
            understood = number(value, 0, kLongestWarnSeconds, options.warnSeconds);
        } else if (key == u"grandes_touches") {
            understood = yesNo(value, options.bigKeys);
        } else if (key == u"volumes") {
            understood = yesNo(value, options.volumes);
        }
        if (!understood) bad.push_back(QStringLiteral("ligne %1 : %2").arg(lineNumber).arg(text));
    }
    return options;
}

QByteArray writeOptions(const Options& options) {
    QString device = options.preListen;
    device.replace(u'\r', u' ').replace(u'\n', u' ');
    const QString text = QStringLiteral("pre_ecoute=") + device + QStringLiteral("\nfondu_ms=") +
                         QString::number(options.fadeMs) + QStringLiteral("\nalerte_fin_s=") +
                         QString::number(options.warnSeconds) +
                         QStringLiteral("\ngrandes_touches=") + yesNo(options.bigKeys) +
                         QStringLiteral("\nvolumes=") + yesNo(options.volumes) + u'\n';
    return text.toUtf8();
}

}  // namespace tambrel::app
