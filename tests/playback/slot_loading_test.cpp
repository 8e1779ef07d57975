// Slots whose files come slowly or not at all, as from a share: the window
// never waits for them, a slot says it loads, a press waits for its file only
// as long as it could still be heard in time, and a mount that stops
// answering holds a bounded number of threads.

#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/audio/sound.h"
#include "playback/sound_loader.h"
#include "tests/app/window_rig.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using namespace std::chrono_literals;

// Files whose path holds "slow" open only once the gate is open.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = true;
    void set(bool now) {
        {
            const std::lock_guard lock(mutex);
            open = now;
        }
        opened.notify_all();
    }
};
Gate gate;

audio::OpenResult gatedOpen(const std::string& path) {
    if (path.find("slow") != std::string::npos) {
        std::unique_lock lock(gate.mutex);
        gate.opened.wait(lock, [] { return gate.open; });
    }
    return audio::openSndfile(path);
}

struct SlotLoading : ::testing::Test, WindowRig {
    SlotLoading() : WindowRig(gatedOpen) {
        start();
        system.clockStep = 0;  // the test moves the clock
    }
    ~SlotLoading() override { gate.set(true); }
    // The window's timer, until slot `slot`'s file has come.
    bool loaded(int16_t slot) {
        return testing::waitUntil(
            [&] {
                audio.pump();
                return !window->Player[slot]->Loading();
            },
            5s, 1ms);
    }
    bool heard() {
        const std::vector<float> frames = render(4410);
        return std::any_of(frames.begin(), frames.end(), [](float x) { return x != 0.0f; });
    }
};

TEST_F(SlotLoading, APressWaitsForItsFileOnlyWhileItCouldStillBeHeardInTime) {
    gate.set(false);
    assign(0, wav("slow-a.wav", 2000));  // returns at once: nothing waits on the file
    EXPECT_EQ(shows(0), "slow-a\r\n\r\nA|chargement…");
    window->Touche_Click(0);
    system.clock += 0.1;
    gate.set(true);
    ASSERT_TRUE(loaded(0));
    EXPECT_EQ(onAir(), "A");
    EXPECT_TRUE(heard());
    window->Touche_Click(0);
    audio.pump();

    // Its file came too late for the press: nothing plays, and the slot says why.
    gate.set(false);
    assign(1, wav("slow-b.wav", 2000));
    window->Touche_Click(1);
    system.clock += 0.3;
    gate.set(true);
    ASSERT_TRUE(loaded(1));
    EXPECT_EQ(onAir(), "");
    EXPECT_EQ(window->Touche[1]->Notice().toStdString(), "Partage lent : slow-b pas prêt");
    // The next press plays it.
    window->Touche_Click(1);
    EXPECT_EQ(onAir(), "B");
    window->Touche_Click(1);
    audio.pump();

    // Still loading when the refresh tick finds the press too old: refused
    // then, and not started when the file comes.
    gate.set(false);
    assign(2, wav("slow-c.wav", 2000));
    window->Touche_Click(2);
    system.clock += 0.3;
    window->Timer1_OnTimer();
    EXPECT_EQ(window->Touche[2]->Notice().toStdString(), "Partage lent : slow-c pas prêt");
    gate.set(true);
    ASSERT_TRUE(loaded(2));
    EXPECT_EQ(onAir(), "");
}

// Files on one mount that stops answering: two calls are left to it, and
// after kNoAnswer the next file there is refused at once, naming the mount,
// while a file on another mount loads.
TEST(SoundLoader, AMountThatStopsAnsweringHoldsTwoThreadsAndRefusesTheRestAtOnce) {
    testing::TempDir dir;
    ASSERT_TRUE(testing::writeAudio(dir.file("slow.wav"), testing::FileKind::Wav16, 44100, 2, 4410,
                                    testing::staircase));
    const std::string elsewhere = "/dev/shm/tambrel-loader-test.wav";
    ASSERT_TRUE(testing::writeAudio(elsewhere, testing::FileKind::Wav16, 44100, 2, 4410,
                                    testing::staircase));
    std::ifstream table("/proc/self/mountinfo");
    std::vector<QByteArray> mounts;
    for (std::string line; std::getline(table, line);) {
        mounts.push_back(QByteArray::fromStdString(line).split(' ').value(4));
    }
    const QByteArray mount =
        playback::SoundLoader::mountOf(QByteArray::fromStdString(dir.path()), mounts);
    ASSERT_NE(mount, playback::SoundLoader::mountOf("/dev/shm/x", mounts)) << "one mount for both";

    gate.set(false);
    playback::SoundLoader loader;
    const auto drives = std::make_shared<const platform::DriveMapping>();
    const auto request = [&](const std::string& path) {
        return loader.submit({0, QString::fromStdString(path), drives, 44100, gatedOpen});
    };
    const uint64_t first = request(dir.file("slow.wav"));
    request(dir.file("slow.wav"));
    std::this_thread::sleep_for(playback::SoundLoader::kNoAnswer + 300ms);
    EXPECT_EQ(loader.unanswered(first), QString::fromUtf8(mount));
    const uint64_t third = request(dir.file("slow.wav"));
    const uint64_t other = request(elsewhere);
    std::vector<playback::SoundLoader::Result> done;
    testing::waitUntil(
        [&] {
            for (auto& result : loader.take(10ms)) done.push_back(std::move(result));
            return done.size() == 2;
        },
        2s, 1ms);
    ASSERT_EQ(done.size(), 2U);
    for (const auto& result : done) {
        if (result.ticket == third) {
            EXPECT_EQ(result.unanswered, QString::fromUtf8(mount));
            EXPECT_EQ(result.sound, nullptr);
        } else {
            EXPECT_EQ(result.ticket, other);
            ASSERT_NE(result.sound, nullptr);
            EXPECT_TRUE(result.sound->playable());
        }
    }
    // The mount answers again: the two held calls end, and its files load.
    gate.set(true);
    size_t released = 0;
    EXPECT_TRUE(
        testing::waitUntil([&] { return (released += loader.take().size()) == 2; }, 5s, 5ms));
    ::unlink(elsewhere.c_str());
}

}  // namespace
}  // namespace tambrel::app
