// Paths of palettes: Linux paths and their older form, the operator's
// mapping lines for Windows paths, the drive-letter folder beside the
// program, and names whose letter case or encoding differs from the disk's,
// with the folder indexes that find them (through a link and a mapping line,
// the window's palette tests follow them to the sound).

#include "platform/drive_mapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <fstream>

#include "platform/case_lookup.h"
#include "platform/path_form.h"
#include "tests/support/test_audio.h"

namespace tambrel::platform {
namespace {

TEST(PathForm, SlashesSwapBothWaysAndEveryNameSurvivesTheRoundTrip) {
    EXPECT_EQ(toNativePath(QStringLiteral("\\home\\ana\\Jingles\\Intro.mp3")),
              QStringLiteral("/home/ana/Jingles/Intro.mp3"));
    EXPECT_EQ(toSystemPath(QStringLiteral("/home/ana/Jingles/Intro.mp3")),
              QStringLiteral("\\home\\ana\\Jingles\\Intro.mp3"));
    // A native name may hold a backslash; in the system's form it is the
    // ordinary slash, so it never reads as a separator.
    const QString odd = QStringLiteral("/srv/jingles/AC\\DC \"live\", été.wav");
    EXPECT_EQ(toSystemPath(odd), QStringLiteral("\\srv\\jingles\\AC/DC \"live\", été.wav"));
    EXPECT_EQ(toNativePath(toSystemPath(odd)), odd);
    EXPECT_EQ(toNativePath(odd), odd);  // a Linux path is native already
    EXPECT_EQ(toNativePath(QString()), QString());
}

// Each Windows path with where it leads.
void expectNative(const DriveMapping& drives,
                  std::initializer_list<std::pair<const char*, const char*>> cases) {
    for (const auto& [windows, native] : cases) {
        EXPECT_EQ(drives.toNative(QString::fromUtf8(windows)), QString::fromUtf8(native))
            << windows;
    }
}

TEST(DriveMapping, LongestPrefixWinsWithoutRegardToCaseOnWholeNames) {
    DriveMapping drives(QStringLiteral("/opt/tambrel/"));
    EXPECT_TRUE(drives
                    .read("# Studio B\r\n"
                          "C:\\Jingles=/srv/jingles\r\n"
                          "\r\n"
                          "c:\\jingles\\Pubs\\=/mnt/pubs/\r\n"
                          "  \\\\STUDIO\\Pubs = /mnt/studio/pubs  \n"
                          "C:/Sons=/srv/sons\n")
                    .empty());
    expectNative(drives,
                 {
                     {"C:\\Jingles\\Intro.mp3", "/srv/jingles/Intro.mp3"},
                     {"c:\\JINGLES\\pubs\\Pub 1.mp3", "/mnt/pubs/Pub 1.mp3"},
                     {"\\\\studio\\pubs\\Hiver\\Pub 2.wav", "/mnt/studio/pubs/Hiver/Pub 2.wav"},
                     {"C:\\Sons\\a.wav", "/srv/sons/a.wav"},
                     // Windows takes "/" too; a prefix matches whole names only.
                     {"C:/Jingles/Intro.mp3", "/srv/jingles/Intro.mp3"},
                     {"C:\\JinglesOld\\x.mp3", "/opt/tambrel/C/JinglesOld/x.mp3"},
                     // No line: a drive is a folder beside the program; a share stays as written.
                     {"D:\\Fonds\\Nuit.wav", "/opt/tambrel/D/Fonds/Nuit.wav"},
                     {"\\\\AUTRE\\x.wav", "//AUTRE/x.wav"},
                     // Linux paths, and their older form, are not mapped.
                     {"\\home\\ana\\C:\\x.wav", "/home/ana/C:/x.wav"},
                     {"/srv/jingles/AC\\DC.wav", "/srv/jingles/AC\\DC.wav"},
                     {"//AUTRE/x.wav", "//AUTRE/x.wav"},
                     // Typed by hand, relative: from the program's folder.
                     {"Sons\\Nuit.wav", "/opt/tambrel/Sons/Nuit.wav"},
                 });
    EXPECT_FALSE(isWindowsPath(QStringLiteral("\\home\\ana\\x.wav")));
    EXPECT_FALSE(isWindowsPath(QStringLiteral("CD:\\x.wav")));
}

TEST(DriveMapping, LinesNotUnderstoodAreNumberedAndTheRestIsUsed) {
    DriveMapping drives(QStringLiteral("/opt/tambrel"));
    // Windows-1252 ("é" = E9) and a line ending in CR LF, numbered as an editor shows them.
    const auto bad = drives.read(
        "C:\\Jingles\r\n"
        "E:\\Archives=/srv/archiv\xe9\r\n"
        "=/srv/rien\r\n"
        "Jingles=/srv/jingles\r\n"
        "F:\\Sons=sons/relatifs\r\n"
        "G:\\=/media/g\r\n");
    ASSERT_EQ(bad.size(), 4u);
    EXPECT_EQ(bad[0].text, QStringLiteral("C:\\Jingles"));
    std::vector<int> numbers;
    for (const auto& line : bad) numbers.push_back(line.number);
    EXPECT_EQ(numbers, (std::vector<int>{1, 3, 4, 5}));
    expectNative(drives, {{"E:\\Archives\\a.wav", "/srv/archivé/a.wav"},
                          {"g:\\a.wav", "/media/g/a.wav"},
                          {"F:\\Sons\\a.wav", "/opt/tambrel/F/Sons/a.wav"}});
}

// Empty files at these paths under `root`, the folders made on the way.
void touch(const QString& root, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const QByteArray path = QFile::encodeName(root) + '/' + name;
        QDir().mkpath(QFile::decodeName(path.left(path.lastIndexOf('/'))));
        ASSERT_TRUE(std::ofstream(path.toStdString()).good()) << name;
    }
}

// A folder's modification time, as it is long after it was filled.
void setChanged(const QString& folder, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(folder).constData(), times, 0), 0);
}

