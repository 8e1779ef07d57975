// The as-run log on disk: lines a spreadsheet reads as they are, files that
// only ever hold whole lines, plays a crash interrupted found at the next
// start, and a disk that refuses told once without losing the lines.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "journal/air_log.h"
#include "journal/as_run.h"
#include "journal/journal_store.h"
#include "journal/journal_writer.h"
#include "tests/support/test_audio.h"

namespace tambrel::journal {
namespace {

using testing::TempDir;

QDateTime at(const char* text) {
    return QDateTime::fromString(QString::fromLatin1(text),
                                 QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

Play play(const char* start, const char* end, const char* key = "A") {
    Play p;
    p.start = at(start);
    p.end = at(end);
    p.key = QString::fromLatin1(key);
    p.palette = QStringLiteral("Matin.Bnk");
    p.file = QStringLiteral("C:\\Jingles\\Intro.wav");
    p.title = QStringLiteral("Intro");
    p.fileMs = 5000;
    p.airedMs = 5000;
    p.output = QStringLiteral("Studio");
    return p;
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const char kBom[] = "\xEF\xBB\xBF";

// A day's file holding these lines.
std::string dayFile(const QByteArray& lines) {
    return (kBom + headerLine() + lines).toStdString();
}

TEST(AsRun, ALineHoldsEveryColumnQuotedOnlyWhereACsvReaderNeedsIt) {
    Play p = play("2026-12-07 08:00:00.125", "2026-12-07 08:00:15.125", "\\");
    p.file = QStringLiteral("/srv/jingles/Pub; \"été\".wav");
    p.title = QStringLiteral("Pub; \"été\"");
    p.airedMs = 15000;
    p.laps = 2;
    p.endedBy = EndReason::Remote;
    p.dropouts = 1;
    EXPECT_EQ(playLine(p).toStdString(),
              "2026-12-07 08:00:00.125;2026-12-07 08:00:15.125;\\;Matin.Bnk;"
              "\"/srv/jingles/Pub; \"\"été\"\".wav\";\"Pub; \"\"été\"\"\";5000;15000;2;"
              "télécommande;Studio;1\r\n");
    EXPECT_EQ(csvField(QStringLiteral("deux\nlignes")).toStdString(), "\"deux\nlignes\"");
    EXPECT_EQ(headerLine().toStdString(),
              "Début;Fin;Touche;Palette;Fichier;Titre;Durée fichier (ms);Durée diffusée (ms);"
              "Boucles;Fin par;Sortie;Coupures\r\n");

    // Every way a play ends has its own words.
    QStringList words;
    for (int r = 0; r <= int(kLastEndReason); ++r) words << endReasonText(EndReason(r));
    EXPECT_EQ(words.join(u'|'),
              QStringLiteral("fin du fichier|touche|télécommande|changement de sortie|sortie "
                             "perdue|fin du programme|interrompu|fondu|tout arrêter"));

    // A play across midnight belongs to the day it started on.
    EXPECT_EQ(dayFileName(at("2026-12-07 23:59:58.000")), QStringLiteral("2026-12-07.csv"));
}

TEST(AsRun, TextASpreadsheetWouldTakeForAFormulaIsWrittenAsTextAndReadBackAsItWas) {
    EXPECT_EQ(csvField(QStringLiteral("=SOMME(A1)")).toStdString(), "\"'=SOMME(A1)\"");
    EXPECT_EQ(csvField(QStringLiteral("-5 dB; \"fort\"")).toStdString(),
              "\"'-5 dB; \"\"fort\"\"\"");
    EXPECT_EQ(csvField(QStringLiteral("'@déjà")).toStdString(), "\"''@déjà\"");
    EXPECT_EQ(csvField(QStringLiteral("'Allo")).toStdString(), "'Allo");
    for (const char* text : {"=SOMME(A1)", "+33 1 23", "-5 dB", "@Matin", "\tTab", "'=x", "''+y",
                             "'Allo", "Deux\r\nlignes; \"x\"", ""}) {
        Play p = play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000", "K");
        p.title = p.file = p.palette = p.output = QString::fromUtf8(text);
        // The last way of ending reads back as itself too.
        p.endedBy = kLastEndReason;
        const std::optional<Play> back = readPlayLine(playLine(p).chopped(2));
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(QStringList({back->title, back->file, back->palette, back->output}),
                  QStringList(4, p.title));
        EXPECT_EQ(back->endedBy, kLastEndReason);
    }

    // Anything that is not exactly a play's line is not taken for one.
    const QByteArray good =
        playLine(play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000")).chopped(2);
    ASSERT_TRUE(readPlayLine(good));
    for (const QByteArray& bad :
         {QByteArray("Début;Fin"), QByteArray("0001-01-01 00:00:00.000;garbage"), good + ";",
          good.left(good.size() - 1), "\"" + good,
          QByteArray(good).replace("Intro;5000", "Intro;5e3"),
          QByteArray(good).replace("fin du fichier", "fin du fichie"),
          QByteArray(good).replace("2026-12-07 08:00:05", "2026-13-07 08:00:05")}) {
        EXPECT_FALSE(readPlayLine(bad)) << bad.toStdString();
    }
}

TEST(JournalStore, TheDaysFileGrowsByWholeLinesAndATornOneIsTakenOff) {
    TempDir dir;
    JournalStore store(QString::fromStdString(dir.file("Journal/")));
    const QString day = QStringLiteral("2026-12-07.csv");
    const QByteArray first = playLine(play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000"));
    const QByteArray second = playLine(play("2026-12-07 09:00:00.000", "2026-12-07 09:00:05.000"));
    const std::string path = dir.file("Journal/2026-12-07.csv");

    ASSERT_EQ(store.append(day, first), QString());
    EXPECT_EQ(read(path), dayFile(first));

    // A crash in the middle of a line, then the next play.
    std::ofstream(path, std::ios::binary | std::ios::app) << "2026-12-07 08:30:00.000;2026-12";
    ASSERT_EQ(store.append(day, second), QString());
    EXPECT_EQ(read(path), dayFile(first + second));

    // Another program holding the file's lock holds the append back a moment, then fails it.
    {
        const int holder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        EXPECT_EQ(store.append(day, first), QStringLiteral("Fichier tenu par un autre programme"));
        ::close(holder);
    }
    EXPECT_EQ(read(path), dayFile(first + second));

    // Nothing is said written before the disk has it; a disk that fails to
    // take it leaves the file as it was, and says why.
    static int syncs = 0;
    static int syncError = 0;
    JournalStore counted(QString::fromStdString(dir.file("Journal/")), [](int fd) {
        ++syncs;
        if (syncError == 0) return ::fdatasync(fd);
        errno = syncError;
        return -1;
    });
    ASSERT_EQ(counted.append(day, first), QString());
    EXPECT_EQ(syncs, 1);
    syncError = EIO;
    EXPECT_NE(counted.append(day, second), QString());
    EXPECT_EQ(syncs, 2);
    EXPECT_EQ(read(path), dayFile(first + second + first));

    // A file torn inside its header starts again whole.
    std::ofstream(dir.file("Journal/2026-12-08.csv"), std::ios::binary) << kBom << "Début;F";
    ASSERT_EQ(store.append(QStringLiteral("2026-12-08.csv"), second), QString());
    EXPECT_EQ(read(dir.file("Journal/2026-12-08.csv")), dayFile(second));
}

TEST(JournalStore, PlaysACrashInterruptedGoToTheirDaysAtTheNextStartAndWhatIsNotOneAside) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.file("Journal/"));
    Play late = play("2026-12-07 23:59:50.000", "2026-12-08 00:00:01.000", "B");
    Play early = play("2026-12-08 00:00:00.500", "2026-12-08 00:00:01.000", "C");
    Play twoLines = play("2026-12-07 23:00:00.000", "2026-12-07 23:00:01.000", "D");
    twoLines.title = QStringLiteral("Flash\r\n=Météo");
    // Well formed, but after the start that reads it.
    const Play future = play("2126-12-08 00:00:00.000", "2126-12-08 00:00:01.000", "E");
    late.endedBy = early.endedBy = twoLines.endedBy = EndReason::Interrupted;
    const QByteArray unreadable =
        "0001-01-01 00:00:00.000;x\r\n9999-12-31 23:59:59.999\n" + playLine(future) + "\"torn;\r\n";
    {
        JournalStore store(folder);
        ASSERT_EQ(store.keepInProgress(playLine(late) + playLine(twoLines) + unreadable.left(27) +
                                       playLine(early) + unreadable.mid(27)),
                  QString());
    }
    JournalStore store(folder);
    const QDateTime now = at("2026-12-08 09:00:00.000");
    ASSERT_EQ(store.recover(now), QString());
    EXPECT_EQ(read(dir.file("Journal/2026-12-07.csv")),
              dayFile(playLine(late) + playLine(twoLines)));
    EXPECT_EQ(read(dir.file("Journal/2026-12-08.csv")), dayFile(playLine(early)));
    EXPECT_EQ(read(dir.file("Journal/illisible.csv")),
              dayFile("0001-01-01 00:00:00.000;x\r\n9999-12-31 23:59:59.999\r\n" +
                      playLine(future) + "\"torn;\r\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files),
              QStringList({"2026-12-07.csv", "2026-12-08.csv", "illisible.csv"}));
    ASSERT_EQ(store.recover(now), QString());  // nothing twice
    EXPECT_EQ(read(dir.file("Journal/2026-12-07.csv")),
              dayFile(playLine(late) + playLine(twoLines)));
}

TEST(JournalStore, ARecoveryTriedAgainGoesOnWhereItStoppedAndWritesNothingTwice) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.file("Journal/"));
    const QByteArray first = playLine(play("2026-12-06 10:00:00.000", "2026-12-06 10:00:01.000"));
    const QByteArray second = playLine(play("2026-12-07 10:00:00.000", "2026-12-07 10:00:01.000"));
    JournalStore store(folder);
    ASSERT_EQ(store.keepInProgress(first + second), QString());
    // The second day cannot be written, nor the record cut down to it.
    const std::string blocked = dir.file("Journal/2026-12-07.csv");
    ASSERT_EQ(::mkdir(blocked.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.file("Journal/en-cours.csv").c_str(), 0444), 0);
    const QDateTime now = at("2026-12-08 09:00:00.000");
    EXPECT_NE(store.recover(now), QString());
    ASSERT_EQ(::rmdir(blocked.c_str()), 0);
    ASSERT_EQ(store.recover(now), QString());
    EXPECT_EQ(read(dir.file("Journal/2026-12-06.csv")), dayFile(first));
    EXPECT_EQ(read(blocked), dayFile(second));
    EXPECT_FALSE(QFile::exists(folder + QString::fromLatin1(JournalStore::kInProgressName)));
}

// The process may not grow a file past `bytes` while it lives.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST(JournalWriter, AFullDiskIsToldOnceKeepsTheFileWholeAndTheLinesForLater) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.file("Journal/"));
    const std::string path = dir.file("Journal/2026-12-07.csv");
    std::atomic<int> told{0};
    QString toldPath;
    JournalWriter writer(folder, [&](const QString& /*reason*/, const QString& where) {
        toldPath = where;
        ++told;
    });
    writer.write(play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000", "A"));
    ASSERT_TRUE(writer.settle());
    const std::string before = read(path);
    {
        const FileSizeLimit full(before.size() + 40);  // less than a line
        for (const char* key : {"B", "C", "D"}) {
            writer.write(play("2026-12-07 09:00:00.000", "2026-12-07 09:00:05.000", key));
            ASSERT_TRUE(writer.settle());
        }
        EXPECT_EQ(told.load(), 1);
        EXPECT_EQ(toldPath, folder + QStringLiteral("2026-12-07.csv"));
        EXPECT_EQ(read(path), before) << "nothing torn is left";
    }
    writer.write(play("2026-12-07 10:00:00.000", "2026-12-07 10:00:05.000", "E"));
    ASSERT_TRUE(writer.settle());
    const std::string after = read(path);
    for (const char* key : {";B;", ";C;", ";D;", ";E;"}) {
        EXPECT_NE(after.find(key), std::string::npos) << key << " kept and written later";
    }
    EXPECT_EQ(writer.linesWritten(), 5u);
    EXPECT_EQ(told.load(), 1);
}

TEST(JournalWriter, AFolderThatCannotBeMadeIsToldAndTheRecordOfPlaysInProgressSurvivesAnEnd) {
    TempDir dir;
    // A file where the folder should be: refused even to the super-user.
    std::ofstream(dir.file("Journal")) << "not a folder";
    std::atomic<int> told{0};
    {
        JournalWriter writer(QString::fromStdString(dir.file("Journal/")),
                             [&](const QString&, const QString&) { ++told; });
        writer.write(play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000"));
        ASSERT_TRUE(writer.settle());
        EXPECT_EQ(told.load(), 1);
    }

    // Plays in progress at an end without their own end (a kill) are
    // written as interrupted by the next writer.
    const QString folder = QString::fromStdString(dir.file("Log/"));
    {
        JournalWriter writer(folder, {});
        writer.keepInProgress({play("2026-12-07 08:00:00.000", "2026-12-07 08:00:03.000", "F")});
        ASSERT_TRUE(writer.settle());
    }
    JournalWriter next(folder, {});
    ASSERT_TRUE(next.settle());
    const std::string day = read(dir.file("Log/2026-12-07.csv"));
    EXPECT_NE(day.find(";F;Matin.Bnk;"), std::string::npos) << day;
    EXPECT_NE(day.find(";interrompu;"), std::string::npos) << day;
}

TEST(JournalWriter, AnEpisodeIsToldOnceAndEndsOnlyWhenTheDaysAndTheRecordAreBothWrittenAgain) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.file("Journal/"));
    const QString record = folder + QString::fromLatin1(JournalStore::kInProgressName);
    std::atomic<int> told{0};
    JournalWriter writer(folder, [&](const QString&, const QString&) { ++told; });
    ASSERT_TRUE(writer.settle());
    // The days' files take lines; the record, a folder in its place, cannot be replaced.
    for (int episode = 1; episode <= 2; ++episode) {
        ASSERT_TRUE(QDir().mkpath(record));
        for (const char* key : {"A", "B", "C", "D"}) {
            writer.keepInProgress(
                {play("2026-12-07 08:00:00.000", "2026-12-07 08:00:01.000", key)});
            writer.write(play("2026-12-07 07:00:00.000", "2026-12-07 07:00:05.000", key));
            ASSERT_TRUE(writer.settle());
        }
        EXPECT_EQ(told.load(), episode);
        ASSERT_TRUE(QDir(record).removeRecursively());
        writer.keepInProgress({});
        ASSERT_TRUE(writer.settle());
        EXPECT_EQ(told.load(), episode) << "the disk is back: nothing more to tell";
    }
    EXPECT_EQ(writer.linesWritten(), 8u);
}

TEST(JournalWriter, PlaysPastTheLinesKeptAreCountedInTheirDayOnceTheDiskTakesLinesAgain) {
    TempDir dir;
    std::ofstream(dir.file("Journal")) << "not a folder";
    std::atomic<uint64_t> said{0};
    JournalWriter writer(QString::fromStdString(dir.file("Journal/")), nullptr,
                         [&](uint64_t plays) { said += plays; });
    for (size_t i = 0; i < JournalWriter::kMostKept; ++i) {
        writer.write(play("2026-12-07 08:00:00.000", "2026-12-07 08:00:05.000"));
    }
    writer.write(play("2026-12-07 09:30:00.000", "2026-12-07 09:30:05.000", "Y"));
    writer.write(play("2026-12-07 09:00:00.000", "2026-12-07 09:00:05.000", "Z"));
    ASSERT_TRUE(writer.settle());
    EXPECT_EQ(said.load(), 0u);

    ASSERT_EQ(std::remove(dir.file("Journal").c_str()), 0);
    writer.keepInProgress({});  // anything that wakes the writer
    ASSERT_TRUE(writer.settle());
    const std::string day = read(dir.file("Journal/2026-12-07.csv"));
    EXPECT_EQ(std::count(day.begin(), day.end(), '\n'), 1 + 10'000 + 1);
    const std::string last =
        "2026-12-07 09:00:00.000;2026-12-07 09:30:05.000;;;;"
        "2 diffusions non journalisées;;;;;;\r\n";
    EXPECT_EQ(day.substr(day.size() - last.size()), last);
    EXPECT_EQ(writer.linesWritten(), JournalWriter::kMostKept);
    EXPECT_EQ(said.load(), 2u);
}

// The window's log with the engine's figures and the clocks in the test's hands.
struct AirLogRig {
    using Aired = audio::AudioEngine::Aired;
    TempDir dir;
    QString folder = QString::fromStdString(dir.file("Journal/"));
    std::array<Aired, kSlots> aired{};
    AirLog::Now now{at("2026-12-08 00:00:02.000"),
                    AirLog::Clock::time_point(std::chrono::hours(1))};
    AirLog log{std::make_unique<JournalWriter>(folder, nullptr),
               [this](int slot) { return aired[static_cast<size_t>(slot)]; }, 44100,
               [this] { return now; }};

    // The slot sounded `frames` frames, its last one `endedAgo` before now.
    void sounded(int slot, int64_t frames, std::chrono::milliseconds endedAgo) {
        Aired& a = aired[static_cast<size_t>(slot)];
        a.frames = frames;
        a.last = now.steady - endedAgo;
        a.first = *a.last - std::chrono::milliseconds(frames * 1000 / 44100);
    }
    std::string day(const char* name) {
        EXPECT_TRUE(log.writer().settle());
        return read(dir.file(std::string("Journal/") + name));
    }
};

TEST(AirLog, APlayIsWrittenWithWhenItReallySoundedInTheDayItBegan) {
    AirLogRig rig;
    Play a = play("2000-01-01 00:00:00.000", "2000-01-01 00:00:00.000", "A");
    rig.log.started(0, a);
    rig.log.lapped(0);  // the loop marker took it back twice,
    rig.log.lapped(0);
    rig.sounded(0, 44100 * 5, std::chrono::milliseconds(500));
    rig.aired[0].laps = 1;  // and the engine once at the very end
    rig.aired[0].gaps = 2;
    rig.log.ended(0, EndReason::Key);

    // Pressed and stopped before the device took a frame: nothing aired.
    rig.log.started(1, play("2000-01-01 00:00:00.000", "2000-01-01 00:00:00.000", "B"));
    rig.log.ended(1, EndReason::Key);
    rig.log.ended(2, EndReason::Key);  // never started

    Play expected = a;
    expected.start = at("2026-12-07 23:59:56.500");
    expected.end = at("2026-12-08 00:00:01.500");
    expected.airedMs = 5000;
    expected.laps = 3;
    expected.dropouts = 2;
    expected.endedBy = EndReason::Key;
    EXPECT_EQ(rig.day("2026-12-07.csv"), dayFile(playLine(expected)));
    EXPECT_FALSE(QFile::exists(rig.folder + QStringLiteral("2026-12-08.csv")));
}

TEST(AirLog, PlaysSoundingAreKeptAsideUntilTheyEndAndAllEndWithTheProgram) {
    AirLogRig rig;
    const QString record = rig.folder + QString::fromLatin1(JournalStore::kInProgressName);
    rig.log.started(3, play("2000-01-01 00:00:00.000", "2000-01-01 00:00:00.000", "D"));
    rig.log.keepInProgress();  // not on the air yet: nothing to keep
    ASSERT_TRUE(rig.log.writer().settle());
    EXPECT_FALSE(QFile::exists(record));

    rig.sounded(3, 44100 * 2, std::chrono::milliseconds(0));
    rig.log.keepInProgress();
    ASSERT_TRUE(rig.log.writer().settle());
    EXPECT_NE(read(record.toStdString())
                  .find(";D;Matin.Bnk;C:\\Jingles\\Intro.wav;Intro;5000;2000;0;interrompu;"),
              std::string::npos);

    rig.log.endAll(EndReason::ProgramEnd);
    EXPECT_NE(rig.day("2026-12-08.csv").find(";2000;0;fin du programme;Studio;0\r\n"),
              std::string::npos);
    EXPECT_FALSE(QFile::exists(record)) << "nothing left to recover";
    EXPECT_FALSE(rig.log.sounding(3));
}

}  // namespace
}  // namespace tambrel::journal
