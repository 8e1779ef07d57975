// The settings file in the window: applied at start, written at once when
// the operator changes a setting and at either end, a damaged file reported
// and removed, a file that cannot be written kept as it was.

#include "app/settings_file.h"

#include "app/options_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

const char* const kIni = "Tambrel.ini";

TEST(SettingsFile, ARestartRestoresColoursAndDevice) {
    WindowRig rig;
    rig.put(kIni, "Cue\r\n 1 \r\n-2 \r\n 3 \r\n 4 \r\n 5 \r\n 6 \r\n 7 \r\n");
    F1a& w = rig.start();
    EXPECT_EQ(w.Couleur[0]->BackColor(), 1);
    EXPECT_EQ(w.Couleur[1]->BackColor(), -2);
    EXPECT_EQ(w.Output->Text(), QStringLiteral("Cue"));
    EXPECT_EQ(w.Player[17]->DeviceID(), 1);  // entry 2: device 1

    // A device not plugged in at start stays the choice, shown absent; the
    // file keeps its name, and it is used as soon as it appears.
    WindowRig gone;
    gone.put(kIni, "Vanished USB\r\n 1 \r\n 2 \r\n 3 \r\n 4 \r\n 5 \r\n 6 \r\n 7 \r\n");
    F1a& g = gone.start();
    EXPECT_EQ(g.Couleur[6]->BackColor(), 7);
    EXPECT_EQ(g.Output->ListIndex(), 3);
    EXPECT_EQ(g.Output->Text(), QStringLiteral("Vanished USB (absente)"));
    EXPECT_EQ(g.Player[0]->DeviceID(), 2);
    g.SettingsFile(QStringLiteral("Save"));
    EXPECT_TRUE(gone.read(kIni).startsWith("Vanished USB\r\n"));
    gone.assign(0, gone.wav("a.wav", 2000));
    g.Touche_Click(0);
    EXPECT_EQ(gone.onAir(), "");
    EXPECT_EQ(g.Touche[0]->Notice(), QStringLiteral("Sortie audio absente : Vanished USB"));

    gone.backend->addDevice("Vanished USB");
    gone.audio.refreshDevices();
    EXPECT_EQ(g.Output->Text(), QStringLiteral("Vanished USB"));
    g.Touche_Click(0);
    EXPECT_EQ(gone.onAir(), "A");
    EXPECT_NE(gone.backend->output(std::string("Vanished USB")), nullptr);
}

// A name longer than the box: chosen by it, shown shortened in its middle,
// whole in the tool tip with how the device keeps up, unplugged as any other.
TEST(SettingsFile, ALongDeviceNameIsChosenByNameAndShownShortenedInItsMiddle) {
    const QString name =
        QStringLiteral("Interface USB du studio B, sortie ligne 3-4 (analogique stéréo)");
    WindowRig rig;
    rig.backend->addDevice(name.toStdString());
    rig.put(kIni, writeSettings(name, {1, 2, 3, 4, 5, 6, 7}));
    F1a& w = rig.start();
    EXPECT_EQ(w.Output->Text(), name);
    EXPECT_EQ(w.Player[3]->DeviceID(), 2);
    const auto halves = [&w] { return w.Output->ShownText().split(u'\u2026'); };
    ASSERT_EQ(halves().size(), 2) << w.Output->ShownText().toStdString();
    EXPECT_GE(halves()[0].size(), 8);
    EXPECT_GE(halves()[1].size(), 8);
    EXPECT_TRUE(name.startsWith(halves()[0]));
    EXPECT_TRUE(name.endsWith(halves()[1]));
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Output->ToolTipText(),
              name + QStringLiteral("\nLatence : \u2014 \u2014 coupures : 0"));

    rig.backend->unplug(name.toStdString());
    rig.audio.refreshDevices();
    EXPECT_EQ(w.Output->Text(), name + QStringLiteral(" (absente)"));
    EXPECT_TRUE(halves()[1].endsWith(QStringLiteral("(absente)")));
    w.Timer1_OnTimer();
    EXPECT_TRUE(w.Output->ToolTipText().startsWith(name + QStringLiteral(" (absente)\n")));
}