TEST(CaseLookup, EachNameIsMatchedInItsFolderAndTheFirstSortedWins) {
    testing::TempDir dir;
    const QString r = QString::fromStdString(dir.path());
    touch(r, {"Jingles/Été/Intro.MP3", "Jingles/Pub.wav", "Jingles/PUB.wav", "Jingles/pub.WAV",
              "Jingles/G\xE9n\xE9rique.wav", "Jingles/AC\\DC.wav", "Jingles/AC/DC.wav"});
    const std::pair<QString, QString> cases[] = {
        {"/JINGLES/été/intro.mp3", "/Jingles/Été/Intro.MP3"},
        // Three names differ only by case: byte order puts "PUB.wav" first.
        {"/jingles/pub.wav", "/Jingles/PUB.wav"},
        // As written when it exists as written, or when some name matches nothing.
        {"/Jingles/pub.WAV", "/Jingles/pub.WAV"},
        {"/jingles/absent.wav", "/jingles/absent.wav"},
        {"/Jingles/Pub.wav/x", "/Jingles/Pub.wav/x"},
        {"/Jingles/AC\\DC.wav", "/Jingles/AC\\DC.wav"},
    };
    for (const auto& [asked, found] : cases) {
        EXPECT_EQ(findIgnoringCase(r + asked), QFile::encodeName(r + found)) << asked.toStdString();
    }
    EXPECT_EQ(findIgnoringCase(QString()), QByteArray());
    // A name an 8-bit copy left in Windows-1252 bytes, found by its text.
    const QByteArray generique = QFile::encodeName(r) + "/Jingles/G\xE9n\xE9rique.wav";
    EXPECT_EQ(findIgnoringCase(r + "/Jingles/Générique.wav"), generique);
    EXPECT_EQ(findIgnoringCase(r + "/jingles/GÉNÉRIQUE.WAV"), generique);

    // The file opened for a palette's path: a "\\" in a Linux path is a
    // separator only when the name as written is not there.
    const DriveMapping drives(r);
    EXPECT_EQ(drives.locate(r + "/Jingles/AC\\DC.wav"),
              QFile::encodeName(r + "/Jingles/AC\\DC.wav"));
    EXPECT_EQ(drives.locate(r + "/Jingles\\Pub.wav"), QFile::encodeName(r + "/Jingles/Pub.wav"));
    EXPECT_EQ(drives.locate(r + "/Jingles\\Été\\intro.mp3"),
              QFile::encodeName(r + "/Jingles/Été/Intro.MP3"));
}

