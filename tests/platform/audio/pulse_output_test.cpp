// The sound server's output on a private PulseAudio daemon with two null
// sinks: devices listed and opened by description, playback that really
// advances, a device unplugged mid-play, the server going away and coming
// back, and the fallback when there is no server at all.

#include "platform/audio/pulse_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/audio/audio_engine.h"
#include "platform/audio/sdl_output.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = 44100;

// Waits up to ten seconds (a fresh null sink runs two seconds ahead before it
// takes a stream's latency) for `done`, turning the engine's pump as the
// window's timer does; returns the voices pump() reported meanwhile.
template <typename Done>
std::vector<int> pumpUntil(AudioEngine& engine, Done done) {
    std::vector<int> ended;
    auto pump = [&] {
        for (int voice : engine.pump()) ended.push_back(voice);
    };
    testing::waitUntil(
        [&] {
            pump();
            return done();
        },
        10s, 5ms);
    pump();
    return ended;
}

class PulseOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = dir_.file("server");
        std::filesystem::create_directory(folder_);
        server_ = std::make_unique<testing::PulseServer>(folder_, "Studio", kRate,
                                                         std::vector<std::string>{"Cue"});
        ASSERT_TRUE(testing::writeAudio(dir_.file("tone.wav"), testing::FileKind::Wav16, kRate, 2,
                                        kRate * 10, testing::staircase));
    }

    testing::TempDir dir_;
    std::string folder_;
    std::unique_ptr<testing::PulseServer> server_;
};

TEST_F(PulseOutputTest, SinksAreListedByDescriptionAndAPlaybackAdvancesOnTheNamedOne) {
    auto backend = std::make_unique<PulseBackend>();
    ASSERT_TRUE(backend->usable());
    EXPECT_EQ(backend->problem(), "");
    EXPECT_EQ(backend->deviceNames(), (std::vector<std::string>{"Studio", "Cue"}));

    AudioEngine engine(std::move(backend));
    auto sound = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    EXPECT_FALSE(engine.play(voice, sound, std::string("Régie B"), 1.0f));  // no such sink

    ASSERT_TRUE(engine.play(voice, sound, std::string("Cue"), 1.0f));
    // The server pulls in real time: 0.2 s of sound within a few seconds.
    pumpUntil(engine, [&] { return engine.position(voice) > kRate / 5; });
    EXPECT_GT(engine.position(voice), kRate / 5);
    EXPECT_TRUE(engine.sounding(voice));
    EXPECT_TRUE(engine.stop(voice));

    const int other = engine.createVoice();
    ASSERT_TRUE(engine.play(other, sound, std::nullopt, 1.0f));  // the default sink
    pumpUntil(engine, [&] { return engine.position(other) > kRate / 5; });
    EXPECT_GT(engine.position(other), kRate / 5);
}

TEST_F(PulseOutputTest, AnUnpluggedSinkEndsItsPlaybacksOnceAndTheOtherSinkPlaysOn) {
    AudioEngine engine(std::make_unique<PulseBackend>());
    auto sound = engine.load(dir_.file("tone.wav"));
    const int onStudio = engine.createVoice();
    const int onCue = engine.createVoice();
    ASSERT_TRUE(engine.play(onStudio, sound, std::string("Studio"), 1.0f));
    ASSERT_TRUE(engine.play(onCue, sound, std::string("Cue"), 1.0f));
    pumpUntil(engine, [&] { return engine.position(onStudio) > 0; });

    ASSERT_TRUE(server_->removeSink("Studio"));
    const std::vector<int> ended = pumpUntil(engine, [&] { return !engine.sounding(onStudio); });
    EXPECT_EQ(ended, std::vector<int>{onStudio});
    EXPECT_TRUE(engine.sounding(onCue));
    // Gone from the list, and a start on it sounds nothing instead of
    // sounding on another device.
    EXPECT_EQ(engine.deviceNames(), std::vector<std::string>{"Cue"});
    EXPECT_FALSE(engine.play(onStudio, sound, std::string("Studio"), 1.0f));
    const int64_t before = engine.position(onCue);
    pumpUntil(engine, [&] { return engine.position(onCue) > before + kRate / 10; });
    EXPECT_GT(engine.position(onCue), before + kRate / 10);
}

TEST_F(PulseOutputTest, AServerThatGoesAwayEndsEveryPlaybackAndIsFoundAgainWhenBack) {
    AudioEngine engine(std::make_unique<PulseBackend>());
    auto sound = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    ASSERT_TRUE(engine.play(voice, sound, std::nullopt, 1.0f));

    server_->stop();
    const std::vector<int> ended = pumpUntil(engine, [&] { return !engine.sounding(voice); });
    EXPECT_EQ(ended, std::vector<int>{voice});
    EXPECT_TRUE(engine.deviceNames().empty());
    EXPECT_NE(engine.backendProblem(), "");
    EXPECT_FALSE(engine.play(voice, sound, std::nullopt, 1.0f));

    server_.reset();
    server_ = std::make_unique<testing::PulseServer>(folder_, "Studio", kRate);
    EXPECT_EQ(engine.backendProblem(), "");
    EXPECT_EQ(engine.deviceNames(), std::vector<std::string>{"Studio"});
    ASSERT_TRUE(engine.play(voice, sound, std::string("Studio"), 1.0f));
    pumpUntil(engine, [&] { return engine.position(voice) > kRate / 10; });
    EXPECT_GT(engine.position(voice), kRate / 10);
}

TEST_F(PulseOutputTest, WithoutAServerTheSystemOutputIsSdls) {
    server_->stop();
    PulseBackend backend;
    EXPECT_FALSE(backend.usable());
    EXPECT_NE(backend.problem(), "");
    EXPECT_TRUE(backend.deviceNames().empty());
    const std::unique_ptr<OutputBackend> chosen = systemOutput();
    EXPECT_NE(dynamic_cast<SdlBackend*>(chosen.get()), nullptr);
}

}  // namespace
}  // namespace tambrel::audio
