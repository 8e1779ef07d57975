// The sound server's output on a private PulseAudio daemon with two null
// sinks: devices listed and opened by description, playback that really
// advances, a device unplugged mid-play, sinks plugged in and out noticed
// without asking the server, the server going away and coming back, and the
// fallback when there is no server at all.

#include "platform/audio/pulse_output.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "platform/audio/audio_engine.h"
#include "platform/audio/mixer.h"
#include "platform/audio/sdl_output.h"
#include "platform/audio/sound.h"
#include "platform/audio/stream_worker.h"
#include "platform/audio/system_output.h"
#include "tests/support/pulse_server.h"
#include "tests/support/sink_recorder.h"
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

// Whether the backend says, within `limit`, that the devices may have changed.
bool saysChangedWithin(OutputBackend& backend, std::chrono::milliseconds limit) {
    return testing::waitUntil([&] { return backend.devicesMayHaveChanged(); }, limit, 5ms);
}

// Polls as the window does, listing the devices again each time the backend
// says they may have changed, until the list is `wanted` or five seconds
// have passed; the last list.
std::vector<std::string> followUntil(OutputBackend& backend,
                                     const std::vector<std::string>& wanted) {
    std::vector<std::string> names;
    testing::waitUntil(
        [&] {
            if (backend.devicesMayHaveChanged()) names = backend.deviceNames();
            return names == wanted;
        },
        5s, 5ms);
    return names;
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

TEST_F(PulseOutputTest, SinksPluggedInAndOutAreNoticedWithoutAskingTheServer) {
    PulseBackend backend;
    ASSERT_TRUE(backend.devicesMayHaveChanged());  // the first list is news
    const std::vector<std::string> before = backend.deviceNames();
    ASSERT_EQ(before, (std::vector<std::string>{"Studio", "Cue"}));
    EXPECT_FALSE(saysChangedWithin(backend, 200ms));

    ASSERT_TRUE(server_->addSink("Casque"));
    EXPECT_EQ(followUntil(backend, {"Studio", "Cue", "Casque"}),
              (std::vector<std::string>{"Studio", "Cue", "Casque"}));
    ASSERT_TRUE(server_->removeSink("Casque"));
    EXPECT_EQ(followUntil(backend, before), before);
    ASSERT_TRUE(server_->addSink("Casque"));  // the same headset, back
    EXPECT_EQ(followUntil(backend, {"Studio", "Cue", "Casque"}),
              (std::vector<std::string>{"Studio", "Cue", "Casque"}));

    // Once the events of that last change are in (a new sink comes with a
    // change event of its own), quiet again.
    static_cast<void>(saysChangedWithin(backend, 100ms));
    EXPECT_FALSE(saysChangedWithin(backend, 200ms));
}

TEST_F(PulseOutputTest, AServerGoneIsToldAtOnceThenAtABoundedRateUntilItIsBack) {
    PulseBackend backend;
    ASSERT_TRUE(backend.devicesMayHaveChanged());
    ASSERT_EQ(backend.deviceNames(), (std::vector<std::string>{"Studio", "Cue"}));

    server_->stop();
    ASSERT_TRUE(saysChangedWithin(backend, 5s));
    EXPECT_TRUE(backend.deviceNames().empty());  // tries the server afresh, in vain
    // Each true costs the caller a try at connecting, so they come seldom.
    EXPECT_FALSE(saysChangedWithin(backend, 1s));
    EXPECT_TRUE(saysChangedWithin(backend, 2500ms));
    EXPECT_TRUE(backend.deviceNames().empty());

    server_.reset();
    server_ = std::make_unique<testing::PulseServer>(folder_, "Studio", kRate);
    EXPECT_EQ(followUntil(backend, {"Studio"}), std::vector<std::string>{"Studio"});
    // Connected again (a fresh connection's first answer is true): events
    // once more, not the rate of a lost server.
    static_cast<void>(saysChangedWithin(backend, 100ms));
    EXPECT_FALSE(saysChangedWithin(backend, 200ms));
    ASSERT_TRUE(server_->addSink("Casque"));
    EXPECT_EQ(followUntil(backend, {"Studio", "Casque"}),
              (std::vector<std::string>{"Studio", "Casque"}));
}

TEST_F(PulseOutputTest, AServerThatNeverAnswersIsTriedAgainOnlyNowAndThen) {
    server_->stop();
    // Where the server was, a socket that takes connections and never says a word.
    const std::string silent = folder_ + "/silent.sock";
    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listening, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(silent.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, silent.c_str(), silent.size() + 1);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listening, 8), 0);
    const char* ours = std::getenv("PULSE_SERVER");
    ASSERT_NE(ours, nullptr);
    const std::string server = ours;
    setenv("PULSE_SERVER", ("unix:" + silent).c_str(), 1);

    {
        PulseBackend backend;  // waits its two seconds in vain
        EXPECT_FALSE(backend.usable());
        EXPECT_TRUE(backend.devicesMayHaveChanged());
        EXPECT_TRUE(backend.deviceNames().empty());  // two seconds more
        // The pause counts from the end of that try, or the window's thread
        // would spend nearly all its time waiting on this server.
        EXPECT_FALSE(saysChangedWithin(backend, 1s));
    }
    setenv("PULSE_SERVER", server.c_str(), 1);
    close(listening);
}

