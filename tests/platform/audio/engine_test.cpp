// The engine as the window's thread drives it: ends of playback, devices
// opened on demand and lost, read-ahead that runs dry, memory and freeing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/platform/audio/engine_rig.h"

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

TEST(Engine, AtItsEndAPlaybackIsReportedOnceOrRepeatsAndAStartBeginsAtZeroOrNotAtAll) {
    EngineRig rig;
    auto sound = rig.wav("short.wav", 100);  // shorter than one period
    const int voice = rig.engine.createVoice();
    rig.engine.setRepeat(voice, true);
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    EXPECT_TRUE(framesAre(rig.render(1000), 0, 1000,
                          [](int64_t f, int c) { return testing::staircase(f % 100, c); }));
    EXPECT_TRUE(rig.engine.sounding(voice));
    EXPECT_TRUE(rig.engine.pump().empty());
    rig.engine.setRepeat(voice, false);  // off while sounding: ends at the next end
    rig.render(256);
    EXPECT_FALSE(rig.engine.sounding(voice));
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
    EXPECT_TRUE(rig.engine.pump().empty());
    EXPECT_FALSE(rig.engine.stop(voice));

    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    EXPECT_TRUE(framesAre(rig.render(60), 0, 60, testing::staircase));
    EXPECT_EQ(rig.engine.position(voice), 60);
    EXPECT_TRUE(rig.engine.pump().empty());
    rig.render(256);
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});

    // A start the device takes up too late (a server that froze, then went
    // on) never begins: it ends at once, silent, and says why.
    rig.backend->output(std::nullopt)->setLateStartLimit(500ms);
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    std::this_thread::sleep_for(700ms);
    const std::vector<float> late = rig.render(256);
    EXPECT_TRUE(std::all_of(late.begin(), late.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
    EXPECT_TRUE(rig.engine.startedLate(voice));
    EXPECT_EQ(rig.engine.aired(voice).frames, 0);
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));  // in time: whole
    EXPECT_TRUE(framesAre(rig.render(60), 0, 60, testing::staircase));
    EXPECT_FALSE(rig.engine.startedLate(voice));
}

TEST(Engine, NothingStartsOnAMissingDeviceAndALostOneEndsOnlyItsPlaybacksUntilBack) {
    EngineRig rig;
    auto toldOnce = [&] {
        return rig.engine.devicesMayHaveChanged() && !rig.engine.devicesMayHaveChanged();
    };
    EXPECT_TRUE(toldOnce());  // the first list is news
    auto sound = rig.wav("a.wav", 50000);
    const int onCue = rig.engine.createVoice();
    auto broken = rig.engine.load(rig.dir.file("nothing-here.mp3"));
    EXPECT_FALSE(rig.engine.play(onCue, broken, std::nullopt, 1.0f));
    EXPECT_FALSE(rig.engine.play(onCue, nullptr, std::nullopt, 1.0f));
    EXPECT_FALSE(rig.engine.play(onCue, sound, "No such card", 1.0f));
    EXPECT_FALSE(rig.engine.sounding(onCue));
    EXPECT_TRUE(rig.engine.pump().empty());
    ASSERT_TRUE(rig.engine.play(onCue, sound, "Cue", 1.0f));
    const int onStudio = rig.start(sound, "Studio");
    rig.render(256, "Cue");

    rig.backend->unplug("Cue");
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{onCue});
    EXPECT_FALSE(rig.engine.sounding(onCue));
    EXPECT_TRUE(rig.engine.sounding(onStudio));  // other devices play on
    EXPECT_TRUE(toldOnce());
    EXPECT_EQ(rig.engine.deviceNames(), Names{"Studio"});
    EXPECT_FALSE(rig.engine.play(onCue, sound, "Cue", 1.0f));
    EXPECT_TRUE(rig.engine.pump().empty());

    rig.backend->addDevice("Casque");  // a USB headset, plugged in while running
    EXPECT_TRUE(toldOnce());
    EXPECT_EQ(rig.engine.deviceNames(), (Names{"Studio", "Casque"}));
    EXPECT_TRUE(rig.engine.play(rig.engine.createVoice(), sound, "Casque", 1.0f));

    rig.backend->plugIn("Cue");
    EXPECT_TRUE(toldOnce());
    EXPECT_EQ(rig.engine.deviceNames(), (Names{"Studio", "Cue", "Casque"}));
    ASSERT_TRUE(rig.engine.play(onCue, sound, "Cue", 1.0f));
    EXPECT_EQ(rig.render(256, "Cue")[5 * 2], testing::staircase(5, 0));
}

