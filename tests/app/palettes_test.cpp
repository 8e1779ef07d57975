// Palettes from the window: loading over a broadcast, partial loads, new,
// save and delete with the operator's answers, clearing slots and colours.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <fstream>

#include "palettes/palette_file.h"
#include "platform/colors.h"
#include "platform/path_form.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using playback::kPlaying;

QString systemForm(const QString& native) {
    return platform::toSystemPath(native);
}

struct PaletteRig : WindowRig {
    // Writes a palette file into the program's folder and lists it.
    void palette(const std::string& name, const QByteArray& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes.toStdString();
        window->File1.Refresh();
        window->File1_PathChange();
    }
    void pick(const QString& entry) {
        window->ComboBank->setText(entry);
        window->ComboBank_Click();
    }
    QByteArray file(const std::string& name) {
        QFile f(QString::fromStdString(dir.file(name)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

QByteArray paletteBytes(const std::array<QString, 28>& paths, int32_t volume = 16384) {
    std::array<int32_t, 28> volumes{};
    volumes.fill(volume);
    QByteArray bytes;
    QString error;
    palettes::writePalette(paths, volumes, bytes, error);
    return bytes;
}

TEST(Palettes, LoadingReplacesTheSlotsInPlaceWithoutCuttingWhatSounds) {
    PaletteRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("on-air.wav", 3000));
    rig.assign(2, rig.wav("bed.wav", 3000));
    w.Touche_Click(0);
    w.Touche_Click(2);
    std::array<QString, 28> paths;
    paths[0] = systemForm(rig.wav("next.wav", 2000));
    paths[27] = systemForm(rig.wav("Intro.wav", 5000));
    paths[5] = systemForm(QString::fromStdString(rig.dir.file("missing.mp3")));
    rig.palette("Matin.Bnk", paletteBytes(paths, 12000));
    rig.pick(QStringLiteral("Matin.Bnk"));

    EXPECT_TRUE(rig.dialogs.asked.size() == 2u);  // the two assignments, no failure
    EXPECT_EQ(w.Player[0]->State(), kPlaying);    // a slot with a file keeps sounding
    EXPECT_EQ(w.Player[0]->FileName(), paths[0]);
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("next\r\n\r\nA"));
    EXPECT_NE(w.Player[2]->State(), kPlaying);  // an empty entry stops its slot
    EXPECT_EQ(w.Touche[2]->Caption(), QStringLiteral("C"));
    EXPECT_EQ(w.InfoTrack[2]->Caption(), QStringLiteral("--:--"));
    EXPECT_EQ(w.Touche[27]->Caption(), QStringLiteral("Intro\r\n\r\n\\"));
    EXPECT_EQ(w.InfoTrack[27]->Caption(), QStringLiteral("00:05"));
    // A missing file still gets its slot; the rest of the palette loads.
    EXPECT_EQ(w.Touche[5]->Caption(), QStringLiteral("missing\r\n\r\nF"));
    EXPECT_EQ(w.InfoTrack[5]->Caption(), QStringLiteral("absent"));
    EXPECT_EQ(w.InfoTrack[5]->ToolTipText(),
              QStringLiteral("Fichier introuvable : ") + rig.dir.file("missing.mp3").c_str());
    EXPECT_EQ(w.InfoTrack[27]->ToolTipText(), QStringLiteral(" Double click pour supprimer "));
    for (int16_t i = 0; i < kSlots; ++i) EXPECT_EQ(w.Slider[i]->Value(), 12000);
    EXPECT_EQ(w.Player[9]->Volume(), 12000);  // through the slider's change event
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.Boucle[0]->BackColor(), playback::kLoopOff);  // loop flags untouched
}

TEST(Palettes, AFailedLoadKeepsWhatItReachedAndSaysWhatFailed) {
    PaletteRig rig;
    F1a& w = rig.start();
    rig.assign(20, rig.wav("old.wav", 1000));
    w.Slider[3]->setValue(9000);
    const QString path = systemForm(rig.wav("new.wav", 1000));
    QByteArray ten;
    for (int i = 0; i < 10; ++i) ten += path.toUtf8() + "\r\n";
    rig.palette("Court.Bnk", ten);
    rig.pick(QStringLiteral("Court.Bnk"));
    ASSERT_EQ(rig.dialogs.asked.size(), 2u);
    EXPECT_EQ(rig.dialogs.asked[1].text,
              QStringLiteral("Lecture après la fin du fichier\r\nCourt.Bnk"));
    EXPECT_EQ(rig.dialogs.asked[1].style, 48);
    EXPECT_EQ(w.Player[9]->FileName(), path);
    EXPECT_EQ(w.Touche[20]->Caption(), QStringLiteral("old\r\n\r\nU"));  // after the failure
    EXPECT_EQ(w.Slider[3]->Value(), 9000);
    EXPECT_TRUE(w.BankName->Caption().isEmpty());

    // A word where a volume should be: the volumes before it are in.
    rig.palette("Mot.Bnk", paletteBytes({}).left(28 * 2) + " 100 \r\n 200 \r\nfort\r\n");
    rig.pick(QStringLiteral("Mot.Bnk"));
    EXPECT_EQ(rig.dialogs.asked.back().text, QStringLiteral("Type incompatible\r\nMot.Bnk"));
    EXPECT_EQ(w.Slider[1]->Value(), 200);
    EXPECT_EQ(w.Slider[2]->Value(), 16384);

    // A file gone behind the list's back.
    QFile::remove(QString::fromStdString(rig.dir.file("Mot.Bnk")));
    rig.pick(QStringLiteral("Mot.Bnk"));
    EXPECT_EQ(rig.dialogs.asked.back().text, QStringLiteral("Fichier introuvable\r\nMot.Bnk"));
}

TEST(Palettes, AWindowsPalettePlaysThroughTheMappingAndIsSavedUnchanged) {
    PaletteRig rig;
    // The jingle folders as copied from the Windows machine: drive C as a
    // link beside the program, a share by a mapping line.
    QDir().mkpath(QString::fromStdString(rig.dir.file("copie/Jingles")));
    QDir().mkpath(QString::fromStdString(rig.dir.file("pubs")));
    rig.wav("copie/Jingles/Générique.wav", 1000);
    rig.wav("pubs/Pub 1.wav", 2000);
    ASSERT_EQ(::symlink(rig.dir.file("copie").c_str(), rig.dir.file("C").c_str()), 0);
    std::ofstream(rig.dir.file("Lecteurs.ini"), std::ios::binary)
        << "# Studio B\r\n\\\\Studio\\Pubs\r\n\\\\STUDIO\\Pubs=" << rig.dir.file("pubs") << "\r\n";
    F1a& w = rig.start();
    // The line it cannot use is said once, with where it is.
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.dialogs.asked[0].style, 48);
    EXPECT_TRUE(rig.dialogs.asked[0].text.contains(rig.dir.file("Lecteurs.ini").c_str()));
    EXPECT_TRUE(rig.dialogs.asked[0].text.contains(QStringLiteral("ligne 2 : \\\\Studio\\Pubs")));

