// What the operator on air must be able to count on: no everyday gesture
// (a wheel, a held key, a double click, one click on "Quitter") changes what
// sounds by accident, a sounding slot can always be stopped, and a failure
// shows on its slot without a box. A locked palette stays as it is; palettes
// come on function keys; the clock counts down what is on air; a slot of an
// exclusive line takes over from the others there.

#include <gtest/gtest.h>

#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <QWheelEvent>
#include <cmath>
#include <set>

#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using OnAir = WindowTest;

void wheel(QWidget* widget, int notches) {
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

// A letter key, typed with Ctrl when `modifiers` say so, sent to the window.
void key(F1a& w, QEvent::Type type, bool repeat, quint64 time = 0, Qt::Key code = Qt::Key_A,
         Qt::KeyboardModifiers modifiers = {}) {
    const int letter = code - Qt::Key_A;
    const QChar typed(modifiers & Qt::ControlModifier ? letter + 1 : letter + 'a');
    QKeyEvent event(type, code, modifiers, QString(typed), repeat);
    event.setTimestamp(time);
    QCoreApplication::sendEvent(w.Keyboard->widget(), &event);
}
// A key held down: its press, `repeats` repeats flagged as such, its release.
void hold(F1a& w, Qt::Key code, Qt::KeyboardModifiers modifiers, int repeats) {
    key(w, QEvent::KeyPress, false, 0, code, modifiers);
    for (int repeat = 0; repeat < repeats; ++repeat) {
        key(w, QEvent::KeyRelease, true, 0, code, modifiers);
        key(w, QEvent::KeyPress, true, 0, code, modifiers);
    }
    key(w, QEvent::KeyRelease, false, 0, code, modifiers);
}

// A key without a character, pressed or released, perhaps as a repeat.
void plainKey(F1a& w, QEvent::Type type, Qt::Key code, bool repeat = false,
              Qt::KeyboardModifiers modifiers = {}) {
    QKeyEvent event(type, code, modifiers, QString(), repeat);
    QCoreApplication::sendEvent(w.Keyboard->widget(), &event);
}
void functionKey(F1a& w, Qt::Key code, Qt::KeyboardModifiers modifiers = {}) {
    plainKey(w, QEvent::KeyPress, code, false, modifiers);
    plainKey(w, QEvent::KeyRelease, code, false, modifiers);
}

// The loudest sample of the next `ms` on the default device.
float loudest(WindowRig& rig, int ms) {
    float most = 0;
    for (const float sample : rig.render(44100 * ms / 1000))
        most = std::max(most, std::abs(sample));
    return most;
}

// A press, a release, then the second click as the window system gives it:
// a press, the double click, a release.
void doubleClick(QWidget* widget) {
    const QPointF at(4, 4);
    for (QEvent::Type type :
         {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonPress,
          QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &event);
    }
}

TEST_F(OnAir, AWheelOverAClosedListChangesNothingAndTheSameDeviceTwiceStopsNothing) {
    assign(0, wav("bed.wav", 5000));
    put("Matin.Bnk", palette({wav("other.wav", 1000)}));
    w.Touche_Click(0);
    for (QWidget* list : {w.ComboBank->widget(), w.Output->widget()})
        for (int notches : {1, -1, 2}) wheel(list, notches);
    EXPECT_EQ(stops(0), 0);
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);  // no palette picked...
    EXPECT_TRUE(w.BankName->Caption().isEmpty());
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("bed\r\n\r\nA"));  // ...none loaded
    EXPECT_EQ(w.Output->ListIndex(), 0);
    EXPECT_EQ(onAir(), "A");

    // The entry in use picked again: no stop, no move (another one stops
    // everything, as the volume and output tests show).
    w.Output->setListIndex(0);
    EXPECT_EQ(stops(0), 0);
    EXPECT_EQ(onAir(), "A");
    EXPECT_EQ(w.Player[27]->DeviceID(), -1);
}