// What the server keeps queued, once it has taken the change to `frames`
// (or two seconds have passed), looking as often as the engine's pump does.
// The server splits the target between the device and the stream in
// microseconds, so a frame may be lost to rounding.
int granted(AudioOutput& output, AudioOutput::Clock::time_point now, int frames) {
    testing::waitUntil(
        [&] {
            output.adapt(now, false);
            return std::abs(output.queuedFrames() - frames) <= 1;
        },
        2s, 5ms);
    return output.queuedFrames();
}

TEST_F(PulseOutputTest, WhatTheServerGrantsAddsUpToTheTargetAsItChanges) {
    PulseBackend backend;
    Mixer mixer(kRate);
    const std::unique_ptr<AudioOutput> output =
        backend.open(std::string("Cue"), mixer, kRate, kPeriodFrames);
    ASSERT_NE(output, nullptr);
    const int floor = kPeriodFrames * PulseBackend::kServerPeriods;
    const int most = kPeriodFrames * PulseBackend::kMostServerPeriods;
    EXPECT_NEAR(output->queuedFrames(), floor, 1);  // known as soon as it opens

    // Shortfalls as the device thread reports them, past the ceiling.
    AudioOutput::Clock::time_point now{};
    output->adapt(now, false);
    for (int shortfall = 0; shortfall < PulseBackend::kMostServerPeriods; ++shortfall) {
        mixer.countUnderrun();
    }
    output->adapt(now += 3s, false);
    EXPECT_NEAR(granted(*output, now, most), most, 1);
    output->adapt(now += PulseBackend::kCleanStretch, false);
    EXPECT_NEAR(granted(*output, now, most - kPeriodFrames), most - kPeriodFrames, 1);
    output->adapt(now += PulseBackend::kCleanStretch, false);
    EXPECT_NEAR(granted(*output, now, most - 2 * kPeriodFrames), most - 2 * kPeriodFrames, 1);
}

// Walks a recording of the staircase (left: frame % 32768 / 32768) from its
// first sound on: each frame must be the next step, or silence where the sink
// ran short; any other value is a step lost or played twice.
struct StaircaseCheck {
    int64_t faults = 0;
    int64_t silentFrames = 0;