TEST(CaseLookup, AFolderIsReadOnceWhileUnchangedAndAgainOnceChangedOrReplaced) {
    testing::TempDir dir;
    const QString r = QString::fromStdString(dir.path());
    const QString jingles = r + "/Jingles";
    touch(r, {"Jingles/Pub.wav", "Jingles/Intro.wav"});
    setChanged(jingles, 1700000000);
    const long long reads = caseLookupCache().reads;
    EXPECT_EQ(findIgnoringCase(jingles + "/PUB.WAV"), QFile::encodeName(jingles + "/Pub.wav"));
    EXPECT_EQ(findIgnoringCase(jingles + "/intro.wav"), QFile::encodeName(jingles + "/Intro.wav"));
    EXPECT_EQ(caseLookupCache().reads, reads + 1);

    // A name slipped in while the folder's time stays is not seen: the
    // index is kept. Once the time moves, it is.
    touch(r, {"Jingles/Nuit.wav"});
    setChanged(jingles, 1700000000);
    EXPECT_EQ(findIgnoringCase(jingles + "/NUIT.wav"), QFile::encodeName(jingles + "/NUIT.wav"));
    EXPECT_EQ(caseLookupCache().reads, reads + 1);
    setChanged(jingles, 1700000100);
    EXPECT_EQ(findIgnoringCase(jingles + "/NUIT.wav"), QFile::encodeName(jingles + "/Nuit.wav"));
    EXPECT_EQ(caseLookupCache().reads, reads + 2);

    // Another folder put in its place, with the same time.
    ASSERT_TRUE(QDir().rename(jingles, r + "/Ancien"));
    touch(r, {"Jingles/Soir.wav"});
    setChanged(jingles, 1700000100);
    EXPECT_EQ(findIgnoringCase(jingles + "/soir.WAV"), QFile::encodeName(jingles + "/Soir.wav"));
    EXPECT_EQ(caseLookupCache().reads, reads + 3);
}

TEST(CaseLookup, IndexesStayWithinTheirBoundTheLeastRecentlyUsedGoingFirst) {
    testing::TempDir dir;
    const QString r = QString::fromStdString(dir.path());
    for (const char* folder : {"A", "B", "C"}) {
        for (int i = 0; i < 100; ++i) {
            touch(r, {QStringLiteral("%1/Jingle %2.wav").arg(folder).arg(i).toUtf8().constData()});
        }
        setChanged(r + u'/' + folder, 1700000000);
    }
    const auto find = [&](const char* folder) {
        return findIgnoringCase(r + u'/' + folder + "/JINGLE 7.WAV") ==
               QFile::encodeName(r + u'/' + folder + "/Jingle 7.wav");
    };
    setCaseLookupBound(0);  // none kept from before
    setCaseLookupBound(kCaseLookupBound);
    EXPECT_TRUE(find("A"));
    const std::size_t one = caseLookupCache().bytes;
    EXPECT_GT(one, 100u * sizeof("Jingle 7.wav"));

    setCaseLookupBound(one * 5 / 2);
    EXPECT_TRUE(find("B"));
    EXPECT_TRUE(find("A"));
    EXPECT_TRUE(find("C"));  // B, the least recently used, goes
    const CaseLookupCache held = caseLookupCache();
    EXPECT_EQ(held.folders, 2);
    EXPECT_LE(held.bytes, one * 5 / 2);
    EXPECT_TRUE(find("A"));
    EXPECT_EQ(caseLookupCache().reads, held.reads);
    EXPECT_TRUE(find("B"));
    EXPECT_EQ(caseLookupCache().reads, held.reads + 1);

    // A folder too large for the bound alone is read for each lookup, and kept by none.
    setCaseLookupBound(one / 2);
    EXPECT_EQ(caseLookupCache().bytes, 0u);
    EXPECT_TRUE(find("A"));
    EXPECT_TRUE(find("A"));
    EXPECT_EQ(caseLookupCache().reads, held.reads + 3);
    EXPECT_EQ(caseLookupCache().folders, 0);
    setCaseLookupBound(kCaseLookupBound);
}

}  // namespace
}  // namespace tambrel::platform