TEST_F(OnAir, AHeldKeyFiresOnceAndALoopMarkerDoubleClickedSwitchesOnce) {
    assign(0, wav("a.wav", 5000));
    hold(w, Qt::Key_A, {}, 5);
    EXPECT_EQ(onAir(), "A");
    // A repeat Qt did not flag: a release and a press of the same time.
    key(w, QEvent::KeyPress, false, 1000);
    key(w, QEvent::KeyRelease, false, 1040);
    key(w, QEvent::KeyPress, false, 1040);
    key(w, QEvent::KeyRelease, false, 1050);
    EXPECT_EQ(onAir(), "");  // the first press stopped it, no more
    key(w, QEvent::KeyPress, false, 1300);
    EXPECT_EQ(onAir(), "A");
    key(w, QEvent::KeyRelease, false, 1350);
    key(w, QEvent::KeyPress, false);  // a new press stops it
    EXPECT_EQ(onAir(), "");
    audio.pump();

    // Ctrl held with a repeating letter: the loop switches once, on the real release.
    hold(w, Qt::Key_B, Qt::ControlModifier, 4);
    EXPECT_EQ(loops(), "B");
    doubleClick(w.Boucle[2]->widget());
    EXPECT_EQ(loops(), "BC");
    doubleClick(w.Boucle[2]->widget());
    EXPECT_EQ(loops(), "B");
    // A slot button takes a double click as two presses; a label's double
    // click still clears its silent slot.
    doubleClick(w.Touche[0]->widget());
    EXPECT_EQ(onAir(), "");
    EXPECT_EQ(stops(0), 1);  // started, then stopped
    doubleClick(w.InfoTrack[0]->widget());
    EXPECT_TRUE(w.Touche[0]->Caption().isEmpty());
}

TEST_F(OnAir, TheRemainingTimeBlinksOverTheLastFiveSecondsUnlessTheSlotLoops) {
    assign(0, wav("a.wav", 7000));
    w.Touche_Click(0);
    const auto label = [&] {
        w.Timer1_OnTimer();
        return w.InfoTrack[0]->BackColor();
    };
    render(44100);
    EXPECT_EQ(label(), playback::kInfoTrackColor);  // six seconds left
    EXPECT_EQ(label(), playback::kInfoTrackColor);
    render(44100 * 21 / 10);
    const int32_t first = label();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:03"));
    EXPECT_EQ((std::set<int32_t>{first, label()}),
              (std::set<int32_t>{platform::QBColor(platform::kQBRed),
                                 platform::QBColor(platform::kQBWhite)}));
    EXPECT_NE(label(), label());  // at every tick
    w.Boucle_Click(0);
    EXPECT_EQ(label(), playback::kInfoTrackColor);
    EXPECT_EQ(label(), playback::kInfoTrackColor);
}

TEST_F(OnAir, FilesThatCannotPlayShowOnTheirSlotAndAPressSaysWhyWithoutABox) {
    const QString missing = path("share/Jingle.wav");
    put("damaged.wav", "RIFF....WAVEjunk");
    put("Matin.Bnk", palette({missing, path("damaged.wav"), wav("good.wav", 3000)}));
    pick(QStringLiteral("Matin.Bnk"));
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(w.InfoTrack[0]->BackColor(), platform::kNoticeColor);
    EXPECT_EQ(w.InfoTrack[1]->Caption(), QStringLiteral("illisible"));
    EXPECT_TRUE(w.InfoTrack[1]->ToolTipText().startsWith(QStringLiteral("Fichier illisible : ")));
    EXPECT_NE(w.InfoTrack[2]->BackColor(), platform::kNoticeColor);

    // A press: the reason on the button and the label, for about two seconds.
    w.Touche_Click(2);
    system.clock = 5000;
    w.Touche_Click(0);
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(onAir(), "C");  // the other slot plays on
    EXPECT_EQ(w.Touche[0]->Notice(), "Fichier introuvable : " + missing);
    system.clock = 5001.5;
    w.Timer1_OnTimer();
    EXPECT_FALSE(w.Touche[0]->Notice().isEmpty());
    system.clock = 5002.1;
    w.Timer1_OnTimer();
    EXPECT_TRUE(w.Touche[0]->Notice().isEmpty());
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("absent"));

    // The share is back: the next press plays it, and its length shows.
    ASSERT_TRUE(QDir().mkpath(path("share")));
    ASSERT_TRUE(QFile::copy(path("good.wav"), missing));
    w.Touche_Click(0);
    EXPECT_EQ(onAir(), "AC");
    EXPECT_TRUE(w.Touche[0]->Notice().isEmpty());
    w.Touche_Click(0);
    EXPECT_EQ(stops(0), 1);
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:03"));
    EXPECT_EQ(w.InfoTrack[0]->ToolTipText(), QStringLiteral(" Double click pour supprimer "));
}

