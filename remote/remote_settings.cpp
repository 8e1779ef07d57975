#include "remote/remote_settings.h"

#include <arpa/inet.h>

#include <QRegularExpression>
#include <algorithm>

#include "platform/key_value_lines.h"

namespace tambrel::remote {
namespace {
bool ipv4(const QString& text, std::string& value) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.toStdString().c_str(), &parsed) != 1) return false;
    value = text.toStdString();
    return true;
}
}  // namespace

RemoteSettings readRemoteSettings(const QByteArray& bytes, std::vector<QString>& bad) {
    using platform::readNumber;
    using platform::readYesNo;
    RemoteSettings settings;
    platform::readKeyValueLines(
        bytes,
        [&](const QString& key, const QString& value, int lineNumber) {
            if (key == u"osc") return readYesNo(value, settings.osc);
            if (key == u"midi") return readYesNo(value, settings.midi);
            if (key == u"adresse") return ipv4(value, settings.address);
            static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
            if (key == u"noms") {
                // A name as a Host header carries it: letters, digits, '-' and '.'.
                static const QRegularExpression name(QStringLiteral("^[a-z0-9.-]+$"));
                for (const QString& entry : value.toLower().split(separators, Qt::SkipEmptyParts)) {
                    if (name.match(entry).hasMatch()) {
                        settings.names.push_back(entry);
                    } else {
                        bad.push_back(
                            QStringLiteral("ligne %1, noms : %2").arg(lineNumber).arg(entry));
                    }
                }
                return true;
            }
            if (key == u"autorises") {
                for (const QString& entry : value.split(separators, Qt::SkipEmptyParts)) {
                    if (!settings.allowed.add(entry)) {
                        bad.push_back(
                            QStringLiteral("ligne %1, autorises : %2").arg(lineNumber).arg(entry));
                    }
                }
                return true;
            }
            if (key == u"port") return readNumber(value, 1, 65535, settings.port);
            if (key == u"note") return readNumber(value, 0, 127 - 27, settings.firstNote);
            if (key == u"canal") return readNumber(value, 0, 16, settings.channel);
            if (key == u"note_tout_arreter") {
                // Empty is none; a line not understood leaves the note as it was.
                if (!value.isEmpty()) return readNumber(value, 0, 127, settings.stopAllNote);
                settings.stopAllNote = -1;
                return true;
            }
            if (key == u"web") return readYesNo(value, settings.web);
            if (key == u"web_port") return readNumber(value, 1, 65535, settings.webPort);
            if (key == u"code") {
                settings.code = value;
                return true;
            }
            return false;
        },
        bad);
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
