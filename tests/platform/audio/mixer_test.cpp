// What the mixed output holds: exact samples, sums, gains, fades and the
// limiter, rendered through the real engine on a null output.

#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio/mixer.h"
#include "tests/platform/audio/engine_rig.h"

namespace tambrel::audio {
namespace {

float constant(int64_t, int) {
    return 0.5f;
}
float loudSine(int64_t f, int) {
    return 0.99f * static_cast<float>(std::sin(f * 0.05));
}

TEST(Mixing, OneVoiceAtUnityIsItsFileSampleForSampleAcrossTheStream) {
    EngineRig rig;
    // Long enough to run out of the head into the streamed chunks and past
    // several wraps of the read-ahead ring.
    const int64_t frames =
        Sound::kChunkFrames * (Sound::kHeadChunks + Sound::kRingChunks * 2) + 123;
    const int voice = rig.start(rig.wav("stairs.wav", frames));
    const std::vector<float> out = rig.render(frames + 512);
    EXPECT_TRUE(framesAre(out, 0, frames, testing::staircase));
    EXPECT_TRUE(framesAre(out, frames, frames + 512, [](int64_t, int) { return 0.0f; }));
    EXPECT_EQ(rig.engine.dryPeriods(), 0u);
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
}

TEST(Mixing, VoicesSumAndEachHasItsGain) {
    EngineRig rig;
    rig.start(rig.wav("a.wav", 2000), std::nullopt, 0.5f);
    rig.start(rig.wav("b.wav", 2000, constant), std::nullopt, 0.25f);
    EXPECT_TRUE(framesAre(
        rig.render(1000), 0, 1000,
        [](int64_t f, int c) { return 0.5f * testing::staircase(f, c) + 0.125f; }, 1e-6f));
}

TEST(Mixing, GainChangeGlidesInsteadOfStepping) {
    EngineRig rig;
    const int voice = rig.start(rig.wav("dc.wav", 20000, constant));
    rig.render(256);
    rig.engine.setGain(voice, 0.0f);
    const std::vector<float> out = rig.render(512);
    // Within one period the level is on its way down, without a step.
    for (int f = 1; f < Mixer::kGainRampFrames; ++f) {
        ASSERT_LT(out[f * 2], out[(f - 1) * 2]);
        ASSERT_LT(out[(f - 1) * 2] - out[f * 2], 0.5f * 2 / Mixer::kGainRampFrames);
    }
    EXPECT_EQ(out[Mixer::kGainRampFrames * 2], 0.0f);
    EXPECT_EQ(out[511 * 2], 0.0f);
}

TEST(Mixing, StopFadesToSilenceWithoutAJump) {
    EngineRig rig;
    const int voice = rig.start(rig.wav("dc.wav", 20000, constant));
    rig.render(256);
    EXPECT_TRUE(rig.engine.stop(voice));
    EXPECT_FALSE(rig.engine.sounding(voice));  // at once, whatever the fade
    const std::vector<float> out = rig.render(1024);
    float previous = 0.5f;
    for (int f = 0; f < 1024; ++f) {
        ASSERT_LE(out[f * 2], previous);
        ASSERT_LE(previous - out[f * 2], 0.5f / Mixer::kFadeFrames + 1e-6f);
        previous = out[f * 2];
    }
    EXPECT_EQ(out[Mixer::kFadeFrames * 2], 0.0f);
    EXPECT_FALSE(rig.engine.stop(voice));    // silent: nothing to stop
    EXPECT_TRUE(rig.engine.pump().empty());  // a stop is not an end of file
}

TEST(Mixing, SeekLandsOnTheRightFrameInHeadAndStream) {
    EngineRig rig;
    const int64_t frames = Sound::kChunkFrames * 60;
    const int voice = rig.start(rig.wav("stairs.wav", frames));
    rig.render(2048);
    for (int64_t target : {int64_t{1000}, Sound::kChunkFrames * 45 + 77, int64_t{0}}) {
        rig.engine.seek(voice, target);
        EXPECT_EQ(rig.engine.position(voice), target);  // as asked, before the mixer has it
        // The new place starts at a period boundary once its data is there
        // (at once in the head, a period later in the stream), fades in, and
        // from then on follows on from the target exactly.
        const std::vector<float> out = rig.render(256 * 8);
        const int64_t settled = Mixer::kFadeFrames + 10;
        int64_t start = 0;
        while (start < 256 * 4 &&
               out[(start + settled) * 2] != testing::staircase(target + settled, 0)) {
            start += 256;
        }
        ASSERT_LT(start, 256 * 4) << "seek to " << target << " not heard";
        for (int64_t k = settled; k < settled + 200; ++k) {
            ASSERT_EQ(out[(start + k) * 2], testing::staircase(target + k, 0)) << target;
        }
    }
    EXPECT_EQ(rig.engine.dryPeriods(), 0u);
}

TEST(Mixing, ManyLoudVoicesNeverCrossFullScale) {
    EngineRig rig;
    auto sound = rig.wav("loud.wav", 44100, loudSine);
    auto quiet = rig.wav("quiet.wav", 44100, constant);
    std::vector<int> voices;
    for (int i = 0; i < 28; ++i) voices.push_back(rig.start(sound));
    const std::vector<float> loud = rig.render(20000);
    float peak = 0.0f;
    for (float s : loud) peak = std::max(peak, std::fabs(s));
    EXPECT_LE(peak, 1.0f);
    EXPECT_GT(peak, 0.9f);  // turned down to the ceiling, not to a whisper
    // Once the limiter has caught the first peak, consecutive samples stay
    // close: the sine keeps its shape, where a hard clip would flatten it.
    for (size_t i = 1000; i < loud.size(); i += 2)
        ASSERT_LT(std::fabs(loud[i] - loud[i - 2]), 0.06f);

    for (int v : voices) rig.engine.stop(v);
    rig.render(44100);  // the limiter recovers
    rig.start(quiet);
    // Below full scale: untouched.
    EXPECT_TRUE(framesAre(rig.render(256), 0, 256, constant));
}

}  // namespace
}  // namespace tambrel::audio
