// The as-run log as the window writes it, on the null output: every way a
// play ends, what sounded of it, its laps, a log that cannot be written
// told once while the slots play on, and plays it had to leave out said on
// the window.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <cstdio>
#include <fstream>

#include "journal/air_log.h"
#include "journal/as_run.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"

namespace tambrel::journal {
namespace {

struct LogRig : app::WindowRig {
    // With `options` as Options.ini.
    explicit LogRig(const QByteArray& options = {}) {
        if (!options.isEmpty()) put("Options.ini", options);
        start();
    }
    // Every play line of the log's files, split into its fields.
    std::vector<QStringList> lines() {
        EXPECT_TRUE(window->airLog()->writer().settle());
        std::vector<QStringList> found;
        const QDir folder(QString::fromStdString(dir.file("Journal")));
        for (const QString& name : folder.entryList({QStringLiteral("*-*.csv")}, QDir::Files)) {
            QFile file(folder.filePath(name));
            EXPECT_TRUE(file.open(QIODevice::ReadOnly));
            const QList<QByteArray> rows = file.readAll().split('\n');
            for (qsizetype i = 1; i < rows.size(); ++i) {  // after the header
                if (!rows[i].isEmpty())
                    found.push_back(QString::fromUtf8(rows[i].trimmed()).split(u';'));
            }
        }
        return found;
    }
};

TEST(AirLogWindow, EachWayAPlayEndsIsWrittenWithWhatSoundedOfIt) {
    LogRig rig;
    app::F1a& w = *rig.window;
    rig.assign(0, rig.wav("Intro.wav", 1000));
    rig.assign(1, rig.wav("Fond.wav", 3000));

    w.Touche_Click(0);  // to its end
    rig.render(44100 + 4410);
    rig.audio.pump();
    w.Touche_Click(1);  // stopped by a key after half a second
    rig.render(22050);
    w.Touche_Click(1);
    rig.audio.pump();
    w.pressFromAfar(1);  // started and stopped from afar
    rig.render(11025);
    w.pressFromAfar(1);
    rig.audio.pump();
    w.Touche_Click(1);  // the output changes under it
    rig.render(4410);
    w.Output->setListIndex(2);
    w.Output_Click();
    rig.audio.pump();

    const std::vector<QStringList> lines = rig.lines();
    ASSERT_EQ(lines.size(), 4u);
    const QStringList& toEnd = lines[0];
    // The path as the palette would hold it, in the system's form.
    EXPECT_EQ(toEnd.mid(2, 5), (QStringList{QStringLiteral("A"), QString(), w.Player[0]->FileName(),
                                            QStringLiteral("Intro"), QStringLiteral("1000")}));
    EXPECT_EQ(toEnd.at(10), w.Output->List(0));
    EXPECT_EQ(toEnd.at(11), QStringLiteral("0"));
    // Its first and last frames, a second apart.
    const QString stamp = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
    const QDateTime start = QDateTime::fromString(toEnd.at(0), stamp);
    EXPECT_NEAR(start.msecsTo(QDateTime::fromString(toEnd.at(1), stamp)), 1000, 10);

    // How each ended, and the milliseconds aired, to within a period.
    const char* const ends[] = {"fin du fichier", "touche", "télécommande", "changement de sortie"};
    const int aired[] = {1000, 500, 250, 100};
    for (size_t i = 0; i < std::size(ends); ++i) {
        EXPECT_EQ(lines[i].at(9), QString::fromUtf8(ends[i]));
        EXPECT_NEAR(lines[i].at(7).toInt(), aired[i], 10) << ends[i];
    }
}

// A key as the keyboard sends it to the window, held for `repeats` repeats.
void type(app::F1a& w, Qt::Key code, Qt::KeyboardModifiers modifiers, const QString& text,
          int repeats = 0) {
    const auto send = [&](QEvent::Type type, bool repeat) {
        QKeyEvent event(type, code, modifiers, text, repeat);
        QCoreApplication::sendEvent(w.Keyboard->widget(), &event);
    };
    send(QEvent::KeyPress, false);
    for (int repeat = 0; repeat < repeats; ++repeat) {
        send(QEvent::KeyRelease, true);
        send(QEvent::KeyPress, true);
    }
    send(QEvent::KeyRelease, false);
}

float quarter(int64_t, int) {
    return 0.25f;
}

TEST(AirLogWindow, EchapFadesAllOutAndCutsOnASecondPressMajFadesOneSlotOrCutsIt) {
    LogRig rig("fondu_ms=500\n");
    app::F1a& w = *rig.window;
    for (int16_t slot : {0, 1, 2}) {
        rig.assign(slot, rig.wav(std::to_string(slot) + ".wav", 3000, quarter));
    }
    const QString escape(QChar(27));
    type(w, Qt::Key_Escape, {}, escape);  // nothing sounds: nothing to do
    EXPECT_EQ(rig.onAir(), "");

    w.Touche_Click(0);
    w.Touche_Click(1);
    rig.render(4410);
    type(w, Qt::Key_Escape, {}, escape, 4);  // held: one press
    EXPECT_TRUE(w.fading(0) && w.fading(1));
    const std::vector<float> half = rig.render(22050);
    EXPECT_NEAR(half[0], 0.5f, 0.01f);  // both, falling over a second
    EXPECT_NEAR(half[22049 * 2], 0.25f, 0.01f);
    EXPECT_EQ(rig.onAir(), "AB");
    type(w, Qt::Key_Escape, {}, escape);
    EXPECT_EQ(rig.onAir(), "");
    rig.render(4410);
    rig.audio.pump();

    // Caps Lock types a capital without Maj: a plain press. With Maj, the
    // slot fades over the options' 500 ms and ends by itself.
    type(w, Qt::Key_A, {}, QStringLiteral("A"));
    EXPECT_EQ(rig.onAir(), "A");
    type(w, Qt::Key_A, Qt::ShiftModifier, QStringLiteral("A"));
    EXPECT_TRUE(w.fading(0));
    rig.render(44100 * 6 / 10);
    rig.audio.pump();
    EXPECT_EQ(rig.onAir(), "");
    EXPECT_FALSE(w.fading(0));
    // Maj with a click: starts a silent slot, fades a sounding one, cuts a fading one.
    QWidget* button = w.Touche[2]->widget();
    QTest::mouseClick(button, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(rig.onAir(), "C");
    EXPECT_FALSE(w.fading(2));
    rig.render(4410);
    QTest::mouseClick(button, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(rig.onAir(), "C");
    rig.render(4410);
    QTest::mouseClick(button, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(rig.onAir(), "");
    rig.render(4410);
    rig.audio.pump();

    const std::vector<QStringList> lines = rig.lines();
    ASSERT_EQ(lines.size(), 4u);
    const char* const ends[] = {"tout arrêter", "tout arrêter", "fondu", "fondu"};
    const int aired[] = {600, 600, 500, 200};
    for (size_t i = 0; i < std::size(ends); ++i) {
        EXPECT_EQ(lines[i].at(9), QString::fromUtf8(ends[i])) << i;
        EXPECT_NEAR(lines[i].at(7).toInt(), aired[i], 10) << i;
    }
}

TEST(AirLogWindow, ARightClickPreListensOnItsDeviceOnlyUnloggedAndNeverOnTheAirs) {
    LogRig rig;
    app::F1a& w = *rig.window;
    rig.assign(0, rig.wav("Intro.wav", 3000, quarter));
    QWidget* button = w.Touche[0]->widget();
    const auto choose = [&](const QString& entry) {
        w.MnuPreEcoute_Show();
        for (QAction* action : w.MnuPreEcoute->actions()) {
            if (action->text() == entry) action->trigger();
        }
    };
    const auto level = [&](const std::optional<std::string>& device) {
        audio::NullOutput* output = rig.backend->output(device);
        if (output == nullptr) return 0.0f;
        return testing::renderWhenFilled(rig.audio.engine(), *output, 512)[1000];
    };
    QTest::mouseClick(button, Qt::RightButton);  // no device chosen yet
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("PFL"));
    EXPECT_EQ(w.Touche[0]->Notice(),
              QStringLiteral("Pré-écoute : aucune sortie choisie (Option › Pré-écoute)"));
    EXPECT_EQ(rig.onAir(), "");

    choose(QStringLiteral("Cue"));
    EXPECT_TRUE(rig.read("Options.ini").startsWith("pre_ecoute=Cue\n"));
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_TRUE(w.preListening(0));
    w.Timer1_OnTimer();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("PFL"));
    EXPECT_NEAR(level("Cue"), 0.25f, 1e-3f);
    EXPECT_EQ(level(std::nullopt), 0.0f);
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(rig.onAir(), "");
    rig.audio.pump();
    // Pre-listened again, then pressed: on air, no longer in the headphones.
    QTest::mouseClick(button, Qt::RightButton);
    w.Touche_Click(0);
    EXPECT_FALSE(w.preListening(0));
    EXPECT_EQ(rig.onAir(), "A");
    level("Cue");  // the pre-listen's short fade
    EXPECT_EQ(level("Cue"), 0.0f);
    EXPECT_NEAR(level(std::nullopt), 0.25f, 1e-3f);
    w.Touche_Click(0);
    rig.audio.pump();

    // On the air's own device: refused on the slot, nothing sounds.
    w.Output->setListIndex(1);  // "Studio"
    w.Output_Click();
    choose(QStringLiteral("Studio"));
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Pré-écoute sur la sortie antenne"));
    EXPECT_EQ(rig.onAir(), "");
    // A pre-listen device gone is said as any absent device is.
    rig.put("Options.ini", "pre_ecoute=Casque\n");
    w.loadOptions();
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Sortie audio absente : Casque"));

    // The air on the system's default: refused on the device it plays on,
    // and on any while the sound system cannot tell which that is.
    w.Output->setListIndex(0);
    w.Output_Click();
    rig.backend->setDefaultDeviceName("Studio");
    choose(QStringLiteral("Studio"));
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(w.Touche[0]->Notice(), QStringLiteral("Pré-écoute sur la sortie antenne"));
    choose(QStringLiteral("Cue"));
    rig.backend->setDefaultDeviceName(std::nullopt);
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(w.Touche[0]->Notice(),
              QStringLiteral("Pré-écoute impossible : la sortie antenne est celle par défaut, "
                             "choisissez-la par son nom"));
    EXPECT_FALSE(w.preListening(0));
    EXPECT_EQ(level("Cue"), 0.0f);

    // Only the play on air is in the log.
    const std::vector<QStringList> lines = rig.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at(10), w.Output->List(0));
}

TEST(AirLogWindow, ALoopCountsItsLapsAndTheProgramsEndWritesWhatStillSounds) {
    LogRig rig;
    app::F1a& w = *rig.window;
    rig.assign(2, rig.wav("Boucle.wav", 1000));
    w.Boucle_Click(2);
    w.Touche_Click(2);
    for (int lap = 0; lap < 3; ++lap) {
        rig.render(44100 * 95 / 100);  // within the last 100 ms, where the marker rewinds
        w.TimmerBoucle_OnTimer();
        rig.render(256);
        rig.audio.pump();
    }
    ASSERT_EQ(rig.onAir(), "C");
    w.Form_Unload();

    const std::vector<QStringList> lines = rig.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at(8), QStringLiteral("3"));
    EXPECT_NEAR(lines[0].at(7).toInt(), 3 * (950 + 6), 10);
    EXPECT_EQ(lines[0].at(9), QStringLiteral("fin du programme"));
}

TEST(AirLogWindow, ALogThatCannotBeWrittenIsToldOnceInABoxThatLeavesTheSlotsPlaying) {
    app::WindowRig rig;
    // A file where the log's folder should be: refused even to the super-user.
    std::ofstream(rig.dir.file("Journal")) << "not a folder";
    app::F1a& w = rig.start();
    rig.assign(0, rig.wav("Intro.wav", 200));
    for (int play = 0; play < 3; ++play) {
        w.Touche_Click(0);
        rig.render(44100 / 4);
        rig.audio.pump();
    }
    ASSERT_TRUE(w.airLog()->writer().settle());
    QApplication::processEvents();
    int boxes = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(top);
        if (box == nullptr || !box->isVisible()) continue;
        ++boxes;
        EXPECT_TRUE(box->text().startsWith(
            QStringLiteral("Le journal de diffusion ne peut pas être écrit :")));
        EXPECT_TRUE(box->text().contains(QString::fromStdString(rig.dir.file("Journal/"))))
            << box->text().toStdString();
        EXPECT_FALSE(box->isModal());
        box->close();
    }
    EXPECT_EQ(boxes, 1);
    w.Touche_Click(0);  // the slot still plays
    EXPECT_EQ(rig.onAir(), "A");
}

TEST(AirLogWindow, PlaysTheLogHadToLeaveOutAreSaidOnTheWindowOnceTheDiskTakesLinesAgain) {
    app::WindowRig rig;
    std::ofstream(rig.dir.file("Journal")) << "not a folder";
    app::F1a& w = rig.start();
    JournalWriter& writer = w.airLog()->writer();
    Play play;
    play.start = play.end = QDateTime::currentDateTime();
    for (size_t i = 0; i <= JournalWriter::kMostKept; ++i) writer.write(play);
    ASSERT_TRUE(writer.settle());
    ASSERT_EQ(std::remove(rig.dir.file("Journal").c_str()), 0);
    writer.keepInProgress({});
    ASSERT_TRUE(writer.settle());
    EXPECT_TRUE(testing::turnEventsUntil([&] { return w.messageStrip->Visible(); }));
    EXPECT_EQ(w.messageStrip->Caption(),
              QStringLiteral("Le journal de diffusion est de nouveau écrit, mais 1 diffusion "
                             "n'a pas pu y être notée."));
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(top) != nullptr) top->close();
    }
}

}  // namespace
}  // namespace tambrel::journal
