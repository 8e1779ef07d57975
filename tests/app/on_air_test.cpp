// What the operator on air must be able to count on: no everyday gesture
// (a wheel, a held key, a double click) changes what sounds by accident, a
// sounding slot can always be stopped, a failure shows on its slot without
// a box, and a refused overwrite cannot come back through a later save.

#include <gtest/gtest.h>

#include <QWheelEvent>
#include <filesystem>
#include <fstream>

#include "platform/colors.h"
#include "platform/path_form.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using playback::kLoopOff;
using playback::kLoopOn;
using playback::kPlaying;

void wheel(QWidget* widget, int notches) {
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

void key(F1a& w, QEvent::Type type, Qt::Key code, const QString& text, bool repeat,
         Qt::KeyboardModifiers modifiers = Qt::NoModifier, quint64 time = 0) {
    QKeyEvent event(type, code, modifiers, text, repeat);
    event.setTimestamp(time);
    QCoreApplication::sendEvent(w.Keyboard->widget(), &event);
}

// A press, a release, then the second click as the window system gives it:
// a press, the double click, a release.
void doubleClick(QWidget* widget) {
    const QPointF at(4, 4);
    const QPointF global = widget->mapToGlobal(at);
    for (QEvent::Type type :
         {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonPress,
          QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, at, global, Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &event);
    }
}

struct OnAirRig : WindowRig {
    void palette(const std::string& name, const std::vector<QString>& paths) {
        std::ofstream file(dir.file(name), std::ios::binary);
        for (int i = 0; i < 28; ++i) {
            const QString path = i < static_cast<int>(paths.size()) ? paths[i] : QString();
            file << platform::toSystemPath(path).toStdString() << "\r\n";
        }
        window->File1.Refresh();
        window->File1_PathChange();
    }
    int stops(int16_t slot) {
        int count = 0;
        window->Player[slot]->OnStop = [this, &count](int16_t index) {
            ++count;
            window->Player_OnStop(index);
        };
        audio.pump();
        return count;
    }
};

TEST(OnAir, AWheelOverAClosedListChangesNothingAndTheSameDeviceTwiceStopsNothing) {
    OnAirRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("bed.wav", 5000));
    rig.palette("Matin.Bnk", {rig.wav("other.wav", 1000)});
    w.Touche_Click(0);
    int stopped = 0;
    w.Player[0]->OnStop = [&](int16_t) { ++stopped; };

    wheel(w.ComboBank->widget(), 1);
    wheel(w.ComboBank->widget(), -1);
    wheel(w.Output->widget(), 1);
    wheel(w.Output->widget(), 2);
    rig.audio.pump();
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);  // no palette picked...
    EXPECT_TRUE(w.BankName->Caption().isEmpty());
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("bed\r\n\r\nA"));  // ...none loaded
    EXPECT_EQ(w.Output->ListIndex(), 0);
    EXPECT_EQ(w.Player[0]->DeviceID(), -1);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(stopped, 0);

    // The entry in use picked again: no stop, no move.
    w.Output->setListIndex(0);
    rig.audio.pump();
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(stopped, 0);
    // Another entry still moves every player and stops what sounds.
    w.Output->setListIndex(2);
    rig.audio.pump();
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(w.Player[27]->DeviceID(), 1);
}

