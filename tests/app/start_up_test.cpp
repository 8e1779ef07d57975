// Start-up as the operator meets it: the screen test, the layouts, the
// lists, the slots at rest, the splash, and a second copy refused.

#include <gtest/gtest.h>

#include <fstream>

#include "playback/mm_slider.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

TEST(StartUp, NarrowScreenIsRefusedAndNothingIsLoaded) {
    WindowRig rig(799);
    EXPECT_THROW(rig.start(), testing::Terminated);
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.dialogs.asked[0].text, QStringLiteral("Mini 800x600"));
    EXPECT_EQ(rig.dialogs.asked[0].style, 48);
    EXPECT_TRUE(rig.dialogs.asked[0].title.isEmpty());
}

TEST(StartUp, DesignLayoutExceptOnAScreenExactly1024Wide) {
    for (int pixels : {800, 1023, 1280}) {
        WindowRig rig(pixels);
        F1a& w = rig.start();
        EXPECT_TRUE(rig.dialogs.asked.empty()) << pixels;
        // Slot 6: line 1, column 2.
        EXPECT_EQ(w.Touche[6]->Left(), 6060) << pixels;
        EXPECT_EQ(w.Touche[6]->Top(), 2340);
        EXPECT_EQ(w.Touche[6]->Width(), 2835);
        EXPECT_EQ(w.VueMettre[6]->Left(), 7260);
        EXPECT_EQ(w.VueMettre[6]->Width(), 1635);
        EXPECT_EQ(w.InfoTrack[6]->Top(), 2100);
        EXPECT_EQ(w.Output->Left(), 8880);
        // Twips become pixels at 15 to one.
        EXPECT_EQ(w.Touche[6]->widget()->geometry(), QRect(404, 156, 189, 53));
    }
    WindowRig rig(1024);
    F1a& w = rig.start();
    // The wide layout's columns, in twips.
    const int32_t lefts[4] = {420, 4020, 7620, 11220};
    for (int16_t i = 0; i < kSlots; ++i) {
        const int32_t left = lefts[i % 4];
        EXPECT_EQ(w.Touche[i]->Left(), left) << i;
        EXPECT_EQ(w.Touche[i]->Width(), 3600);
        EXPECT_EQ(w.InfoTrack[i]->Left(), left);
        EXPECT_EQ(w.Slider[i]->Left(), left);
    }
    EXPECT_EQ(w.Boucle[5]->Left(), 4620);
    EXPECT_EQ(w.VueMettre[7]->Left(), 12420);
    EXPECT_EQ(w.VueMettre[7]->Width(), 2400);
    EXPECT_EQ(w.Output->Left(), 11955);
    EXPECT_EQ(w.Couleur[3]->Left(), 180);
}

TEST(StartUp, SlotsStartEmptyWithTheirLettersListsFilledAndTheSplashAfterASecond) {
    WindowRig rig;
    for (const char* name : {"matin.bnk", "Soir.Bnk", "AUBE.BNK", "notes.txt"}) {
        std::ofstream(rig.dir.file(name)) << "\r\n";
    }
    const double before = rig.system.clock;
    F1a& w = rig.start();
    EXPECT_GE(rig.system.clock - before, 1.0);  // the splash stood at least a second

    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("A"));
    EXPECT_EQ(w.InfoTrack[26]->Caption(), QStringLiteral("["));
    EXPECT_EQ(w.InfoTrack[27]->Caption(), QStringLiteral("\\"));
    EXPECT_EQ(w.Touche[0]->ToolTipText(), QStringLiteral("Touche A "));
    EXPECT_EQ(w.Touche[26]->ToolTipText(), QStringLiteral("Touche [ "));
    EXPECT_EQ(w.Touche[27]->ToolTipText(), QStringLiteral("Touche \\ "));
    EXPECT_EQ(w.Couleur[6]->ToolTipText(),
              QStringLiteral(" Choix de la couleur pour cette ligne "));
    for (int16_t i = 0; i < kSlots; ++i) {
        EXPECT_TRUE(w.Touche[i]->Caption().isEmpty());
        EXPECT_EQ(w.Slider[i]->Value(), playback::kVolumeUnity);
        EXPECT_EQ(w.Player[i]->DeviceID(), -1);  // entry 0 of the list was selected
    }
    EXPECT_EQ(w.LblVolume->Caption(), QStringLiteral("Volume 16384"));
    ASSERT_EQ(w.Output->ListCount(), 3);
    EXPECT_EQ(w.Output->List(0), QStringLiteral("Sortie par défaut du système"));
    EXPECT_EQ(w.Output->List(1), QStringLiteral("Studio"));
    EXPECT_EQ(w.Output->ListIndex(), 0);

    // The palette files of the program's folder, whatever their case, by name.
    ASSERT_EQ(w.ComboBank->ListCount(), 3);
    EXPECT_EQ(w.ComboBank->List(0), QStringLiteral("AUBE.BNK"));
    EXPECT_EQ(w.ComboBank->List(1), QStringLiteral("matin.bnk"));
    EXPECT_EQ(w.ComboBank->List(2), QStringLiteral("Soir.Bnk"));
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);

    EXPECT_TRUE(w.BankName->Caption().isEmpty());
    EXPECT_FALSE(w.BankName->Visible());
    EXPECT_EQ(w.Keyboard->Left(), -1000);
    EXPECT_TRUE(w.ProgramFolder.endsWith(u'\\'));
    EXPECT_EQ(w.SettingsPath, w.ProgramFolder + QStringLiteral("Tambrel.ini"));
    EXPECT_EQ(w.Caption(), QStringLiteral("Tambrel"));
}

TEST(StartUp, SecondCopySaysSoActivatesTheFirstAndEnds) {
    WindowRig rig;
    rig.system.otherCopyRunning = true;
    EXPECT_THROW(rig.start(), testing::Terminated);
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.dialogs.asked[0].text, QStringLiteral("This program is already in the air...."));
    EXPECT_EQ(rig.dialogs.asked[0].style, 0);
    EXPECT_TRUE(rig.dialogs.asked[0].title.isEmpty());
    EXPECT_TRUE(rig.system.title.isEmpty());
    EXPECT_EQ(rig.system.activations, 1);
    EXPECT_EQ(rig.backend->output(std::nullopt), nullptr);  // nothing was played or loaded
}

}  // namespace
}  // namespace tambrel::app
