#include "app/settings_file.h"

#include "platform/text_file.h"

namespace tambrel::app {

SettingsContent readSettings(const QByteArray& bytes) {
    SettingsContent content;
    platform::TextReader reader(bytes);
    content.encoding = reader.encoding();
    if (!reader.readLine(content.device)) {
        content.error = QString::fromUtf8(platform::kPastEndOfFile);
        return content;
    }
    for (int line = 0; line < kSettingsColors; ++line) {
        int32_t color = 0;
        if (!reader.readNumber(color, content.error)) return content;
        content.colors.push_back(color);
    }
    return content;
}

QByteArray writeSettings(const QString& device, const std::array<int32_t, kSettingsColors>& colors,
                         platform::TextEncoding encoding) {
    // A line break in a device name would push every colour down a line.
    QString line = device;
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    QString text = line + QStringLiteral("\r\n");
    for (int32_t color : colors) {
        text += QString::fromLatin1(platform::printNumber(color)) + QStringLiteral("\r\n");
    }
    return platform::encodeText(text, encoding);
}

}  // namespace tambrel::app
