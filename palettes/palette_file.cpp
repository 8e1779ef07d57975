#include "palettes/palette_file.h"

#include <algorithm>

#include "platform/text_file.h"
#include "playback/volume_scale.h"

namespace tambrel::palettes {
namespace {

// A file name holds no control character but the tab (Windows refuses them
// all, Linux names have none in practice): a line that does is no path but a
// damaged or foreign file.
bool holdsControl(const QString& line) {
    return std::any_of(line.begin(), line.end(),
                       [](QChar c) { return c.unicode() < 0x20 && c != u'\t'; });
}

PaletteContent failed(PaletteContent content, const QString& description, const QString& where) {
    content.paths.clear();
    content.volumes.clear();
    content.error = description + QStringLiteral(" (") + where + u')';
    return content;
}

QString pathLine(int slot) {
    return QStringLiteral("ligne %1").arg(slot + 1);
}

}  // namespace

PaletteContent readPalette(const QByteArray& bytes) {
    PaletteContent content;
    platform::TextReader reader(bytes);
    content.encoding = reader.encoding();
    for (int slot = 0; slot < kSlots; ++slot) {
        QString line;
        if (!reader.readLine(line)) {
            return failed(content, QString::fromUtf8(platform::kPastEndOfFile), pathLine(slot));
        }
        if (holdsControl(line))
            return failed(content, QString::fromUtf8(kNotAPath), pathLine(slot));
        content.paths << line;
    }
    content.hasVolumes = !reader.atEnd();
    if (!content.hasVolumes) return content;
    for (int slot = 0; slot < kSlots; ++slot) {
        int32_t volume = 0;
        QString error;
        if (!reader.readNumber(volume, error)) {
            return failed(content, error,
                          QStringLiteral("volume de la touche ") + QChar(65 + slot));
        }
        content.volumes.push_back(
            std::clamp(volume, playback::kVolumeSilent, playback::kVolumeMax));
    }
    return content;  // whatever follows the 28th number is not read
}

bool writePalette(const std::array<QString, kSlots>& paths,
                  const std::array<int32_t, kSlots>& volumes, QByteArray& bytes, QString& error,
                  platform::TextEncoding encoding) {
    QString text;
    for (int slot = 0; slot < kSlots; ++slot) {
        const QString& path = paths[static_cast<size_t>(slot)];
        if (holdsControl(path)) {  // a line that could not be read back
            error = QStringLiteral(
                        "Le chemin du fichier de la touche %1 contient un caractère de contrôle")
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