    // As the Windows program writes it: Windows-1252, CR LF, other letter cases.
    const QByteArray windows = QByteArray(
                                   "C:\\JINGLES\\g\xe9n\xe9rique.wav\r\n"
                                   "\\\\studio\\pubs\\PUB 1.wav\r\n"
                                   "D:\\Absent.wav\r\n") +
                               QByteArray("\r\n").repeated(25) +
                               QByteArray(" 16384 \r\n").repeated(27) + " 8000 \r\n";
    rig.palette("Windows.Bnk", windows);
    rig.pick(QStringLiteral("Windows.Bnk"));
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:01"));
    EXPECT_EQ(w.InfoTrack[1]->Caption(), QStringLiteral("00:02"));
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("générique\r\n\r\nA"));
    // What cannot be found says where it was looked for, and what the palette says.
    EXPECT_EQ(w.InfoTrack[2]->Caption(), QStringLiteral("absent"));
    EXPECT_EQ(w.InfoTrack[2]->ToolTipText(), QStringLiteral("Fichier introuvable : ") +
                                                 rig.dir.file("D/Absent.wav").c_str() +
                                                 QStringLiteral(" (D:\\Absent.wav)"));
    w.Touche_Click(0);
    w.Touche_Click(1);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Player[1]->State(), kPlaying);
    const std::vector<float> out = rig.render(4096);
    EXPECT_GT(std::count_if(out.begin(), out.end(), [](float v) { return v != 0.0f; }), 4000);

    // The palette holds the Windows paths still, byte for byte.
    EXPECT_EQ(w.Player[0]->FileName(), QStringLiteral("C:\\JINGLES\\générique.wav"));
    w.MnuSauverBank_Click();
    EXPECT_EQ(rig.file("Windows.Bnk"), windows);
}