TEST(OnAir, AHeldKeyFiresOnceAndALoopMarkerDoubleClickedSwitchesOnce) {
    OnAirRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("a.wav", 5000));
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false);
    for (int repeat = 0; repeat < 5; ++repeat) {
        key(w, QEvent::KeyRelease, Qt::Key_A, QStringLiteral("a"), true);
        key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), true);
    }
    key(w, QEvent::KeyRelease, Qt::Key_A, QStringLiteral("a"), false);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    // A repeat Qt did not flag: a release and a press of the same time.
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false, {}, 1000);
    key(w, QEvent::KeyRelease, Qt::Key_A, QStringLiteral("a"), false, {}, 1040);
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false, {}, 1040);
    key(w, QEvent::KeyRelease, Qt::Key_A, QStringLiteral("a"), false, {}, 1050);
    EXPECT_NE(w.Player[0]->State(), kPlaying);  // the first press stopped it, no more
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false, {}, 1300);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    key(w, QEvent::KeyRelease, Qt::Key_A, QStringLiteral("a"), false, {}, 1350);
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false);  // a new press stops it
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    rig.audio.pump();

    // Ctrl held with a repeating letter: the loop switches once, on the real release.
    key(w, QEvent::KeyPress, Qt::Key_B, QString(QChar(2)), false, Qt::ControlModifier);
    for (int repeat = 0; repeat < 4; ++repeat) {
        key(w, QEvent::KeyRelease, Qt::Key_B, QString(QChar(2)), true, Qt::ControlModifier);
        key(w, QEvent::KeyPress, Qt::Key_B, QString(QChar(2)), true, Qt::ControlModifier);
    }
    key(w, QEvent::KeyRelease, Qt::Key_B, QString(QChar(2)), false, Qt::ControlModifier);
    EXPECT_EQ(w.Boucle[1]->BackColor(), kLoopOn);

    doubleClick(w.Boucle[2]->widget());
    EXPECT_EQ(w.Boucle[2]->BackColor(), kLoopOn);
    doubleClick(w.Boucle[2]->widget());
    EXPECT_EQ(w.Boucle[2]->BackColor(), kLoopOff);
    // A slot button takes a double click as two presses; a label's double
    // click still clears its silent slot.
    doubleClick(w.Touche[0]->widget());
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(rig.stops(0), 1);  // started, then stopped
    doubleClick(w.InfoTrack[0]->widget());
    EXPECT_TRUE(w.Touche[0]->Caption().isEmpty());
}

TEST(OnAir, FilesThatCannotPlayShowOnTheirSlotAndAPressSaysWhyWithoutABox) {
    OnAirRig rig;
    F1a& w = rig.start();
    const std::string missing = rig.dir.file("share/Jingle.wav");
    std::ofstream(rig.dir.file("damaged.wav"), std::ios::binary) << "RIFF....WAVEjunk";
    rig.palette("Matin.Bnk",
                {QString::fromStdString(missing),
                 QString::fromStdString(rig.dir.file("damaged.wav")), rig.wav("good.wav", 3000)});
    w.ComboBank->setText(QStringLiteral("Matin.Bnk"));
    w.ComboBank_Click();
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));  // loading never stops
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("absent"));
    EXPECT_EQ(w.InfoTrack[0]->ToolTipText(),
              QStringLiteral("Fichier introuvable : ") + QString::fromStdString(missing));
    EXPECT_EQ(w.InfoTrack[0]->BackColor(), platform::kNoticeColor);
    EXPECT_EQ(w.InfoTrack[1]->Caption(), QStringLiteral("illisible"));
    EXPECT_TRUE(w.InfoTrack[1]->ToolTipText().startsWith(QStringLiteral("Fichier illisible : ")));
    EXPECT_EQ(w.InfoTrack[2]->Caption(), QStringLiteral("00:03"));
    EXPECT_NE(w.InfoTrack[2]->BackColor(), platform::kNoticeColor);

    // A press: the reason on the button and the label, for about two seconds.
    w.Touche_Click(2);
    rig.system.clock = 5000;
    w.Touche_Click(0);
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(),
              QStringLiteral("Fichier introuvable : ") + QString::fromStdString(missing));
    EXPECT_EQ(w.Player[2]->State(), kPlaying);  // the other slot plays on
    rig.system.clock = 5001.5;
    w.Timer1_OnTimer();
    EXPECT_FALSE(w.Touche[0]->Notice().isEmpty());
    rig.system.clock = 5002.1;
    w.Timer1_OnTimer();
    EXPECT_TRUE(w.Touche[0]->Notice().isEmpty());
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("absent"));

    // The share is back: the next press plays it, and its length shows.
    std::filesystem::create_directory(rig.dir.file("share"));
    std::filesystem::copy_file(rig.dir.file("good.wav"), missing);
    w.Touche_Click(0);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_TRUE(w.Touche[0]->Notice().isEmpty());
    w.Touche_Click(0);
    EXPECT_EQ(rig.stops(0), 1);
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:03"));
    EXPECT_EQ(w.InfoTrack[0]->ToolTipText(), QStringLiteral(" Double click pour supprimer "));
}

