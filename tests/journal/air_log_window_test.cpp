// The as-run log as the window writes it, on the null output: every way a
// play ends, what sounded of it, its laps, a log that cannot be written
// told once while the slots play on, and plays it had to leave out said on
// the window.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <cstdio>
#include <fstream>

#include "journal/air_log.h"
#include "journal/as_run.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"

namespace tambrel::journal {
namespace {

struct LogRig : app::WindowRig {
    LogRig() { start(); }
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