    explicit StaircaseCheck(const std::vector<float>& stereo) {
        const auto frames = static_cast<int64_t>(stereo.size() / 2);
        int64_t f = 0;
        while (f < frames && stereo[static_cast<size_t>(f) * 2] == 0.0f) ++f;
        long expected = -1;
        for (; f < frames; ++f) {
            const long step = std::lround(stereo[static_cast<size_t>(f) * 2] * 32768.0f);
            if (expected < 0 || step == expected) {
                expected = (step + 1) % 32768;
            } else if (step == 0) {
                ++silentFrames;
            } else {
                ++faults;
                expected = (step + 1) % 32768;
            }
        }
    }
};

TEST_F(PulseOutputTest, ChangingTheQueueWhilePlayingNeitherLosesNorRepeatsNorGaps) {
    ASSERT_TRUE(testing::writeAudio(dir_.file("ramp.wav"), testing::FileKind::Wav16, kRate, 2,
                                    kRate * 30, testing::staircase));
    PulseBackend backend;
    Mixer mixer(kRate);
    std::unique_ptr<AudioOutput> output =
        backend.open(std::string("Cue"), mixer, kRate, kPeriodFrames);
    ASSERT_NE(output, nullptr);
    // A fresh null sink runs ahead at first; let it settle into real time.
    // Shortfalls are told to the output here, so that the server itself
    // never runs short; the ramp starts with 12 periods queued, so that
    // this busy test machine does not run short by itself either.
    AudioOutput::Clock::time_point now{};
    output->adapt(now, false);
    std::this_thread::sleep_for(2500ms);
    for (int shortfall = 0; shortfall < 4; ++shortfall) mixer.countUnderrun();
    output->adapt(now += 3s, false);
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            output->adapt(now, false);
            return output->queuedFrames() >= 12 * kPeriodFrames - 1;
        },
        2s, 5ms));

    StreamWorker worker;
    const std::shared_ptr<Sound> ramp = Sound::load(dir_.file("ramp.wav"), kRate);
    worker.add(ramp);
    ramp->audioRefs.fetch_add(1);
    MixerCommand play;
    play.type = MixerCommand::Type::Play;
    play.seq = 1;
    play.sound = ramp.get();
    testing::SinkRecorder cue("Cue", kRate);
    ASSERT_TRUE(cue.ok());
    const uint64_t natural = mixer.underruns();
    ASSERT_TRUE(mixer.send(play));

    // Each change is waited for and given time to be heard; false when the
    // server did not take it.
    auto change = [&](AudioOutput::Clock::duration later) {
        const int before = output->queuedFrames();
        now += later;
        const bool taken = testing::waitUntil(
            [&] {
                output->adapt(now, false);  // as the engine's pump does
                return output->queuedFrames() != before;
            },
            2s, 5ms);
        std::this_thread::sleep_for(150ms);
        return taken;
    };
    // Several shortfalls at once (or a long wait) ask for a large step: 12
    // periods more in one go. Then down, then up a step at a time to the
    // ceiling, and down again (long calm stretches, whatever the back-off).
    const int most = kPeriodFrames * PulseBackend::kMostServerPeriods;
    // What is seen is judged at the end, once it is known whether the
    // machine ran the server short by itself meanwhile.
    for (int shortfall = 0; shortfall < 6; ++shortfall) mixer.countUnderrun();
    int told = 6;
    const bool largeStep = change(1s);
    const int afterLargeStep = granted(*output, now, most);
    int shrinks = 0;
    for (int step = 0; step < 11; ++step) shrinks += change(32 * PulseBackend::kCleanStretch);
    int smallSteps = 0;
    while (output->queuedFrames() < most - 1 && told < 20) {
        mixer.countUnderrun();
        ++told;
        smallSteps += change(1s);
    }
    const int atTop = output->queuedFrames();
    for (int step = 0; step < 11; ++step) shrinks += change(32 * PulseBackend::kCleanStretch);
    cue.stop();
    const uint64_t real = mixer.underruns() - natural - told;
    output.reset();  // no render() any more: the mixer can give the sound back
    mixer.abandon();

    // A machine too slow for the server (a sanitizer's build on a busy
    // machine) runs it short by itself: the queue then follows the machine
    // as well as the test, and the server drops some of what was queued.
    if (real > 0) GTEST_SKIP() << real << " underflows of the machine's own; nothing to judge";
    EXPECT_TRUE(largeStep);
    EXPECT_NEAR(afterLargeStep, most, 1);
    EXPECT_EQ(smallSteps, told - 6);
    EXPECT_NEAR(atTop, most, 1);
    EXPECT_EQ(shrinks, 22);
    const StaircaseCheck heard(cue.samples());
    EXPECT_GT(cue.frames(), kRate * 3 / 2);  // eleven steps back at least
    EXPECT_EQ(heard.faults, 0) << "steps lost or repeated; " << real << " real underflows";
    EXPECT_EQ(heard.silentFrames, 0) << "a gap; " << real << " real underflows";
}

