#include "platform/key_value_lines.h"

#include "platform/text_file.h"

namespace tambrel::platform {

void readKeyValueLines(const QByteArray& bytes, const TakeSetting& take,
                       std::vector<QString>& bad) {
    TextReader reader(bytes);
    QString text;
    for (int lineNumber = 1; reader.readLine(text); ++lineNumber) {
        const QString line = text.trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype equals = line.indexOf(u'=');
        const QString key = equals < 0 ? QString() : line.left(equals).trimmed().toLower();
        // A value is taken as written, blanks inside it included (a device's name).
        if (!take(key, line.mid(equals + 1).trimmed(), lineNumber)) {
            bad.push_back(QStringLiteral("ligne %1 : %2").arg(lineNumber).arg(text));
        }
    }
}

bool readYesNo(const QString& text, bool& value) {
    const bool yes = text.compare(QStringLiteral("oui"), Qt::CaseInsensitive) == 0;
    if (!yes && text.compare(QStringLiteral("non"), Qt::CaseInsensitive) != 0) return false;
    value = yes;
    return true;
}

QString yesNoText(bool value) {
    return value ? QStringLiteral("oui") : QStringLiteral("non");
}

bool readNumber(const QString& text, int lowest, int highest, int& value) {
    bool ok = false;
    const int read = text.toInt(&ok);
    if (!ok || read < lowest || read > highest) return false;
    value = read;
    return true;
}

}  // namespace tambrel::platform