// A file source reading through a real one on a disk the test slows down:
// reads at or past gGate wait until the test moves it, and while gSlowReads
// holds every 50th read takes 200 ms, as on a busy disk or a network share;
// every read takes gReadDelay more.
std::atomic<int64_t> gGate{INT64_MAX};
std::atomic<int> gHeldReads{0};
std::atomic<bool> gSlowReads{false};
std::atomic<std::chrono::microseconds> gReadDelay{0us};
class SlowDiskSource final : public AudioSource {
  public:
    explicit SlowDiskSource(std::unique_ptr<AudioSource> inner) : inner_(std::move(inner)) {}
    int channels() const override { return inner_->channels(); }
    int sampleRate() const override { return inner_->sampleRate(); }
    int64_t frames() const override { return inner_->frames(); }
    int64_t read(float* out, int64_t count) override {
        if (gSlowReads && ++reads_ % 50 == 0) std::this_thread::sleep_for(200ms);
        std::this_thread::sleep_for(gReadDelay.load());
        if (at_ >= gGate) {
            ++gHeldReads;
            // Let go at the latest when the test would time out anyway.
            testing::waitUntil([at = at_] { return at < gGate; }, 60s, 1ms);
        }
        const int64_t got = inner_->read(out, count);
        at_ += got;
        return got;
    }
    bool seek(int64_t frame) override {
        at_ = frame;
        return inner_->seek(frame);
    }

  private:
    std::unique_ptr<AudioSource> inner_;
    int64_t at_ = 0;
    int reads_ = 0;
};

OpenResult openOnSlowDisk(const std::string& path) {
    OpenResult result = openSndfile(path);
    if (result.source) result.source = std::make_unique<SlowDiskSource>(std::move(result.source));
    return result;
}

// An engine on the slow disk, whose state is put right again before the
// engine ends, so that a failed check never leaves its worker held.
struct SlowDiskRig : EngineRig {
    SlowDiskRig(int64_t gate, bool slowReads) : EngineRig(openOnSlowDisk) {
        gGate = gate;
        gHeldReads = 0;
        gSlowReads = slowReads;
    }
    ~SlowDiskRig() {
        gGate = INT64_MAX;
        gSlowReads = false;
        gReadDelay = 0us;
    }
};

// Plays `frames` frames in real time, period by period, as a device pulls.
void playInRealTime(NullOutput& output, int64_t frames) {
    std::vector<float> period(256 * 2);
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < frames / 256; ++n) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(int64_t{n} * 256 * 1000000 / 44100));
        output.render(period.data(), 256);
    }
}

TEST(Engine, DryReadAheadPlaysSilenceCountsItAndCatchesUp) {
    const int64_t head = Sound::kHeadChunks * Sound::kChunkFrames;
    SlowDiskRig rig(head, false);  // stalls just past the head
    auto sound = rig.wav("a.wav", head + 4 * Sound::kChunkFrames);
    const int voice = rig.start(sound);
    NullOutput* output = rig.backend->output(std::nullopt);
    ASSERT_TRUE(testing::waitUntil([] { return gHeldReads > 0; }, 10s));

    // Through the head and beyond, while the worker is stuck in a read: the
    // mixer never waits for it.
    std::vector<float> out(static_cast<size_t>(head + 4096) * 2);
    for (int64_t done = 0; done < head + 4096; done += 256)
        output->render(out.data() + done * 2, 256);
    EXPECT_EQ(out[(head - 1) * 2], testing::staircase(head - 1, 0));
    EXPECT_EQ(out[(head + 1000) * 2], 0.0f);
    EXPECT_GE(rig.engine.dryPeriods(), 1u);
    EXPECT_GE(rig.engine.underruns(std::nullopt), rig.engine.dryPeriods());
    EXPECT_EQ(rig.engine.underruns("Cue"), 0u);  // never opened
    EXPECT_TRUE(rig.engine.sounding(voice));

    gGate = INT64_MAX;
    const int64_t position = rig.engine.position(voice);
    EngineRig::settle(*sound);
    // Caught up: sounding again, in time with where it would have been.
    EXPECT_EQ(output->render(1024)[1000 * 2], testing::staircase(position + 1000, 0));
}

