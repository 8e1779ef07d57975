// The settings and options files as bytes: what is written reads back the
// same, and what cannot be understood is named and skipped.

#include <gtest/gtest.h>

#include "app/options_file.h"
#include "app/settings_file.h"
#include "remote/remote_settings.h"

namespace tambrel::app {
namespace {

TEST(SettingsFile, RoundTripsDeviceNamesAndNegativeColours) {
    const std::array<int32_t, kSettingsColors> colors = {9821225,         -1,       0,    255,
                                                         -2147483647 - 1, 16777215, 33023};
    const QString device = QStringLiteral("Carte \"USB\", sortie 1 – Été");
    const QByteArray bytes = writeSettings(device, colors);
    EXPECT_TRUE(bytes.startsWith(device.toUtf8() + "\r\n 9821225 \r\n-1 \r\n 0 \r\n"));
    EXPECT_EQ(bytes.count("\r\n"), 8);
    const SettingsContent back = readSettings(bytes);
    EXPECT_TRUE(back.error.isEmpty());
    EXPECT_EQ(back.device, device);
    EXPECT_EQ(back.colors, std::vector<int32_t>(colors.begin(), colors.end()));

    // A device named across lines stays on its own line: the colours keep theirs.
    const SettingsContent broken =
        readSettings(writeSettings(QStringLiteral("Carte\r\nUSB\n2"), colors));
    EXPECT_EQ(broken.device, QStringLiteral("Carte  USB 2"));
    EXPECT_EQ(broken.colors, std::vector<int32_t>(colors.begin(), colors.end()));

    // An 8-bit file of the old days: the name reads as Windows-1252, and
    // goes back as it came.
    const QByteArray old(
        "Sortie par d\xe9"
        "faut\r\n 1 \r\n 2 \r\n 3 \r\n 4 \r\n 5 \r\n 6 \r\n 7 \r\n");
    const SettingsContent eightBit = readSettings(old);
    EXPECT_EQ(eightBit.device, QStringLiteral("Sortie par défaut"));
    EXPECT_EQ(writeSettings(eightBit.device, {1, 2, 3, 4, 5, 6, 7}, eightBit.encoding), old);
    const SettingsContent shortFile = readSettings("Sortie\r\n 1 \r\n 2 \r\n");
    EXPECT_EQ(shortFile.colors, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(shortFile.error, QStringLiteral("Lecture après la fin du fichier"));
    EXPECT_EQ(readSettings("").error, QStringLiteral("Lecture après la fin du fichier"));
}

TEST(OptionsFile, ReadsWhatItWritesAndSkipsWhatItCannotUnderstand) {
    const Options chosen{QStringLiteral("Casque USB – Été"),
                         350,
                         12,
                         true,
                         true,
                         QStringLiteral("/srv/palettes partagées"),
                         true,
                         false,
                         true,
                         0b1000101U,
                         true,
                         -16.5};
    std::vector<QString> bad;
    EXPECT_EQ(readOptions(writeOptions(chosen), bad), chosen);
    EXPECT_TRUE(bad.empty());

    const Options read = readOptions(
        "# essai\r\nfondu_ms=-1\r\nALERTE_FIN_S = 8\r\ngrandes_touches=peut-être\r\n"
        "volumes=OUI\r\nsans égal\r\npre_ecoute=\r\nfondu_ms=1500x\r\n"
        "lignes_exclusives=2 ,3\r\nlignes_exclusives=1,8\r\nlignes_exclusives=0\r\n",
        bad);
    EXPECT_EQ(read, (Options{QString(), 2000, 8, false, true, QString(), false, true, false, 0b110U,
                             false, -23.0}));
    EXPECT_EQ(bad, (std::vector<QString>{QStringLiteral("ligne 2 : fondu_ms=-1"),
                                         QStringLiteral("ligne 4 : grandes_touches=peut-être"),
                                         QStringLiteral("ligne 6 : sans égal"),
                                         QStringLiteral("ligne 8 : fondu_ms=1500x"),
                                         QStringLiteral("ligne 10 : lignes_exclusives=1,8"),
                                         QStringLiteral("ligne 11 : lignes_exclusives=0")}));
}

// Every bounded key of Options.ini and Telecommande.ini takes either bound;
// one past is a line not understood, and the value before it stays.
TEST(OptionsFile, EveryBoundedKeyTakesItsBoundsAndNamesALineOnePast) {
    using remote::RemoteSettings;
    const std::tuple<const char*, int, int, int Options::*, int RemoteSettings::*> bounded[] = {
        {"fondu_ms", 0, 600000, &Options::fadeMs, nullptr},
        {"alerte_fin_s", 0, 3600, &Options::warnSeconds, nullptr},
        {"port", 1, 65535, nullptr, &RemoteSettings::port},
        {"web_port", 1, 65535, nullptr, &RemoteSettings::webPort},
        {"note", 0, 100, nullptr, &RemoteSettings::firstNote},  // the 28th slot on note 127
        {"canal", 0, 16, nullptr, &RemoteSettings::channel},
        {"note_tout_arreter", 0, 127, nullptr, &RemoteSettings::stopAllNote}};
    for (const auto& [key, lowest, highest, option, remoteSetting] : bounded) {
        for (const auto& [bound, past] :
             {std::pair{lowest, lowest - 1}, std::pair{highest, highest + 1}}) {
            const QString text = QStringLiteral("%1=%2\n%1=%3\n").arg(key).arg(bound).arg(past);
            std::vector<QString> bad;
            EXPECT_EQ(option != nullptr
                          ? readOptions(text.toUtf8(), bad).*option
                          : remote::readRemoteSettings(text.toUtf8(), bad).*remoteSetting,
                      bound)
                << text.toStdString();
            EXPECT_EQ(bad, std::vector<QString>{QStringLiteral("ligne 2 : ") +
                                                text.section(u'\n', 1, 1)});
        }
    }
    // The loudness target, in LUFS, with a point or a comma.
    for (const auto& [bound, past] : {std::pair{"-40", "-40.1"}, std::pair{"-5", "-4,9"}}) {
        std::vector<QString> bad;
        const QString text = QStringLiteral("cible_lufs=%1\ncible_lufs=%2\n").arg(bound, past);
        EXPECT_EQ(readOptions(text.toUtf8(), bad).targetLufs, QString(bound).toDouble());
        EXPECT_EQ(bad, std::vector<QString>{QStringLiteral("ligne 2 : cible_lufs=") + past});
    }
    std::vector<QString> bad;
    const Options read = readOptions("normaliser=oui\ncible_lufs=-16,5\n", bad);
    EXPECT_TRUE(read.normalise);
    EXPECT_EQ(read.targetLufs, -16.5);
    EXPECT_EQ(readOptions(writeOptions(read), bad), read);
    EXPECT_TRUE(bad.empty());
}

}  // namespace
}  // namespace tambrel::app