TEST(SettingsFile, ADamagedFileIsReportedRemovedAndKeepsWhatWasRead) {
    WindowRig rig;
    rig.put(kIni, "Cue\r\n 11 \r\n 22 \r\nvert\r\n 44 \r\n");
    F1a& w = rig.start();
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.dialogs.last(), "MsgBox | 16 |  | Type incompatible\r\n" + rig.dir.file(kIni));
    EXPECT_FALSE(QFile::exists(rig.path(kIni)));
    EXPECT_EQ(w.Couleur[0]->BackColor(), 11);
    EXPECT_EQ(w.Couleur[1]->BackColor(), 22);
    EXPECT_EQ(w.Couleur[2]->BackColor(), 12615808);  // the default it had
    EXPECT_EQ(w.Output->ListIndex(), 0);             // no device chosen

    WindowRig few;
    few.put(kIni, "Cue\r\n 1 \r\n");
    few.start();
    EXPECT_EQ(few.asked().text, "Lecture après la fin du fichier\r\n" + few.path(kIni));
    EXPECT_FALSE(QFile::exists(few.path(kIni)));
}

TEST(SettingsFile, WithoutAFileTheDefaultsApplyAndQuitOrCloseWriteWhatIsChosen) {
    WindowRig rig;
    F1a& w = rig.start();
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_EQ(w.Couleur[3]->BackColor(), 33023);
    w.Couleur[3]->setBackColor(-5);
    w.Output->setListIndex(1);
    EXPECT_THROW(w.MnuQuitter_Click(), testing::Terminated);
    // The other colours are the defaults.
    EXPECT_EQ(rig.read(kIni),
              writeSettings(QStringLiteral("Studio"),
                            {9821225, 12615935, 12615808, -5, 8454143, 16777088, 8421631}));
    WindowRig closing;
    F1a& c = closing.start();
    c.show();
    EXPECT_TRUE(c.close());
    EXPECT_EQ(readSettings(closing.read(kIni)).device,
              QStringLiteral("Sortie par défaut du système"));
}

TEST(SettingsFile, AChangeIsWrittenAtOnceAndAFailedWriteKeepsTheFileBefore) {
    WindowRig rig;
    F1a& w = rig.start();
    rig.dialogs.colorAnswers = {255};
    w.Couleur_Click(2);
    w.Output->setListIndex(2);  // as the operator's pick
    // Kept without waiting for the end: a kill -9 loses nothing of it.
    const SettingsContent kept = readSettings(rig.read(kIni));
    EXPECT_EQ(kept.colors[2], 255);
    EXPECT_EQ(kept.device, QStringLiteral("Cue"));

    // A file the operator made read-only: neither a change nor any end
    // rewrites or removes it, and only the orderly ends ask.
    ASSERT_EQ(chmod(rig.dir.file(kIni).c_str(), 0444), 0);
    const QByteArray before = rig.read(kIni);
    w.Output->setListIndex(1);
    EXPECT_EQ(w.messageStrip->Caption(),
              "Réglages non enregistrés : Permission refusée — " + rig.path(kIni));
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);  // the colour chooser alone
    w.endOfSession();
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_THROW(w.MnuQuitter_Click(), testing::Terminated);
    EXPECT_EQ(rig.dialogs.last(), "MsgBox | 16 |  | Permission refusée\r\n" + rig.dir.file(kIni));
    EXPECT_EQ(rig.read(kIni), before);
}

TEST(SettingsFile, AFolderWhereNothingCanBeKeptIsSaidOnTheWindowNotInABox) {
    WindowRig rig;
    rig.system.folder = rig.path("effacé");
    F1a& w = rig.start();
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_EQ(w.messageStrip->Caption(),
              "Le dossier du programme refuse l'écriture (Fichier introuvable) : ni les réglages, "
              "ni les palettes, ni le journal de diffusion ne seront enregistrés — " +
                  rig.path("effacé") + u'/');
    rig.system.clock += 3600;  // said until something else is
    w.Timer1_OnTimer();
    EXPECT_TRUE(w.messageStrip->Visible());
}

TEST(OptionsFile, AppliedAtStartAndWrittenApartFromTheSettingsOnEachChange) {
    WindowRig rig;
    rig.put("Options.ini", "volumes=oui\nfondu_ms=?\nalerte_fin_s=3\n");
    rig.put(kIni, writeSettings(QString(), {1, 2, 3, 4, 5, 6, 7}));
    const QByteArray settings = rig.read(kIni);
    F1a& w = rig.start();
    EXPECT_TRUE(w.MnuVolume->Checked());
    Options expected;
    expected.warnSeconds = 3;
    expected.volumes = true;
    EXPECT_EQ(w.options(), expected);
    w.MnuVolume_Click();
    EXPECT_EQ(rig.read("Options.ini"),
              "pre_ecoute=\nfondu_ms=2000\nalerte_fin_s=3\ngrandes_touches=non\nvolumes=non\n"
              "dossier_palettes=\nverrou=non\ntouches_palettes=oui\nhorloge=non\n"
              "lignes_exclusives=\nnormaliser=non\ncible_lufs=-23\n");
    EXPECT_EQ(rig.read(kIni), settings);
}

}  // namespace
}  // namespace tambrel::app
