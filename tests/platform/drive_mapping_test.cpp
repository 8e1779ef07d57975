// Paths of palettes made on Windows: the system's form of a path, the
// operator's mapping lines, the drive-letter folder beside the program, and
// names whose letter case differs from the disk's (through a link and a
// mapping line, the window's palette tests follow them to the sound).

#include "platform/drive_mapping.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

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
                     // Linux paths in the system's form are not touched.
                     {"\\home\\ana\\C:\\x.wav", "/home/ana/C:/x.wav"},
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

TEST(CaseLookup, EachNameIsMatchedInItsFolderAndTheFirstSortedWins) {
    testing::TempDir dir;
    const QString r = QString::fromStdString(dir.path());
    for (const char* name :
         {"Jingles/Été/Intro.MP3", "Jingles/Pub.wav", "Jingles/PUB.wav", "Jingles/pub.WAV"}) {
        const QString path = r + u'/' + QString::fromUtf8(name);
        QDir().mkpath(path.left(path.lastIndexOf(u'/')));
        ASSERT_TRUE(QFile(path).open(QIODevice::WriteOnly));
    }
    EXPECT_EQ(findIgnoringCase(r + "/JINGLES/été/intro.mp3"), r + "/Jingles/Été/Intro.MP3");
    // Three names differ only by case: byte order puts "PUB.wav" first.
    EXPECT_EQ(findIgnoringCase(r + "/jingles/pub.wav"), r + "/Jingles/PUB.wav");
    // As written when it exists as written, or when some name matches nothing.
    EXPECT_EQ(findIgnoringCase(r + "/Jingles/pub.WAV"), r + "/Jingles/pub.WAV");
    EXPECT_EQ(findIgnoringCase(r + "/jingles/absent.wav"), r + "/jingles/absent.wav");
    EXPECT_EQ(findIgnoringCase(r + "/Jingles/Pub.wav/x"), r + "/Jingles/Pub.wav/x");
    EXPECT_EQ(findIgnoringCase(QString()), QString());
}

}  // namespace
}  // namespace tambrel::platform