TEST_F(OnAir, ASoundingSlotStopsWhateverItsCaptionSays) {
    assign(0, wav("bed.wav", 5000));
    w.Touche_Click(0);
    // "Nouvelle Palette" empties the captions while slot A still sounds.
    dialogs.inputAnswers.push_back(QStringLiteral("Matin"));
    w.MnuNewBank_Click();
    ASSERT_EQ(w.Touche[0]->Caption(), QStringLiteral("A"));
    ASSERT_EQ(onAir(), "A");
    const size_t count = dialogs.asked.size();
    key(w, QEvent::KeyPress, false);
    EXPECT_EQ(onAir(), "");
    EXPECT_EQ(dialogs.asked.size(), count);  // no file dialog
}

TEST_F(OnAir, QuitterOrClosingAsksWhileASlotSoundsAndTheSessionsEndNever) {
    assign(0, wav("bed.wav", 20000));
    w.Touche_Click(0);
    w.show();
    dialogs.msgBoxAnswers = {platform::kAnswerNo, platform::kAnswerNo};
    w.MnuQuitter_Click();
    EXPECT_EQ(dialogs.last(), "MsgBox | 292 |  | Des touches jouent encore. Quitter quand même ?");
    EXPECT_FALSE(w.close());
    EXPECT_EQ(dialogs.asked.size(), 3u);
    EXPECT_EQ(onAir(), "A");
    EXPECT_FALSE(QFile::exists(path("Tambrel.ini")));  // nothing ended, nothing written

    w.endOfSession();  // no one may be there to answer
    EXPECT_TRUE(QFile::exists(path("Tambrel.ini")));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(dialogs.asked.size(), 3u);
}

// An Échap meant for a menu or a box, or typed again at once to close what
// the operator thinks is still open, leaves the air alone; a deliberate one
// fades, and the fading slot shows it in a darker red until it ends.
TEST_F(OnAir, EchapClosingAMenuOrABoxFadesNothingForASecondThenFadesInDarkRed) {
    assign(1, wav("bed.wav", 20000));
    w.Touche_Click(1);
    w.show();
    QWidget* keys = w.Keyboard->widget();
    QMenuBar* bar = w.menuBar();
    QAction* option = nullptr;
    for (QAction* action : bar->actions()) {
        if (action->text() == QStringLiteral("Option")) option = action;
    }
    ASSERT_NE(option, nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(option).center());
    QWidget* menu = QApplication::activePopupWidget();
    ASSERT_NE(menu, nullptr);
    QTest::keyClick(menu, Qt::Key_Escape);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    system.clock += F1a::kEscapeSettleSeconds;
    QTest::keyClick(bar, Qt::Key_Escape);  // the menu bar's own, leaving it
    QTest::keyClick(keys, Qt::Key_Escape);
    EXPECT_FALSE(w.fading(1));

    system.clock += F1a::kEscapeSettleSeconds;
    platform::showWarningAside(&w, QStringLiteral("x"), QStringLiteral("Tambrel"));
    const auto boxes = w.findChildren<QMessageBox*>();
    ASSERT_EQ(boxes.size(), 1);
    QMessageBox* box = boxes.constFirst();
    QTest::keyClick(box, Qt::Key_Escape);
    QTest::keyClick(keys, Qt::Key_Escape);
    EXPECT_FALSE(w.fading(1));
    EXPECT_EQ(onAir(), "B");
    EXPECT_EQ(w.Touche[1]->BackColor(), platform::QBColor(platform::kQBRed));

    system.clock += F1a::kEscapeSettleSeconds;
    QTest::keyClick(keys, Qt::Key_Escape);
    EXPECT_TRUE(w.fading(1));
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[1]->BackColor(), platform::QBColor(platform::kQBDarkRed));
    QTest::keyClick(keys, Qt::Key_Escape);  // the second cuts
    EXPECT_EQ(onAir(), "");
}