TEST_F(PulseOutputTest, AStarvedStreamGrowsItsQueueAtOnceAndComesBackDownAfterCleanMinutes) {
    AudioEngine engine(std::make_unique<PulseBackend>());
    auto sound = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    ASSERT_TRUE(engine.play(voice, sound, std::string("Cue"), 1.0f));
    // The queue is looked at with a clock of the test's: real time would not
    // reach a clean minute.
    AudioOutput::Clock::time_point now{};
    auto turn = [&](std::chrono::milliseconds time) {
        const auto until = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < until) {
            engine.pump(now);
            std::this_thread::sleep_for(5ms);
        }
    };
    turn(2500ms);  // settled into real time
    now += 3s;     // and out of the queue's own settling time
    const double floor = 1000.0 * kPeriodFrames * PulseBackend::kServerPeriods / kRate;
    const double start = engine.queuedMs(std::string("Cue"));
    EXPECT_GE(start, floor - 0.1);
    EXPECT_EQ(engine.queuedMs(std::string("Studio")), 0);  // not open

    // The server held still longer than the queue lasts, as on a machine too
    // busy to run it: the stream runs short, and the queue grows at once.
    const uint64_t before = engine.underruns(std::string("Cue"));
    server_->pause(40ms);
    turn(300ms);
    EXPECT_GT(engine.underruns(std::string("Cue")), before);
    const double grown = engine.queuedMs(std::string("Cue"));
    EXPECT_GT(grown, start);
    EXPECT_LE(grown, 50.5);

    // Long calm stretches (longer than any a step back that failed asks for)
    // bring it down to the floor; a busy machine may run the floor itself
    // short again afterwards, so the lowest point is what counts. A loaded
    // machine may also run it short on the way down, or be slow to report a
    // step: a few more stretches are given then.
    double lowest = grown;
    for (int step = 0; step < PulseBackend::kMostServerPeriods + 2 ||
                       (lowest > floor + 0.1 && step < 4 * PulseBackend::kMostServerPeriods);
         ++step) {
        now += 32 * PulseBackend::kCleanStretch;
        turn(30ms);
        lowest = std::min(lowest, engine.queuedMs(std::string("Cue")));
    }
    EXPECT_NEAR(lowest, floor, 0.1);
    EXPECT_TRUE(engine.sounding(voice));
}

TEST_F(PulseOutputTest, WithoutAServerTheSystemOutputIsSdls) {
    server_->stop();
    PulseBackend backend;
    EXPECT_FALSE(backend.usable());
    EXPECT_NE(backend.problem(), "");
    EXPECT_TRUE(backend.deviceNames().empty());
    EXPECT_TRUE(backend.devicesMayHaveChanged());  // never connected: the caller should look
    EXPECT_FALSE(backend.devicesMayHaveChanged());
    const std::unique_ptr<OutputBackend> chosen = systemOutput();
    EXPECT_NE(dynamic_cast<SdlBackend*>(chosen.get()), nullptr);
}

}  // namespace
}  // namespace tambrel::audio
