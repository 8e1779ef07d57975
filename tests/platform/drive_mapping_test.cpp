// Paths of palettes made on Windows: the operator's mapping lines, the
// drive-letter folder beside the program, and names whose letter case
// differs from the disk's.

#include "platform/drive_mapping.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "platform/case_lookup.h"
#include "tests/support/test_audio.h"

namespace tambrel::platform {
namespace {

TEST(DriveMapping, LongestPrefixWinsWithoutRegardToCaseOnWholeNames) {
    DriveMapping drives(QStringLiteral("/opt/tambrel/"));
    const auto bad = drives.read(
        "# Studio B\r\n"
        "C:\\Jingles=/srv/jingles\r\n"
        "\r\n"
        "c:\\jingles\\Pubs\\=/mnt/pubs/\r\n"
        "  \\\\STUDIO\\Pubs = /mnt/studio/pubs  \n"
        "C:/Sons=/srv/sons\n");
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(drives.toNative(QStringLiteral("C:\\Jingles\\Intro.mp3")),
              QStringLiteral("/srv/jingles/Intro.mp3"));
    EXPECT_EQ(drives.toNative(QStringLiteral("c:\\JINGLES\\pubs\\Pub 1.mp3")),
              QStringLiteral("/mnt/pubs/Pub 1.mp3"));
    EXPECT_EQ(drives.toNative(QStringLiteral("\\\\studio\\pubs\\Hiver\\Pub 2.wav")),
              QStringLiteral("/mnt/studio/pubs/Hiver/Pub 2.wav"));
    EXPECT_EQ(drives.toNative(QStringLiteral("C:\\Sons\\a.wav")),
              QStringLiteral("/srv/sons/a.wav"));
    // Windows takes "/" too; a prefix matches whole names only.
    EXPECT_EQ(drives.toNative(QStringLiteral("C:/Jingles/Intro.mp3")),
              QStringLiteral("/srv/jingles/Intro.mp3"));
    EXPECT_EQ(drives.toNative(QStringLiteral("C:\\JinglesOld\\x.mp3")),
              QStringLiteral("/opt/tambrel/C/JinglesOld/x.mp3"));
    // No line: a drive is a folder beside the program; a share stays as written.
    EXPECT_EQ(drives.toNative(QStringLiteral("D:\\Fonds\\Nuit.wav")),
              QStringLiteral("/opt/tambrel/D/Fonds/Nuit.wav"));
    EXPECT_EQ(drives.toNative(QStringLiteral("\\\\AUTRE\\x.wav")), QStringLiteral("//AUTRE/x.wav"));
    // Linux paths in the system's form are not touched.
    EXPECT_EQ(drives.toNative(QStringLiteral("\\home\\ana\\C:\\x.wav")),
              QStringLiteral("/home/ana/C:/x.wav"));
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
    EXPECT_EQ(bad[0].number, 1);
    EXPECT_EQ(bad[0].text, QStringLiteral("C:\\Jingles"));
    EXPECT_EQ(bad[1].number, 3);
    EXPECT_EQ(bad[2].number, 4);
    EXPECT_EQ(bad[3].number, 5);
    EXPECT_EQ(drives.toNative(QStringLiteral("E:\\Archives\\a.wav")),
              QStringLiteral("/srv/archivé/a.wav"));
    EXPECT_EQ(drives.toNative(QStringLiteral("g:\\a.wav")), QStringLiteral("/media/g/a.wav"));
    EXPECT_EQ(drives.toNative(QStringLiteral("F:\\Sons\\a.wav")),
              QStringLiteral("/opt/tambrel/F/Sons/a.wav"));
}

struct Tree {
    testing::TempDir dir;
    QString root = QString::fromStdString(dir.path());
    void file(const QString& relative) {
        const QString path = root + u'/' + relative;
        QDir().mkpath(path.left(path.lastIndexOf(u'/')));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(relative.toUtf8());  // tells the files apart
    }
    QByteArray contentOf(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

TEST(CaseLookup, EachNameIsMatchedInItsFolderAndTheFirstSortedWins) {
    Tree tree;
    tree.file(QStringLiteral("Jingles/Été/Intro.MP3"));
    tree.file(QStringLiteral("Jingles/Pub.wav"));
    tree.file(QStringLiteral("Jingles/PUB.wav"));
    tree.file(QStringLiteral("Jingles/pub.WAV"));
    const QString r = tree.root;
    EXPECT_EQ(findIgnoringCase(r + "/JINGLES/été/intro.mp3"), r + "/Jingles/Été/Intro.MP3");
    // Three names differ only by case: byte order puts "PUB.wav" first.
    EXPECT_EQ(findIgnoringCase(r + "/jingles/pub.wav"), r + "/Jingles/PUB.wav");
    // As written when it exists as written, or when some name matches nothing.
    EXPECT_EQ(findIgnoringCase(r + "/Jingles/pub.WAV"), r + "/Jingles/pub.WAV");
    EXPECT_EQ(findIgnoringCase(r + "/jingles/absent.wav"), r + "/jingles/absent.wav");
    EXPECT_EQ(findIgnoringCase(r + "/Jingles/Pub.wav/x"), r + "/Jingles/Pub.wav/x");
    EXPECT_EQ(findIgnoringCase(QString()), QString());
}

TEST(CaseLookup, ADriveLetterFolderMayBeALinkAndAnyCase) {
    Tree tree;
    tree.file(QStringLiteral("partage/Jingles/Intro.mp3"));
    tree.file(QStringLiteral("programme/Tambrel"));
    const QString program = tree.root + "/programme";
    ASSERT_EQ(::symlink((tree.root + "/partage").toUtf8().constData(),
                        (program + "/c").toUtf8().constData()),
              0);
    DriveMapping drives(program + u'/');
    const QString found = drives.locate(QStringLiteral("C:\\JINGLES\\intro.mp3"));
    EXPECT_EQ(found, program + "/c/Jingles/Intro.mp3");
    EXPECT_EQ(tree.contentOf(found), QByteArray("partage/Jingles/Intro.mp3"));
    // A mapping line takes the path elsewhere, and its names are matched too.
    ASSERT_TRUE(drives.read(("C:\\Jingles=" + tree.root + "/partage/jingles").toUtf8()).empty());
    EXPECT_EQ(drives.locate(QStringLiteral("c:\\jingles\\INTRO.mp3")),
              tree.root + "/partage/Jingles/Intro.mp3");
}

}  // namespace
}  // namespace tambrel::platform