TEST(Engine, ReadAheadRidesOutADiskThatStallsFor200Milliseconds) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer decoding is far slower than real time";
#endif
    SlowDiskRig rig(INT64_MAX, true);
    auto a = rig.wav("a.wav", 44100 * 20, testing::programme);
    auto b = rig.wav("b.wav", 44100 * 20, testing::programme);
    // From a full read-ahead, as a slot loaded a moment before it is fired:
    // what is tested is the stalls later on, not how fast a loaded machine
    // decodes the first seconds.
    ASSERT_TRUE(testing::waitUntil([&] { return rig.engine.readAheadFilled(); }, 20s));
    rig.start(a, std::nullopt, 0.5f);
    rig.start(b, std::nullopt, 0.5f);
    // Four seconds in real time, as a device would pull.
    playInRealTime(*rig.backend->output(std::nullopt), 44100 * 4);
    // Only dry periods count: a test thread that the machine wakes late is
    // not what this is about.
    EXPECT_EQ(rig.engine.dryPeriods(), 0u);
}

// A slot fired while the palette's other sounds are still being read ahead,
// on a disk that gives 1024 frames each 3 ms (eight times real time): the
// sounding one is read first, the idle ones after, so it never runs dry.
TEST(Engine, ASoundFiredWhileIdleOnesAreStillReadAheadIsReadFirst) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer decoding is far slower than real time";
#endif
    SlowDiskRig rig(Sound::kHeadChunks * Sound::kChunkFrames, false);  // heads only, at first
    std::vector<std::shared_ptr<Sound>> sounds;
    {
        const AudioEngine::LoadBatch batch(rig.engine);
        for (int i = 0; i < 9; ++i) {
            sounds.push_back(
                rig.wav("s" + std::to_string(i) + ".wav", 44100 * 20, testing::programme));
        }
    }
    int64_t chunk = 0, urgency = 0;
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            return gHeldReads > 0 && std::all_of(sounds.begin(), sounds.end(), [&](auto& sound) {
                       return !sound->nextMissingChunk(chunk, urgency) || chunk != Sound::kHeadRest;
                   });
        },
        10s))
        << "every head is read before the read-ahead past it";
    // Eight idle rings of 4.5 s take about 4.6 s to read: longer than a head.
    gReadDelay = 3ms;
    rig.start(sounds.back());
    gGate = INT64_MAX;
    playInRealTime(*rig.backend->output(std::nullopt), 44100 * 3);
    EXPECT_EQ(rig.engine.dryPeriods(), 0u);
    EXPECT_FALSE(rig.engine.readAheadFilled());  // the idle ones were still waiting
}

