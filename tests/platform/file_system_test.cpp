// File operations: all-or-nothing writes that keep permissions, deletion,
// and the existence test.

#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <csignal>
#include <fstream>

#include "platform/path_form.h"
#include "tests/support/test_audio.h"

namespace tambrel::platform {
namespace {

QByteArray contentOf(const std::string& path) {
    QByteArray bytes;
    QString error;
    EXPECT_TRUE(readFileBytes(QString::fromStdString(path), bytes, error)) << error.toStdString();
    return bytes;
}

TEST(FileSystem, AFailedWriteLeavesTheOldFileWholeAndNoTemporaryBehind) {
    testing::TempDir dir;
    const std::string path = dir.file("Matin.Bnk");
    const QString file = QString::fromStdString(path);
    QString error;
    ASSERT_TRUE(writeFileAtomically(file, "first", error));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(writeFileAtomically(file, "old palette\r\n", error));
    EXPECT_EQ(contentOf(path), QByteArray("old palette\r\n"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the file's permissions are kept

    // The disk fills half-way: writes beyond 64 bytes fail.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeFileAtomically(file, QByteArray(1000, 'x'), error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(written);
    EXPECT_EQ(error, QStringLiteral("Fichier trop volumineux"));
    EXPECT_EQ(contentOf(path), QByteArray("old palette\r\n"));
    EXPECT_EQ(QDir(QString::fromStdString(dir.path())).entryList(QDir::Files | QDir::Hidden).size(),
              1);

    // A folder in the way is refused. (A read-only palette is kept, and
    // deleted when asked, in the window's palette tests.)
    EXPECT_FALSE(writeFileAtomically(QString::fromStdString(dir.path()), "new", error));
    EXPECT_TRUE(deleteFile(file, error));
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(deleteFile(file, error));
    EXPECT_EQ(error, QStringLiteral("Fichier introuvable"));
}

TEST(FileSystem, FileExistsOnlyForVisiblePlainFiles) {
    testing::TempDir dir;
    std::ofstream(dir.file("Tambrel.ini")) << "x";
    std::ofstream(dir.file(".hidden.ini")) << "x";
    const QString folder = toSystemPath(QString::fromStdString(dir.path()));
    EXPECT_TRUE(FileExists(folder + QStringLiteral("\\Tambrel.ini")));
    EXPECT_TRUE(FileExists(QStringLiteral("  ") + folder + QStringLiteral("\\Tambrel.ini  ")));
    EXPECT_FALSE(FileExists(folder + QStringLiteral("\\.hidden.ini")));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_FALSE(FileExists(folder + QStringLiteral("\\none.ini")));
    EXPECT_FALSE(FileExists(QStringLiteral("   ")));
}

}  // namespace
}  // namespace tambrel::platform