// A refusal on a sounding slot is said on the window's strip: the slot keeps
// its red and its time, so the operator never reads it as stopped.
TEST_F(OnAir, ARefusedRightClickOnASoundingSlotKeepsItsRedAndTime) {
    assign(0, wav("bed.wav", 20000));
    w.Touche_Click(0);
    w.Timer1_OnTimer();
    const QString time = w.InfoTrack[0]->Caption();
    QTest::mouseClick(w.Touche[0]->widget(), Qt::RightButton);
    w.Timer1_OnTimer();
    EXPECT_EQ(onAir(), "A");
    EXPECT_EQ(w.Touche[0]->BackColor(), platform::QBColor(platform::kQBRed));
    EXPECT_EQ(w.Touche[0]->Notice(), QString());
    EXPECT_EQ(w.InfoTrack[0]->Caption(), time);
    EXPECT_EQ(w.messageStrip->Caption(),
              QStringLiteral("Touche A : Pré-écoute impossible : la touche est à l'antenne"));
}

// Assignments the palette file does not hold are not lost to one click:
// "Quitter" and closing ask, until they are saved.
TEST_F(OnAir, QuitterAsksWhileTheSlotsHoldWhatNoPaletteFileDoes) {
    w.show();
    assign(0, wav("Intro.wav", 1000));
    dialogs.msgBoxAnswers = {platform::kAnswerNo, platform::kAnswerNo};
    w.MnuQuitter_Click();
    EXPECT_EQ(dialogs.last(),
              "MsgBox | 292 |  | Les touches ont changé et ne sont enregistrées "
              "dans aucune palette. Quitter sans enregistrer ?");
    EXPECT_FALSE(w.close());
    EXPECT_EQ(dialogs.asked.size(), 3u);

    dialogs.inputAnswers = {QStringLiteral("Matin")};
    w.MnuSauverBank_Click();
    w.Slider[0]->setValue(8000);
    dialogs.msgBoxAnswers = {platform::kAnswerNo};
    w.MnuQuitter_Click();
    EXPECT_EQ(dialogs.last(),
              "MsgBox | 292 |  | Les touches ont changé depuis le dernier "
              "enregistrement de Matin.Bnk. Quitter sans enregistrer ?");
    w.InfoTrack_DblClick(0);
    w.MnuSauverBank_Click();
    const size_t asked = dialogs.asked.size();
    EXPECT_THROW(w.MnuQuitter_Click(), testing::Terminated);
    EXPECT_EQ(dialogs.asked.size(), asked);
}