// A seek whose new place is in memory but whose next chunk is not yet: it
// stays silent until there is enough ahead, instead of sounding a few frames
// and running dry; and it never waits for data past the end.
TEST(Engine, ASeekWaitsForEnoughDataAheadAndNeverRunsDry) {
    constexpr int64_t kChunk = Sound::kChunkFrames;
    constexpr int64_t kFrames = kChunk * (Sound::kHeadChunks + 70);
    struct Case {
        const char* where;
        int64_t from;    // where the voice plays before the seek
        int64_t target;  // where it seeks to
    };
    const Case cases[] = {
        {"just before a chunk boundary, past the read-ahead", 0, kChunk * 50 - 100},
        {"just before the head's end, the ring far ahead", kChunk * 50,
         kChunk * Sound::kHeadChunks - 100},
        {"just before the end of the file", 0, kFrames - 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        SlowDiskRig rig(INT64_MAX, false);
        auto sound = rig.wav("a.wav", kFrames);
        const int voice = rig.start(sound);
        NullOutput* output = rig.backend->output(std::nullopt);
        if (c.from > 0) {
            rig.render(256);
            rig.engine.seek(voice, c.from);
        }
        rig.render(256 * 2);

        // Nothing past the boundary after the target comes in until the gate opens.
        gGate = (c.target / kChunk + 1) * kChunk;
        gHeldReads = 0;
        rig.engine.seek(voice, c.target);
        output->render(256);  // the seek is applied
        if (c.target / kChunk + 1 < kFrames / kChunk) {
            ASSERT_TRUE(testing::waitUntil([] { return gHeldReads > 0; }, 10s));
            for (int period = 0; period < 40; ++period) output->render(256);
            EXPECT_EQ(rig.engine.dryPeriods(), 0u);
            EXPECT_GT(rig.engine.seekWaitPeriods(), 0u);
            EXPECT_EQ(rig.engine.position(voice), c.target);  // silent, and not moving on
            gGate = INT64_MAX;
            const std::vector<float> resumed = rig.render(1024);
            // From the very place sought, faded in over the first frames.
            EXPECT_EQ(resumed[400 * 2], testing::staircase(c.target + 400, 0));
            EXPECT_EQ(resumed[1000 * 2], testing::staircase(c.target + 1000, 0));
        } else {
            const std::vector<float> out = rig.render(1024);
            // The last frames sound, fading in, and the playback ends.
            EXPECT_GT(out[99 * 2], 0.0f);
            EXPECT_EQ(out[100 * 2], 0.0f);
            EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
        }
        EXPECT_EQ(rig.engine.dryPeriods(), 0u);
    }
}

// Loading a palette: the worker leaves the new sounds alone until the batch
// closes, but a start within it never waits for the end of the batch.
TEST(Engine, SoundsLoadedInABatchAreReadAheadOnceItClosesOrOnceOneStarts) {
    EngineRig rig;
    const int64_t frames = Sound::kChunkFrames * (Sound::kHeadChunks + 4);
    std::shared_ptr<Sound> waits;
    {
        const AudioEngine::LoadBatch batch(rig.engine);
        waits = rig.wav("a.wav", frames);
        EXPECT_EQ(rig.engine.liveSounds(), 1u);
        std::this_thread::sleep_for(50ms);
        int64_t chunk = 0, urgency = 0;
        EXPECT_TRUE(waits->nextMissingChunk(chunk, urgency));  // held back: nothing read yet
        EXPECT_FALSE(rig.engine.readAheadFilled());
    }
    EngineRig::settle(*waits);

    const AudioEngine::LoadBatch batch(rig.engine);
    auto starts = rig.wav("b.wav", frames);
    rig.start(starts);
    EngineRig::settle(*starts);
    EXPECT_TRUE(rig.engine.readAheadFilled());
}

TEST(Engine, LongFilesStreamInBoundedMemoryAndAreFreedOnceLetGo) {
    EngineRig rig;
    const int64_t longFrames = 44100 * 60 * 3;  // three minutes
    auto sound = rig.wav("long.wav", longFrames, [](int64_t, int) { return 0.1f; });
    auto shortSound = rig.wav("short.wav", 1000);
    // Three minutes decoded would be 63.5 MB; a streamed file keeps its head
    // and a ring of read-ahead, under 3 MB.
    EXPECT_LE(sound->sampleBytes(), size_t{3} << 20);
    EXPECT_LT(shortSound->sampleBytes(), 1000 * 2 * sizeof(float) + 1);

    const int voice = rig.start(sound);
    rig.engine.seek(voice, longFrames - 5000);  // straight to the end
    const std::vector<float> out = rig.render(256 * 24);
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
    EXPECT_EQ(out[(256 * 2 + 500) * 2], 3277 / 32768.0f);

    EXPECT_EQ(rig.engine.liveSounds(), 2u);
    sound.reset();
    shortSound.reset();
    // Ended and let go: freed, file closed.
    EXPECT_TRUE(testing::waitUntil([&] { return rig.engine.liveSounds() == 0; }, 5s));
}

TEST(Engine, ADeviceOpensOnFirstUseIsSharedByItsVoicesAndIsToldSilentWellAfterTheLast) {
    EngineRig rig;
    auto sound = rig.wav("a.wav", 44100);
    EXPECT_EQ(rig.backend->output("Cue"), nullptr);
    const int a = rig.start(sound, "Cue");
    const int b = rig.start(sound, "Cue");
    const std::vector<float> out = rig.render(100, "Cue");
    EXPECT_FLOAT_EQ(out[50 * 2], 2 * testing::staircase(50, 0));  // both voices, one device
    EXPECT_EQ(rig.backend->output(std::nullopt), nullptr);        // the default was never opened

    NullOutput* cue = rig.backend->output("Cue");
    ASSERT_NE(cue, nullptr);
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    rig.engine.pump(now);
    EXPECT_EQ(cue->silent(), false);
    rig.engine.stop(a);
    rig.engine.pump(now += 500ms);
    EXPECT_EQ(cue->silent(), false);  // b still sounds
    rig.engine.stop(b);
    rig.engine.pump(now += 100ms);
    EXPECT_EQ(cue->silent(), false);  // its fade may still be heard
    rig.engine.pump(now += 150ms);
    EXPECT_EQ(cue->silent(), true);
    ASSERT_TRUE(rig.engine.play(a, sound, "Cue", 1.0f));
    rig.engine.pump(now += 5ms);
    EXPECT_EQ(cue->silent(), false);
}

}  // namespace
}  // namespace tambrel::audio
