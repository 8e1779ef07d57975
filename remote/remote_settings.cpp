#include "remote/remote_settings.h"

#include <arpa/inet.h>

#include <QRegularExpression>
#include <algorithm>

#include "platform/text_file.h"

namespace tambrel::remote {
namespace {
bool number(const QString& text, int lowest, int highest, int& value) {
    bool ok = false;
    const int read = text.toInt(&ok);
    if (!ok || read < lowest || read > highest) return false;
    value = read;
    return true;
}
bool ipv4(const QString& text, std::string& value) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.toStdString().c_str(), &parsed) != 1) return false;
    value = text.toStdString();
    return true;
}
bool yesNo(const QString& text, bool& value) {
    if (text.compare(QStringLiteral("oui"), Qt::CaseInsensitive) == 0) {
        value = true;
    } else if (text.compare(QStringLiteral("non"), Qt::CaseInsensitive) == 0) {
        value = false;
    } else {
        return false;
    }
    return true;
}
}  // namespace

RemoteSettings readRemoteSettings(const QByteArray& bytes, std::vector<QString>& bad) {
    RemoteSettings settings;
    platform::TextReader reader(bytes);
    QString text;
    for (int lineNumber = 1; reader.readLine(text); ++lineNumber) {
        const QString line = text.trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype equals = line.indexOf(u'=');
        const QString key = line.left(std::max<qsizetype>(equals, 0)).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        bool understood = false;
        if (key == u"osc") {
            understood = yesNo(value, settings.osc);
        } else if (key == u"midi") {
            understood = yesNo(value, settings.midi);
        } else if (key == u"adresse") {
            understood = ipv4(value, settings.address);
        } else if (key == u"autorises") {
            understood = true;
            static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
            for (const QString& entry : value.split(separators, Qt::SkipEmptyParts)) {
                if (!settings.allowed.add(entry)) {
                    bad.push_back(
                        QStringLiteral("ligne %1, autorises : %2").arg(lineNumber).arg(entry));
                }
            }
        } else if (key == u"port") {
            understood = number(value, 1, 65535, settings.port);
        } else if (key == u"note") {
            understood = number(value, 0, 127 - 27, settings.firstNote);
        } else if (key == u"canal") {
            understood = number(value, 0, 16, settings.channel);
        } else if (key == u"note_tout_arreter") {
            settings.stopAllNote = -1;
            understood = value.isEmpty() || number(value, 0, 127, settings.stopAllNote);
        } else if (key == u"web") {
            understood = yesNo(value, settings.web);
        } else if (key == u"web_port") {
            understood = number(value, 1, 65535, settings.webPort);
        } else if (key == u"code") {
            understood = true;
            settings.code = value;
        }
        if (!understood) bad.push_back(QStringLiteral("ligne %1 : %2").arg(lineNumber).arg(text));
    }
    return settings;
}

std::optional<QString> confineWithoutAllowList(RemoteSettings& settings) {
    in_addr address{};
    if (inet_pton(AF_INET, settings.address.c_str(), &address) != 1 || isLoopback(address) ||
        !settings.allowed.empty()) {
        return std::nullopt;
    }
    const QString why = QStringLiteral(
                            "adresse=%1 sans liste autorises=, écoute sur 127.0.0.1 "
                            "seulement (cette machine)")
                            .arg(QString::fromStdString(settings.address));
    settings.address = "127.0.0.1";
    return why;
}

}  // namespace tambrel::remote
