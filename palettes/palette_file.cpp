#include "palettes/palette_file.h"

#include <algorithm>

#include "platform/text_file.h"
#include "playback/volume_scale.h"

namespace tambrel::palettes {
PaletteContent readPalette(const QByteArray& bytes) {
    PaletteContent content;
    platform::TextReader reader(bytes);
    content.encoding = reader.encoding();
    for (int slot = 0; slot < kPaletteSlots; ++slot) {
        QString line;
        if (!reader.readLine(line)) {
            content.error = QString::fromUtf8(platform::kPastEndOfFile);
            return content;
        }
        content.paths << line;
    }
    content.hasVolumes = !reader.atEnd();
    if (!content.hasVolumes) return content;
    for (int slot = 0; slot < kPaletteSlots; ++slot) {
        int32_t volume = 0;
        if (!reader.readNumber(volume, content.error)) return content;
        content.volumes.push_back(
            std::clamp(volume, playback::kVolumeSilent, playback::kVolumeMax));
    }
    return content;  // whatever follows the 28th number is not read
}

bool writePalette(const std::array<QString, kPaletteSlots>& paths,
                  const std::array<int32_t, kPaletteSlots>& volumes, QByteArray& bytes,
                  QString& error, platform::TextEncoding encoding) {
    QString text;
    for (int slot = 0; slot < kPaletteSlots; ++slot) {
        const QString& path = paths[static_cast<size_t>(slot)];
        if (path.contains(u'\r') || path.contains(u'\n')) {
            error = QStringLiteral("Le chemin du fichier de la touche %1 contient un saut de ligne")
                        .arg(QChar(65 + slot));
            return false;
        }
        text += path + QStringLiteral("\r\n");
    }
    for (int32_t volume : volumes) {
        text += QString::fromLatin1(platform::printNumber(volume)) + QStringLiteral("\r\n");
    }
    bytes = platform::encodeText(text, encoding);
    return true;
}

}  // namespace tambrel::palettes