TEST(OnAir, TheOutputListFollowsDevicesByNameAndALostDeviceShowsOnItsSlots) {
    OnAirRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("a.wav", 5000));
    w.Output->setListIndex(2);  // "Cue"
    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);

    // A headset plugged in: listed at the end, nothing else moves.
    rig.backend->addDevice("Casque");
    rig.audio.refreshDevices();
    ASSERT_EQ(w.Output->ListCount(), 4);
    EXPECT_EQ(w.Output->List(3), QStringLiteral("Casque"));
    EXPECT_EQ(w.Output->ListIndex(), 2);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);

    // "Cue" unplugged: its slot stops once and says why; the entry stays chosen, absent.
    rig.backend->unplug("Cue");
    EXPECT_EQ(rig.stops(0), 1);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio perdue : Cue"));
    rig.audio.refreshDevices();
    EXPECT_EQ(w.Output->ListIndex(), 2);
    EXPECT_EQ(w.Output->Text(), QStringLiteral("Cue (absente)"));
    EXPECT_EQ(w.Output->List(3), QStringLiteral("Casque"));
    w.Touche_Click(0);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio absente : Cue"));
    w.SettingsFile(QStringLiteral("Save"));
    std::ifstream ini(rig.dir.file("Tambrel.ini"));
    std::string first;
    std::getline(ini, first);
    EXPECT_EQ(first, "Cue\r");  // the device's name, not what the list shows

    // Back under the same name: the next press plays there, unasked.
    rig.backend->plugIn("Cue");
    rig.audio.refreshDevices();
    EXPECT_EQ(w.Output->Text(), QStringLiteral("Cue"));
    w.Touche_Click(0);
    EXPECT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_NE(rig.backend->output(std::string("Cue")), nullptr);
}

TEST(OnAir, ASoundingSlotStopsWhateverItsCaptionAndARefusedOverwriteKeepsTheName) {
    OnAirRig rig;
    F1a& w = rig.start();
    rig.assign(0, rig.wav("bed.wav", 5000));
    rig.palette("Soir.Bnk", {});
    const auto soir = std::filesystem::last_write_time(rig.dir.file("Soir.Bnk"));
    w.Touche_Click(0);

    // "Nouvelle Palette" empties the captions while slot A still sounds.
    rig.dialogs.inputAnswers.push_back(QStringLiteral("Matin"));
    w.MnuNewBank_Click();
    ASSERT_EQ(w.Touche[0]->Caption(), QStringLiteral("A"));
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    const size_t asked = rig.dialogs.asked.size();
    key(w, QEvent::KeyPress, Qt::Key_A, QStringLiteral("a"), false);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(rig.dialogs.asked.size(), asked);  // no file dialog

    // An existing name, Cancel to "Ecraser ?": the name stays "Matin.Bnk".
    rig.dialogs.inputAnswers.push_back(QStringLiteral("Soir"));
    rig.dialogs.msgBoxAnswers.push_back(platform::kAnswerCancel);
    w.MnuNewBank_Click();
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    w.MnuSauverBank_Click();
    EXPECT_EQ(std::filesystem::last_write_time(rig.dir.file("Soir.Bnk")), soir);

    // A name that would be a hidden file is refused like any unsafe name.
    rig.dialogs.inputAnswers.push_back(QStringLiteral(".cache"));
    w.MnuNewBank_Click();
    EXPECT_EQ(rig.dialogs.asked.back().text,
              QStringLiteral("Nom de palette refusé : .cache.Bnk\r\nUn nom de palette ne "
                             "peut pas commencer par un point."));
    EXPECT_FALSE(std::filesystem::exists(rig.dir.file(".cache.Bnk")));
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
}

}  // namespace
}  // namespace tambrel::app