TEST(Palettes, NewSaveAndDeleteFollowTheOperatorsAnswers) {
    PaletteRig rig;
    F1a& w = rig.start();
    w.MnuSauverBank_Click();  // no name yet
    EXPECT_EQ(rig.dialogs.asked.back().text,
              QStringLiteral("Il faut mettre un nom a cette banque\r\n\r\nIl faut commencer par "
                             "Nouvelle Palette"));
    rig.dialogs.inputAnswers = {QStringLiteral("   "), QString()};
    w.MnuNewBank_Click();
    w.MnuNewBank_Click();
    EXPECT_TRUE(w.BankName->Caption().isEmpty());  // blanks or Cancel change nothing

    rig.assign(4, rig.wav("e.wav", 2000));
    w.Slider[4]->setValue(5000);
    rig.dialogs.inputAnswers = {QStringLiteral("Matin")};
    w.MnuNewBank_Click();
    EXPECT_EQ(rig.dialogs.asked.back().kind, QStringLiteral("InputBox"));
    EXPECT_EQ(rig.dialogs.asked.back().text,
              QStringLiteral("Entrez le nom de la nouvelle palette"));
    EXPECT_EQ(rig.dialogs.asked.back().title, QStringLiteral("Nouvelle palette"));
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.Touche[4]->Caption(), QStringLiteral("E"));
    EXPECT_EQ(w.InfoTrack[4]->Caption(), QStringLiteral("--:--"));
    EXPECT_EQ(w.Slider[4]->Value(), 16384);
    EXPECT_EQ(rig.file("Matin.Bnk"), paletteBytes({}));
    EXPECT_EQ(w.ComboBank->Text(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.ComboBank->ListIndex(), 0);

    // The same name again: the question; Cancel keeps the slots, not the name.
    rig.assign(1, rig.wav("b.wav", 2000));
    rig.dialogs.inputAnswers = {QStringLiteral("Matin")};
    rig.dialogs.msgBoxAnswers = {platform::kAnswerCancel};
    w.MnuNewBank_Click();
    // Paths in messages are written as the operator's system writes them.
    EXPECT_EQ(rig.dialogs.asked.back().text, QStringLiteral("Cette palette existe déjà\r\n") +
                                                 QString::fromStdString(rig.dir.file("Matin.Bnk")) +
                                                 QStringLiteral("\r\nEcraser ?"));
    EXPECT_EQ(rig.dialogs.asked.back().style, 32 + 1 + 256);
    EXPECT_EQ(w.Touche[1]->Caption(), QStringLiteral("b\r\n\r\nB"));
    w.MnuSauverBank_Click();  // writes the slots into the existing palette
    EXPECT_TRUE(rig.file("Matin.Bnk").contains("b.wav"));

    rig.dialogs.inputAnswers = {QStringLiteral(" Matin.Bnk ")};
    w.MnuNewBank_Click();
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral(" Matin.Bnk .Bnk"));  // blanks kept

    // Delete asks with the full path; No keeps the file, Yes deletes even a read-only one.
    w.ComboBank->setText(QStringLiteral("Matin.Bnk"));
    rig.dialogs.msgBoxAnswers = {platform::kAnswerNo};
    w.Supprimer_Click();
    EXPECT_EQ(rig.dialogs.asked.back().text, QString::fromStdString(rig.dir.file("Matin.Bnk")));
    EXPECT_EQ(rig.dialogs.asked.back().title, QStringLiteral("Suppression"));
    EXPECT_EQ(rig.dialogs.asked.back().style, 16 + 4 + 256);
    ASSERT_EQ(chmod(rig.dir.file("Matin.Bnk").c_str(), 0444), 0);
    rig.dialogs.msgBoxAnswers = {platform::kAnswerYes};
    w.Supprimer_Click();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(rig.dir.file("Matin.Bnk"))));
    EXPECT_EQ(w.ComboBank->ListCount(), 1);
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);
    const size_t asked = rig.dialogs.asked.size();
    w.Supprimer_Click();  // nothing selected: nothing asked
    EXPECT_EQ(rig.dialogs.asked.size(), asked);
}

