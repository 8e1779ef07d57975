// Palettes made on this machine: Linux paths as Linux writes them, typed by
// hand or chosen in the file dialog, beside the older form; names an 8-bit
// copy left in Windows-1252 bytes; and every path saved as it was given.

#include <gtest/gtest.h>

#include <QDir>
#include <algorithm>

#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

TEST(LinuxPalettes, PlayFromLinuxPathsAndAreSavedAsWrittenWithTheDialogsPathsToo) {
    WindowRig rig;
    QDir().mkpath(rig.path("jingles"));
    const QByteArray folder = QFile::encodeName(rig.path("jingles"));
    rig.wav("jingles/Intro.wav", 1000);
    rig.wav("jingles/a.b.wav", 2000);
    rig.wav("Ancien.wav", 3000);
    ASSERT_TRUE(testing::writeAudio(folder.toStdString() + "/G\xE9n\xE9rique.wav",
                                    testing::FileKind::Wav16, 44100, 2, 44100, testing::staircase));
    F1a& w = rig.start();

    // Typed by hand, in Windows-1252 for its "é": a name in other letter
    // cases, the older form, a file not there, a name in 8-bit bytes.
    std::vector<QByteArray> lines = {
        folder + "/Intro.wav",
        QFile::encodeName(rig.path("JINGLES/A.B.WAV")),
        platform::toSystemPath(rig.path("Ancien.wav")).toUtf8(),
        folder + "/Bruit.flac",
        folder + "/G\xE9n\xE9rique.wav",
    };
    lines.resize(kSlots);
    QByteArray bytes;
    for (const QByteArray& line : lines) bytes += line + "\r\n";
    bytes += QByteArray(" 16384 \r\n").repeated(kSlots);
    rig.put("Linux.Bnk", bytes);
    rig.pick(QStringLiteral("Linux.Bnk"));
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_EQ(rig.shows(0), "Intro\r\n\r\nA|00:01");
    EXPECT_EQ(rig.shows(1), "A.B\r\n\r\nB|00:02");
    EXPECT_EQ(rig.shows(2), "Ancien\r\n\r\nC|00:03");
    EXPECT_EQ(rig.shows(3), "Bruit\r\n\r\nD|absent");
    EXPECT_EQ(w.InfoTrack[3]->ToolTipText(),
              QString::fromUtf8("Fichier introuvable : " + folder + "/Bruit.flac"));
    EXPECT_EQ(rig.shows(4), "Générique\r\n\r\nE|00:01");
    w.Touche_Click(4);
    EXPECT_EQ(rig.onAir(), "E");
    const std::vector<float> out = rig.render(4096);
    EXPECT_GT(std::count_if(out.begin(), out.end(), [](float v) { return v != 0.0f; }), 4000);

    // A file chosen in the dialog is saved as the dialog gave it; the
    // palette's own lines go back byte for byte.
    const QString chosen = rig.wav("jingles/Nouveau.wav", 1000);
    rig.assign(5, chosen);
    EXPECT_EQ(w.Player[5]->FileName(), chosen);
    w.MnuSauverBank_Click();
    lines[5] = QFile::encodeName(chosen);
    QByteArray saved;
    for (const QByteArray& line : lines) saved += line + "\r\n";
    EXPECT_EQ(rig.read("Linux.Bnk"), saved + QByteArray(" 16384 \r\n").repeated(kSlots));
}

}  // namespace
}  // namespace tambrel::app
