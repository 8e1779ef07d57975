// Slots whose files come slowly: the window never waits for them, a slot
// says it loads, and a press waits for its file only as long as it could
// still be heard in time (a share that stops answering: share_test.cpp).

#include <condition_variable>
#include <mutex>

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

}  // namespace
}  // namespace tambrel::app