TEST(Palettes, UnsafeNamesAreRefusedBeforeAnythingChanges) {
    PaletteRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("a.wav", 1000));
    for (const QString& name :
         {QStringLiteral("../Soir"), QStringLiteral("a/b"), QStringLiteral("a\\b"),
          QStringLiteral("Tab\tulé"), QString(300, u'x')}) {
        rig.dialogs.inputAnswers = {name};
        w.MnuNewBank_Click();
        EXPECT_TRUE(
            rig.dialogs.asked.back().text.startsWith(QStringLiteral("Nom de palette refusé")))
            << name.toStdString();
        EXPECT_TRUE(w.BankName->Caption().isEmpty());
        EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("a\r\n\r\nA"));
    }
    EXPECT_EQ(w.ComboBank->ListCount(), 0);
}

TEST(Palettes, AFailedSaveSaysSoAndLeavesThePaletteAsItWas) {
    PaletteRig rig;
    F1a& w = rig.start();
    rig.dialogs.inputAnswers = {QStringLiteral("Soir")};
    w.MnuNewBank_Click();
    const QByteArray before = rig.file("Soir.Bnk");
    ASSERT_FALSE(before.isEmpty());
    rig.assign(0, rig.wav("a.wav", 1000));
    ASSERT_EQ(chmod(rig.dir.file("Soir.Bnk").c_str(), 0444), 0);
    w.MnuSauverBank_Click();
    EXPECT_EQ(rig.dialogs.asked.back().text, QStringLiteral("Permission refusée\r\n") +
                                                 QString::fromStdString(rig.dir.file("Soir.Bnk")));
    EXPECT_EQ(rig.file("Soir.Bnk"), before);
}

TEST(Palettes, ClearingASlotAndChoosingALineColour) {
    PaletteRig rig;
    F1a& w = rig.start();
    rig.assign(4, rig.wav("e.wav", 3000));
    w.Touche_Click(4);
    w.InfoTrack_DblClick(4);  // on air: refused
    EXPECT_EQ(w.Touche[4]->Caption(), QStringLiteral("e\r\n\r\nE"));
    w.Touche_Click(4);
    w.InfoTrack_DblClick(4);
    EXPECT_TRUE(w.Touche[4]->Caption().isEmpty());
    EXPECT_TRUE(w.Player[4]->FileName().isEmpty());
    EXPECT_EQ(w.InfoTrack[4]->Caption(), QStringLiteral("E"));

    rig.assign(5, rig.wav("f.wav", 3000));
    w.Touche_Click(5);
    const int32_t green = platform::rgb(0, 255, 0);
    rig.dialogs.colorAnswers = {green, std::nullopt};
    w.Couleur_Click(1);
    EXPECT_EQ(w.Couleur[1]->BackColor(), green);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[4]->BackColor(), green);
    EXPECT_EQ(w.Touche[6]->BackColor(), green);
    EXPECT_EQ(w.Touche[5]->BackColor(), platform::QBColor(12));  // playing: stays red
    EXPECT_EQ(w.Touche[8]->BackColor(), w.Couleur[2]->BackColor());
    w.Couleur_Click(1);  // cancelled
    EXPECT_EQ(w.Couleur[1]->BackColor(), green);
}

}  // namespace
}  // namespace tambrel::app