TEST_F(OnAir, ALockedPaletteRefusesEveryChangeAndPlaysAsEver) {
    assign(0, wav("a.wav", 5000));
    assign(1, wav("b.wav", 5000));
    put("Matin.Bnk", palette({path("a.wav"), path("c.wav")}, 9000));
    w.MnuVerrou_Click();
    EXPECT_TRUE(w.LblVerrou->Visible());
    EXPECT_TRUE(read("Options.ini").contains("\nverrou=oui\n"));
    for (auto* item : {w.MnuNewBank.get(), w.MnuSauverBank.get(), w.Supprimer.get()}) {
        EXPECT_FALSE(item->Enabled()) << item->Caption().toStdString();
    }
    const size_t asked = dialogs.asked.size();
    w.Touche_Click(5);  // empty: no file dialog
    doubleClick(w.InfoTrack[1]->widget());
    w.Couleur_Click(0);
    w.MnuNewBank_Click();
    w.MnuSauverBank_Click();
    w.ComboBank->setText(QStringLiteral("Matin.Bnk"));
    w.Supprimer_Click();
    EXPECT_EQ(dialogs.asked.size(), asked);
    EXPECT_EQ(shows(1), "b\r\n\r\nB|00:05");
    EXPECT_TRUE(QFile::exists(path("Matin.Bnk")));

    // Presses, loops, fades, volumes and the palette list work as ever.
    w.Touche_Click(0);
    w.Boucle_Click(0);
    w.fadeSlot(0);
    EXPECT_EQ(onAir(), "A");
    EXPECT_TRUE(w.fading(0));
    EXPECT_EQ(loops(), "A");
    w.Slider[1]->setValue(8000);
    EXPECT_EQ(w.Player[1]->Volume(), 8000);
    pick(QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_TRUE(w.Player[1]->FileName().endsWith(QStringLiteral("c.wav")));

    w.MnuVerrou_Click();
    EXPECT_FALSE(w.LblVerrou->Visible());
    EXPECT_TRUE(w.MnuSauverBank->Enabled());
    w.Touche_Click(5);
    EXPECT_EQ(dialogs.asked.size(), asked + 1);
}

TEST_F(OnAir, FunctionKeysLoadTheListsPalettesOnceHeldAndNeverWithAlt) {
    put("Matin.Bnk", palette({wav("a.wav", 4000)}, 9000));
    put("Soir.Bnk", palette({wav("s.wav", 4000)}, 12000));
    EXPECT_EQ(w.ComboBank->Hint(0), QStringLiteral("F1"));
    EXPECT_EQ(w.ComboBank->Hint(1), QStringLiteral("F2"));
    functionKey(w, Qt::Key_F2);
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Soir.Bnk"));
    EXPECT_EQ(w.ComboBank->Text(), QStringLiteral("Soir.Bnk"));
    w.Touche_Click(0);
    EXPECT_EQ(onAir(), "A");
    EXPECT_GT(loudest(*this, 100), 0.01f);

    // Held: loaded once, so a volume moved since the press stays.
    plainKey(w, QEvent::KeyPress, Qt::Key_F1);
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.Slider[0]->Value(), 9000);
    w.Slider[0]->setValue(3000);
    for (int n = 0; n < 5; ++n) {
        plainKey(w, QEvent::KeyRelease, Qt::Key_F1, true);
        plainKey(w, QEvent::KeyPress, Qt::Key_F1, true);
    }
    plainKey(w, QEvent::KeyRelease, Qt::Key_F1);
    EXPECT_EQ(w.Slider[0]->Value(), 3000);
    functionKey(w, Qt::Key_F2, Qt::AltModifier);
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    functionKey(w, Qt::Key_F12);
    EXPECT_EQ(w.messageStrip->Caption(), QStringLiteral("Pas de palette sur F12"));

    WindowRig off;
    off.put("Options.ini", "touches_palettes=non\n");
    off.put("Matin.Bnk", palette({}));
    F1a& window = off.start();
    EXPECT_EQ(window.ComboBank->Hint(0), QString());
    functionKey(window, Qt::Key_F1);
    EXPECT_EQ(window.BankName->Caption(), QString());
}

