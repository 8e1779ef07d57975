// The slow share that the file system calls' tests mount: it mirrors its
// source for the program's reads, listings and saves, and delays, holds or
// fails one kind of call while the others answer.

#include "tests/support/slow_share.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <QDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

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

TEST(SlowShare, MirrorsTheSourceForReadsListingsAndSaves) {
    Mounted m;
    ASSERT_TRUE(m.made);
    ASSERT_TRUE(m.share.ok()) << m.share.problem();
    const std::string jingle = m.mount + "/Jingle.wav";

    // Read as the program reads: the whole file, and the sound through libsndfile.
    const int opens = m.share.calls(Call::Open);
    const int reads = m.share.calls(Call::Read);
    EXPECT_EQ(contentOf(jingle), contentOf(m.source + "/Jingle.wav"));
    SF_INFO info{};
    SNDFILE* sound = sf_open(jingle.c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    std::vector<short> samples(2 * kFrames);
    EXPECT_EQ(sf_readf_short(sound, samples.data(), kFrames), kFrames);
    sf_close(sound);
    EXPECT_EQ(samples[2 * 1234], 1234);  // the staircase: each sample names its frame
    EXPECT_EQ(samples[2 * 1234 + 1], -1234);
    EXPECT_EQ(m.share.calls(Call::Open), opens + 2);
    EXPECT_GT(m.share.calls(Call::Read), reads);

    const int listings = m.share.calls(Call::ReadDir);
    EXPECT_EQ(QDir(QString::fromStdString(m.mount)).entryList(QDir::Files),
              QStringList{QStringLiteral("Jingle.wav")});
    EXPECT_GT(m.share.calls(Call::ReadDir), listings);

    // A palette saved as the program saves it: a temporary file beside it,
    // synced, renamed over the old one.
    const int writes = m.share.calls(Call::Write);
    const QString palette = QString::fromStdString(m.mount + "/Matin.Bnk");
    QString error;
    ASSERT_TRUE(platform::writeFileAtomically(palette, "old\r\n", error)) << error.toStdString();
    ASSERT_TRUE(platform::writeFileAtomically(palette, "palette\r\n", error))
        << error.toStdString();
    EXPECT_EQ(contentOf(m.source + "/Matin.Bnk"), QByteArray("palette\r\n"));
    EXPECT_EQ(QDir(QString::fromStdString(m.source)).entryList(QDir::Files | QDir::Hidden).size(),
              2);                                       // no temporary file left
    EXPECT_GE(m.share.calls(Call::Write), writes + 8);  // twice create, write, fsync, rename...

    // A stat is counted as such, and opens nothing.
    const int stats = m.share.calls(Call::GetAttr);
    const int opensBefore = m.share.calls(Call::Open);
    struct stat st {};
    EXPECT_EQ(::stat((m.mount + "/Matin.Bnk").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 9);
    EXPECT_GT(m.share.calls(Call::GetAttr), stats);
    EXPECT_EQ(m.share.calls(Call::Open), opensBefore);
}

TEST(SlowShare, DelaysHoldsOrFailsOneKindOfCallWhileTheOthersAnswer) {
    Mounted m;
    ASSERT_TRUE(m.made);
    ASSERT_TRUE(m.share.ok()) << m.share.problem();
    const std::string jingle = m.mount + "/Jingle.wav";
    const QByteArray original = contentOf(m.source + "/Jingle.wav");

    ASSERT_TRUE(m.share.delay(Call::Read, 300ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(contentOf(jingle), original);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    ASSERT_TRUE(m.share.release());

    // A held open keeps its caller until the release; a stat of the same
    // file answers meanwhile.
    ASSERT_TRUE(m.share.hang(Call::Open));
    const int opens = m.share.calls(Call::Open);
    std::atomic<bool> opened{false};
    std::atomic<bool> statted{false};
    QByteArray heldRead;
    bool statAnswered = false;
    std::thread opener([&] {
        heldRead = contentOf(jingle);
        opened = true;
    });
    EXPECT_TRUE(waitUntil([&] { return m.share.calls(Call::Open) > opens; }, 5s));
    std::thread statter([&] {
        struct stat st {};
        statAnswered = ::stat(jingle.c_str(), &st) == 0 && st.st_size == original.size();
        statted = true;
    });
    EXPECT_TRUE(waitUntil([&] { return statted.load(); }, 5s));
    EXPECT_FALSE(waitUntil([&] { return opened.load(); }, 300ms));
    EXPECT_TRUE(m.share.release());
    EXPECT_TRUE(waitUntil([&] { return opened && statted; }, 5s));
    if (!opened || !statted) m.share.stop();  // still held: the calls fail with the share
    opener.join();
    statter.join();
    EXPECT_TRUE(statAnswered);
    EXPECT_EQ(heldRead, original);

    ASSERT_TRUE(m.share.fail(Call::Read, EIO));
    QByteArray bytes;
    QString error;
    EXPECT_FALSE(platform::readFileBytes(QString::fromStdString(jingle), bytes, error));
    EXPECT_EQ(error, platform::describeError(EIO));
    ASSERT_TRUE(m.share.release());
    EXPECT_EQ(contentOf(jingle), original);
}

}  // namespace
}  // namespace tambrel::testing
