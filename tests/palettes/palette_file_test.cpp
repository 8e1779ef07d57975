// The palette file's reader and writer: every path form round-trips, the
// short and damaged forms give nothing to load, only why.

#include "palettes/palette_file.h"

#include <gtest/gtest.h>

namespace tambrel::palettes {
namespace {

using Paths = std::array<QString, kSlots>;
using Volumes = std::array<int32_t, kSlots>;
using platform::TextEncoding;

QByteArray lines(int count, const char* line) {
    return (QByteArray(line) + "\r\n").repeated(count);
}
// The file the writer makes of these slots; empty when it refuses them.
QByteArray written(const Paths& paths, const Volumes& volumes,
                   TextEncoding encoding = TextEncoding::Utf8) {
    QByteArray bytes;
    QString error;
    return writePalette(paths, volumes, bytes, error, encoding) ? bytes : QByteArray();
}

TEST(PaletteFile, WrittenAsTheFormatSaysAndReadBackFieldByField) {
    Paths paths;
    paths[0] = QStringLiteral("C:\\Jingles\\Intro.mp3");
    paths[1] = QStringLiteral("  \\srv\\a, \"quoted\" name .wav  ");  // blanks at both ends
    paths[2] = QStringLiteral("\\home\\zoé\\Génériques\\Été 2004.mp3");
    paths[3] = QStringLiteral("\\") + QString(249, u'x');  // 250 characters
    paths[26] = QStringLiteral("\\srv\\tab\tulé.wav");     // a tab is a character of names
    paths[27] = QStringLiteral("\\srv\\AC/DC.wav");
    Volumes volumes{};
    volumes.fill(16384);
    volumes[0] = 17000;
    volumes[5] = 0;
    const QByteArray bytes = written(paths, volumes);
    EXPECT_TRUE(
        bytes.startsWith("C:\\Jingles\\Intro.mp3\r\n  \\srv\\a, \"quoted\" name .wav  \r\n"));
    EXPECT_TRUE(bytes.endsWith("\r\n 16384 \r\n"));
    EXPECT_EQ(bytes.count("\r\n"), 56);
    EXPECT_TRUE(bytes.contains("\r\n 17000 \r\n 16384 \r\n"));

    const PaletteContent back = readPalette(bytes);
    EXPECT_TRUE(back.error.isEmpty()) << back.error.toStdString();
    EXPECT_EQ(back.paths, QStringList(paths.begin(), paths.end()));
    EXPECT_TRUE(back.hasVolumes);
    EXPECT_EQ(back.volumes, std::vector<int32_t>(volumes.begin(), volumes.end()));

    // A line break cannot travel in a line, nor another control character
    // the reader would refuse.
    paths[4] = QStringLiteral("\\a\x1b.wav");
    QByteArray refused;
    QString error;
    EXPECT_FALSE(writePalette(paths, volumes, refused, error));
    EXPECT_TRUE(error.contains(u'E'));  // names slot 4's letter
}

TEST(PaletteFile, PathsOnlyFormLeavesVolumesAndLineEndsMayBeCrOrLf) {
    const PaletteContent pathsOnly = readPalette(lines(27, "") + "\\a\\z.mp3\r\n");
    EXPECT_TRUE(pathsOnly.error.isEmpty());
    EXPECT_FALSE(pathsOnly.hasVolumes);
    EXPECT_EQ(pathsOnly.paths[27], QStringLiteral("\\a\\z.mp3"));

    for (const char* end : {"\r", "\n"}) {
        const QByteArray bytes = "\\a\\first.mp3" + QByteArray(end).repeated(28) +
                                 (" 100 " + QByteArray(end)).repeated(28);
        const PaletteContent content = readPalette(bytes);
        EXPECT_TRUE(content.error.isEmpty()) << end;
        EXPECT_EQ(content.paths[0], QStringLiteral("\\a\\first.mp3"));
        EXPECT_EQ(content.paths[1], QString());
        EXPECT_EQ(content.volumes.size(), 28u);
    }
    // The last line may lack its line end; what follows the 28th number is not read.
    const PaletteContent tail = readPalette(lines(28, "") + lines(27, " 5 ") + " 6 \r\nnoise");
    EXPECT_TRUE(tail.error.isEmpty());
    EXPECT_EQ(tail.volumes.back(), 6);
}

TEST(PaletteFile, ADamagedFileGivesNothingButWhatFailedAndWhere) {
    QByteArray noise;  // as a wrong file picked by mistake holds
    for (int i = 0; i < 4000; ++i) noise += static_cast<char>((i * 7919 + 13) % 256);
    const std::pair<QByteArray, const char*> cases[] = {
        {QByteArray(), "Lecture après la fin du fichier (ligne 1)"},
        {lines(10, "\\a\\b.mp3"), "Lecture après la fin du fichier (ligne 11)"},
        {lines(28, "\\x.wav") + "\r\n", "Lecture après la fin du fichier (volume de la touche A)"},
        {lines(28, "") + lines(3, " 7 ") + "loud\r\n", "Type incompatible (volume de la touche D)"},
        {lines(28, "") + " 99999999999 \r\n", "Dépassement de capacité (volume de la touche A)"},
        {QByteArray("\\a\x01.wav\r\n") + lines(27, ""),
         "Caractère de contrôle dans un chemin (ligne 1)"},
        {noise, nullptr},
    };
    for (const auto& [bytes, error] : cases) {
        const PaletteContent content = readPalette(bytes);
        if (error != nullptr) {
            EXPECT_EQ(content.error.toStdString(), error);
        }
        EXPECT_FALSE(content.error.isEmpty());
        // Nothing of it is given to load: a palette loads whole or not at all.
        EXPECT_TRUE(content.paths.isEmpty()) << error;
        EXPECT_TRUE(content.volumes.empty()) << error;
    }

    // Out of the slider's range: brought into it.
    const PaletteContent range = readPalette(lines(28, "") + "-5\r\n 20000 \r\n" + lines(26, "9"));
    EXPECT_TRUE(range.error.isEmpty());
    EXPECT_EQ(range.volumes[0], 0);
    EXPECT_EQ(range.volumes[1], 17000);
}

TEST(PaletteFile, EightBitPalettesAreReadAsWindows1252AndWrittenBackByteForByte) {
    // As the 8-bit program writes it: é = E9, € = 80, and 81, a byte
    // Windows-1252 leaves unused; none of it is valid UTF-8.
    const QByteArray old = QByteArray(
                               "C:\\Jingles\\G\xe9n\xe9rique \x80.mp3\r\n"
                               "\\\\STUDIO\\Pubs\\Caf\xe9 \x81.wav\r\n") +
                           lines(26, "") + lines(27, " 16384 ") + " 900 \r\n";
    const PaletteContent content = readPalette(old);
    ASSERT_TRUE(content.error.isEmpty());
    EXPECT_EQ(content.encoding, TextEncoding::Windows1252);
    EXPECT_EQ(content.paths[0], QStringLiteral("C:\\Jingles\\Générique €.mp3"));
    Paths paths;
    std::copy(content.paths.begin(), content.paths.end(), paths.begin());
    Volumes volumes{};
    std::copy(content.volumes.begin(), content.volumes.end(), volumes.begin());
    EXPECT_EQ(written(paths, volumes, content.encoding), old);

    // A name Windows-1252 cannot hold: the whole file goes out in UTF-8.
    paths[2] = QStringLiteral("\\srv\\Ωmega.wav");
    const QByteArray utf8 = written(paths, volumes, content.encoding);
    EXPECT_TRUE(utf8.startsWith("C:\\Jingles\\G\xc3\xa9n\xc3\xa9rique \xe2\x82\xac.mp3\r\n"));
    EXPECT_EQ(readPalette(utf8).paths[2], paths[2]);
}

TEST(PaletteFile, EachLineIsDecodedByItself) {
    // Edited on both systems: a UTF-8 line beside a Windows-1252 one.
    const QByteArray mixed =
        QByteArray("\\srv\\\xc3\x89t\xc3\xa9.mp3\r\n\\srv\\\xc9t\xe9.mp3\n") + lines(26, "");
    const PaletteContent content = readPalette(mixed);
    EXPECT_EQ(content.paths[0], QStringLiteral("\\srv\\Été.mp3"));
    EXPECT_EQ(content.paths[1], QStringLiteral("\\srv\\Été.mp3"));
    EXPECT_EQ(content.encoding, TextEncoding::Windows1252);
    // Written back in 8 bits, a UTF-8 line holding "Ã©" would be the bytes
    // C3 A9, valid UTF-8 for "é": that file goes out in UTF-8 instead.
    Paths paths;
    paths[0] = QStringLiteral("\\srv\\Ã©.mp3");
    paths[1] = content.paths[1];
    const PaletteContent back = readPalette(written(paths, {}, content.encoding));
    EXPECT_EQ(back.paths[0], paths[0]);
    EXPECT_EQ(back.paths[1], paths[1]);
    // Valid UTF-8 is taken as such, with or without a byte-order mark, and
    // stays UTF-8.
    const PaletteContent utf8 =
        readPalette(QByteArray("\xef\xbb\xbf\\G\xc3\xa9n.mp3\r\n") + lines(27, ""));
    EXPECT_EQ(utf8.paths[0], QStringLiteral("\\Gén.mp3"));
    EXPECT_EQ(utf8.encoding, TextEncoding::Utf8);
}

}  // namespace
}  // namespace tambrel::palettes