TEST_F(OnAir, TheClockFollowsTheSystemsSecondAndCountsDownTheJingleStartedLast) {
    w.MnuHorloge_Click();
    EXPECT_TRUE(read("Options.ini").contains("\nhorloge=oui\n"));
    system.time = QTime(9, 59, 58, 400);
    w.Horloge_OnTimer();
    EXPECT_TRUE(w.Horloge->Visible());
    EXPECT_EQ(w.Horloge->Caption(), QStringLiteral("09:59:58"));
    EXPECT_EQ(w.Decompte->Caption(), QStringLiteral("--:--"));
    EXPECT_EQ(w.clockTimer()->interval(), 602);  // woken as the next second turns

    assign(0, wav("a.wav", 9000));
    assign(1, wav("bed.wav", 20000));
    assign(2, wav("c.wav", 4000));
    w.Touche_Click(0);
    w.Boucle_Click(1);
    w.Touche_Click(1);  // loops: not counted down
    w.Timer1_OnTimer();
    EXPECT_EQ(w.countdownSlot(), 0);
    EXPECT_EQ(w.Decompte->Caption(), QStringLiteral("00:09"));
    const int32_t white = platform::QBColor(platform::kQBWhite);
    EXPECT_EQ(w.Decompte->BackColor(), white);
    render(44100 * 41 / 10);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Decompte->Caption(), QStringLiteral("00:04"));
    EXPECT_EQ(w.Decompte->BackColor(), platform::QBColor(platform::kQBRed));
    w.Touche_Click(2);
    w.Horloge_OnTimer();
    EXPECT_EQ(w.countdownSlot(), 2);
    w.Touche_Click(2);
    w.Horloge_OnTimer();
    EXPECT_EQ(w.countdownSlot(), 0);  // back to the one still on air

    // Under the slots, hiding nothing at 1024×768, and grown with the slots.
    WindowRig small(1024);
    F1a& window = small.start();
    window.resize(1024, 700);
    window.MnuHorloge_Click();
    const QRect clock =
        window.Decompte->widget()->geometry().united(window.Horloge->widget()->geometry());
    EXPECT_LE(clock.bottom(), window.client()->height());
    for (QWidget* other :
         window.client()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other == window.Decompte->widget() || other == window.Horloge->widget() ||
            !other->isVisible())
            continue;
        EXPECT_FALSE(clock.intersects(other->geometry())) << other->metaObject()->className();
    }
    const int digits = window.Decompte->widget()->font().pixelSize() > 0
                           ? window.Decompte->widget()->font().pixelSize()
                           : QFontInfo(window.Decompte->widget()->font()).pixelSize();
    window.resize(2048, 1400);
    window.MnuGrandesTouches_Click();
    EXPECT_GT(QFontInfo(window.Decompte->widget()->font()).pixelSize(), digits * 3 / 2);
    EXPECT_LE(window.Decompte->widget()->geometry().bottom(), window.client()->height());
}

TEST(OnAirLines, ASlotStartedOnAnExclusiveLineFadesTheOthersThere) {
    WindowRig rig;
    rig.put("Options.ini", "lignes_exclusives=1, 7\nfondu_ms=200\n");
    F1a& w = rig.start();
    EXPECT_EQ(w.options().exclusiveLines, 0b1000001U);
    rig.assign(0, rig.wav("bed1.wav", 5000, [](int64_t, int) { return 0.4f; }));
    rig.assign(1, rig.wav("silence.wav", 5000, [](int64_t, int) { return 0.0f; }));
    w.Touche_Click(0);
    EXPECT_GT(loudest(rig, 100), 0.2f);
    w.Touche_Click(1);
    EXPECT_TRUE(w.fading(0));
    EXPECT_FALSE(w.fading(1));
    rig.render(44100 / 10);
    const float fading = loudest(rig, 50);
    EXPECT_GT(fading, 0.0f);
    EXPECT_LT(fading, 0.3f);
    rig.render(44100 * 4 / 10);
    EXPECT_EQ(loudest(rig, 100), 0.0f);
    EXPECT_EQ(rig.stops(0), 1);
    EXPECT_EQ(rig.onAir(), "B");

    // Line 2 is not exclusive: both sound.
    rig.assign(4, rig.wav("e.wav", 5000));
    rig.assign(5, rig.wav("f.wav", 5000));
    w.Touche_Click(1);
    w.Touche_Click(4);
    w.Touche_Click(5);
    rig.render(44100 / 2);
    EXPECT_EQ(rig.onAir(), "EF");
}

}  // namespace
}  // namespace tambrel::app
