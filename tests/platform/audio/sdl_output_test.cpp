// SDL's output on its dummy driver, which pulls in real time without a
// sound card: a longer period taken only while the device is silent.

#include "platform/audio/sdl_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "platform/audio/mixer.h"
#include "platform/audio/sound.h"
#include "platform/audio/stream_worker.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = 44100;

TEST(SdlOutput, ALongerPeriodAfterShortfallsIsTakenOnlyWhileSilentAndSoundGoesOn) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SdlBackend backend;
    ASSERT_EQ(backend.problem(), "");
    testing::TempDir dir;
    ASSERT_TRUE(testing::writeAudio(dir.file("ramp.wav"), testing::FileKind::Wav16, kRate, 2,
                                    kRate * 20, testing::staircase));
    StreamWorker worker;
    const std::shared_ptr<Sound> ramp = Sound::load(dir.file("ramp.wav"), kRate);
    worker.add(ramp);
    Mixer mixer(kRate);
    std::unique_ptr<AudioOutput> output = backend.open(std::nullopt, mixer, kRate, 96);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->queuedFrames(), 2 * 256);

    ramp->audioRefs.fetch_add(1);
    MixerCommand play;
    play.type = MixerCommand::Type::Play;
    play.seq = 1;
    play.sound = ramp.get();
    ASSERT_TRUE(mixer.send(play));
    ASSERT_TRUE(testing::waitUntil([&] { return mixer.position(0) > 0; }, 5s));

    // Short twice while a slot sounds: reopening would cut it, so it waits.
    AudioOutput::Clock::time_point now{};
    output->adapt(now, false);
    mixer.countUnderrun();
    mixer.countUnderrun();
    output->adapt(now += 1s, false);
    EXPECT_EQ(output->queuedFrames(), 2 * 256);
    output->adapt(now += 5ms, true);
    // Two steps of 256 frames, or more if this busy machine made the dummy
    // device's thread late meanwhile too; two periods queued.
    const int grown = output->queuedFrames();
    EXPECT_GE(grown, 2 * 768);
    EXPECT_LE(grown, 2 * 1024);
    EXPECT_FALSE(output->lost());
    // The same mixer is pulled on the device opened again.
    const int64_t before = mixer.position(0);
    EXPECT_TRUE(testing::waitUntil([&] { return mixer.position(0) > before + kRate / 10; }, 5s));

    // A clean minute gives a step back, also only while silent.
    const uint64_t shortfalls = mixer.underruns();
    output->adapt(now += 61s, false);
    EXPECT_EQ(output->queuedFrames(), grown);
    output->adapt(now += 5ms, true);
    if (mixer.underruns() == shortfalls) {
        EXPECT_EQ(output->queuedFrames(), grown - 2 * 256);
    }
    output.reset();
    mixer.abandon();
}

}  // namespace
}  // namespace tambrel::audio
