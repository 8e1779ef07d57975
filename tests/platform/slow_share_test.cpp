// The slow share that the file system calls' tests mount: it mirrors its
// source for the program's reads, listings and saves, and delays, holds or
// fails one kind of call while the others answer.

#include "tests/support/slow_share.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include "platform/file_system.h"
#include "tests/support/test_audio.h"

namespace tambrel::testing {
namespace {

using namespace std::chrono_literals;
using Call = SlowShare::Call;

constexpr int kFrames = 4410;

QByteArray contentOf(const std::string& path) {
    QByteArray bytes;
    QString error;
    EXPECT_TRUE(platform::readFileBytes(QString::fromStdString(path), bytes, error))
        << path << ": " << error.toStdString();
    return bytes;
}

// A share over a source folder that holds a jingle.
struct Mounted {
    TempDir dir;
    std::string source = dir.file("source");
    std::string mount = dir.file("mount");
    bool made = ::mkdir(source.c_str(), 0755) == 0 && ::mkdir(mount.c_str(), 0755) == 0 &&
                writeAudio(source + "/Jingle.wav", FileKind::Wav16, 44100, 2, kFrames, staircase);
    SlowShare share{source, mount};
};

// Holding a call is the window tests' own share (tests/app/share_test.cpp);
// here what the share benchmark and later tests rely on besides.
TEST(SlowShare, MirrorsItsSourceAndDelaysOrFailsOneKindOfCall) {
    Mounted m;
    ASSERT_TRUE(m.made);
    ASSERT_TRUE(m.share.ok()) << m.share.problem();
    const std::string jingle = m.mount + "/Jingle.wav";
    const QByteArray original = contentOf(m.source + "/Jingle.wav");

    // A palette saved as the program saves it: a temporary file beside it,
    // synced, renamed over the old one.
    const int writes = m.share.calls(Call::Write);
    QString error;
    ASSERT_TRUE(platform::writeFileAtomically(QString::fromStdString(m.mount + "/Matin.Bnk"),
                                              "palette\r\n", error))
        << error.toStdString();
    EXPECT_EQ(contentOf(m.source + "/Matin.Bnk"), QByteArray("palette\r\n"));
    EXPECT_GT(m.share.calls(Call::Write), writes);

    ASSERT_TRUE(m.share.delay(Call::Read, 300ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(contentOf(jingle), original);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    ASSERT_TRUE(m.share.release());

    ASSERT_TRUE(m.share.fail(Call::Read, EIO));
    QByteArray bytes;
    EXPECT_FALSE(platform::readFileBytes(QString::fromStdString(jingle), bytes, error));
    EXPECT_EQ(error, platform::describeError(EIO));
    ASSERT_TRUE(m.share.release());
    EXPECT_EQ(contentOf(jingle), original);
}

}  // namespace
}  // namespace tambrel::testing
