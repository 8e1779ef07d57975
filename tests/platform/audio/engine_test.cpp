// The engine as the window's thread drives it: ends of playback, devices
// opened on demand and lost, read-ahead that runs dry, memory and freeing.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/audio/mixer.h"
#include "tests/platform/audio/engine_rig.h"

namespace tambrel::audio {
namespace {

TEST(Engine, EndOfFileIsReportedOnceAndAStartBeginsAgainAtZero) {
    EngineRig rig;
    auto sound = rig.wav("short.wav", 1000);
    const int voice = rig.engine.createVoice();
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    EXPECT_TRUE(rig.engine.sounding(voice));
    EXPECT_TRUE(rig.engine.pump().empty());
    rig.render(512);
    EXPECT_EQ(rig.engine.position(voice), 512);
    rig.render(1024);
    EXPECT_FALSE(rig.engine.sounding(voice));
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
    EXPECT_TRUE(rig.engine.pump().empty());
    EXPECT_FALSE(rig.engine.stop(voice));

    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    const std::vector<float> out = rig.render(256);
    EXPECT_EQ(out[10 * 2], testing::staircase(10, 0));
}

TEST(Engine, ARepeatingVoiceGoesOnFromTheStartWithoutAGapOrAnEnd) {
    EngineRig rig;
    auto sound = rig.wav("short.wav", 100);  // shorter than one period
    const int voice = rig.engine.createVoice();
    rig.engine.setRepeat(voice, true);
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    const std::vector<float> out = rig.render(1000);
    for (int64_t f = 0; f < 1000; ++f) ASSERT_EQ(out[f * 2], testing::staircase(f % 100, 0)) << f;
    EXPECT_TRUE(rig.engine.sounding(voice));
    EXPECT_TRUE(rig.engine.pump().empty());
    rig.engine.setRepeat(voice, false);  // off while sounding: ends at the next end
    rig.render(256);
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
}

TEST(Engine, UnplayableSoundOrMissingDeviceStartsNothing) {
    EngineRig rig;
    const int voice = rig.engine.createVoice();
    auto broken = rig.engine.load(rig.dir.file("nothing-here.mp3"));
    EXPECT_FALSE(rig.engine.play(voice, broken, std::nullopt, 1.0f));
    EXPECT_FALSE(rig.engine.play(voice, nullptr, std::nullopt, 1.0f));
    auto sound = rig.wav("a.wav", 1000);
    EXPECT_FALSE(rig.engine.play(voice, sound, std::string("No such card"), 1.0f));
    EXPECT_FALSE(rig.engine.sounding(voice));
    EXPECT_TRUE(rig.engine.pump().empty());
}

TEST(Engine, DevicesOpenOnFirstUseAndAreSharedByTheirVoices) {
    EngineRig rig;
    EXPECT_EQ(rig.engine.deviceNames(), (std::vector<std::string>{"Studio", "Cue"}));
    auto sound = rig.wav("a.wav", 5000);
    const int a = rig.engine.createVoice();
    const int b = rig.engine.createVoice();
    EXPECT_EQ(rig.backend->output("Cue"), nullptr);
    ASSERT_TRUE(rig.engine.play(a, sound, std::string("Cue"), 1.0f));
    ASSERT_TRUE(rig.engine.play(b, sound, std::string("Cue"), 1.0f));
    const std::vector<float> cue = rig.render(100, std::string("Cue"));
    EXPECT_FLOAT_EQ(cue[50 * 2], 2 * testing::staircase(50, 0));  // both voices, one device
    EXPECT_EQ(rig.backend->output(std::nullopt), nullptr);        // the default was never opened
}

TEST(Engine, LostDeviceEndsItsPlaybacksAndIsReopenedByNameWhenBack) {
    EngineRig rig;
    auto sound = rig.wav("a.wav", 50000);
    const int onCue = rig.engine.createVoice();
    const int onStudio = rig.engine.createVoice();
    ASSERT_TRUE(rig.engine.play(onCue, sound, std::string("Cue"), 1.0f));
    ASSERT_TRUE(rig.engine.play(onStudio, sound, std::string("Studio"), 1.0f));
    rig.render(256, std::string("Cue"));

    rig.backend->unplug("Cue");
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{onCue});
    EXPECT_FALSE(rig.engine.sounding(onCue));
    EXPECT_TRUE(rig.engine.sounding(onStudio));  // other devices play on
    EXPECT_FALSE(rig.engine.play(onCue, sound, std::string("Cue"), 1.0f));
    EXPECT_TRUE(rig.engine.pump().empty());

    rig.backend->plugIn("Cue");
    ASSERT_TRUE(rig.engine.play(onCue, sound, std::string("Cue"), 1.0f));
    const std::vector<float> out = rig.render(256, std::string("Cue"));
    EXPECT_EQ(out[5 * 2], testing::staircase(5, 0));
}

TEST(Engine, DeviceChangesAreToldOnceEachAndTheNewListFollows) {
    EngineRig rig;
    EXPECT_TRUE(rig.engine.devicesMayHaveChanged());  // the first list is news
    EXPECT_FALSE(rig.engine.devicesMayHaveChanged());

    rig.backend->addDevice("Casque");  // a USB headset, plugged in while running
    EXPECT_TRUE(rig.engine.devicesMayHaveChanged());
    EXPECT_FALSE(rig.engine.devicesMayHaveChanged());
    EXPECT_EQ(rig.engine.deviceNames(), (std::vector<std::string>{"Studio", "Cue", "Casque"}));
    auto sound = rig.wav("a.wav", 1000);
    EXPECT_TRUE(rig.engine.play(rig.engine.createVoice(), sound, std::string("Casque"), 1.0f));

    rig.backend->unplug("Cue");
    EXPECT_TRUE(rig.engine.devicesMayHaveChanged());
    EXPECT_FALSE(rig.engine.devicesMayHaveChanged());
    EXPECT_EQ(rig.engine.deviceNames(), (std::vector<std::string>{"Studio", "Casque"}));
    rig.backend->plugIn("Cue");
    EXPECT_TRUE(rig.engine.devicesMayHaveChanged());
    EXPECT_EQ(rig.engine.deviceNames(), (std::vector<std::string>{"Studio", "Cue", "Casque"}));
}

// A file source that passes everything on to a real one; the sources below
// change how it reads.
class ForwardingSource : public AudioSource {
  public:
    explicit ForwardingSource(std::unique_ptr<AudioSource> inner) : inner_(std::move(inner)) {}
    int channels() const override { return inner_->channels(); }
    int sampleRate() const override { return inner_->sampleRate(); }
    int64_t frames() const override { return inner_->frames(); }
    int64_t read(float* out, int64_t count) override { return inner_->read(out, count); }
    bool seek(int64_t frame) override { return inner_->seek(frame); }

  private:
    std::unique_ptr<AudioSource> inner_;
};

template <typename Source>
OpenResult openThrough(const std::string& path) {
    OpenResult result = openSndfile(path);
    if (result.source) result.source = std::make_unique<Source>(std::move(result.source));
    return result;
}

// Reads past the head block until the test lets them go: the disk has stalled.
std::atomic<bool> gStalled{false};
std::atomic<int> gBlockedReads{0};
class StallingSource final : public ForwardingSource {
  public:
    using ForwardingSource::ForwardingSource;
    int64_t read(float* out, int64_t count) override {
        if (read_ >= Sound::kHeadChunks * Sound::kChunkFrames) {
            ++gBlockedReads;
            // Let go at the latest when the test would time out anyway.
            testing::waitUntil([] { return !gStalled; }, std::chrono::seconds(60),
                               std::chrono::milliseconds(1));
        }
        const int64_t got = ForwardingSource::read(out, count);
        read_ += got;
        return got;
    }
    bool seek(int64_t frame) override {
        read_ = frame;
        return ForwardingSource::seek(frame);
    }

  private:
    int64_t read_ = 0;
};
TEST(Engine, DryReadAheadPlaysSilenceCountsItAndCatchesUp) {
    gStalled = true;
    gBlockedReads = 0;
    NullBackend* backend = new NullBackend({});
    AudioEngine::Options options;
    options.opener = openThrough<StallingSource>;
    AudioEngine engine(std::unique_ptr<OutputBackend>(backend), options);
    testing::TempDir dir;
    const int64_t frames = Sound::kChunkFrames * (Sound::kHeadChunks + 4);
    ASSERT_TRUE(testing::writeAudio(dir.file("a.wav"), testing::FileKind::Wav16, 44100, 2, frames,
                                    testing::staircase));
    auto sound = engine.load(dir.file("a.wav"));
    const int voice = engine.createVoice();
    ASSERT_TRUE(engine.play(voice, sound, std::nullopt, 1.0f));
    NullOutput* output = backend->output(std::nullopt);
    ASSERT_TRUE(testing::waitUntil([] { return gBlockedReads > 0; }, std::chrono::seconds(10)));

    // Through the head and beyond, while the worker is stuck in a read: the
    // mixer never waits for it.
    const int64_t head = Sound::kHeadChunks * Sound::kChunkFrames;
    std::vector<float> out(static_cast<size_t>(head + 4096) * 2);
    for (int64_t done = 0; done < head + 4096; done += 256)
        output->render(out.data() + done * 2, 256);
    EXPECT_EQ(out[(head - 1) * 2], testing::staircase(head - 1, 0));
    EXPECT_EQ(out[(head + 1000) * 2], 0.0f);
    EXPECT_GE(engine.dryPeriods(), 1u);
    EXPECT_GE(engine.underruns(std::nullopt), engine.dryPeriods());
    EXPECT_EQ(engine.underruns(std::string("Cue")), 0u);  // never opened
    EXPECT_TRUE(engine.sounding(voice));

    gStalled = false;
    const int64_t position = engine.position(voice);
    EngineRig::settle(*sound);
    const std::vector<float> later = output->render(1024);
    // Caught up: sounding again, in time with where it would have been.
    EXPECT_EQ(later[1000 * 2], testing::staircase(position + 1000, 0));
}

// Every 50th read stalls for 200 ms, as a busy disk or a network share does.
class SlowSource final : public ForwardingSource {
  public:
    using ForwardingSource::ForwardingSource;
    int64_t read(float* out, int64_t count) override {
        if (++reads_ % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return ForwardingSource::read(out, count);
    }

  private:
    int reads_ = 0;
};

TEST(Engine, ReadAheadRidesOutADiskThatStallsFor200Milliseconds) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer decoding is far slower than real time";
#endif
    NullBackend* backend = new NullBackend({});
    AudioEngine::Options options;
    options.opener = openThrough<SlowSource>;
    AudioEngine engine(std::unique_ptr<OutputBackend>(backend), options);
    testing::TempDir dir;
    std::vector<std::shared_ptr<Sound>> sounds;
    for (const char* name : {"a.wav", "b.wav"}) {
        ASSERT_TRUE(testing::writeAudio(dir.file(name), testing::FileKind::Wav16, 44100, 2,
                                        44100 * 20, testing::programme));
        sounds.push_back(engine.load(dir.file(name)));
    }
    // From a full read-ahead, as a slot loaded a moment before it is fired:
    // what is tested is the stalls later on, not how fast a loaded machine
    // decodes the first seconds.
    testing::waitUntil([&] { return engine.readAheadFilled(); }, std::chrono::seconds(20));
    ASSERT_TRUE(engine.readAheadFilled());
    for (const auto& sound : sounds) {
        const int voice = engine.createVoice();
        ASSERT_TRUE(engine.play(voice, sound, std::nullopt, 0.5f));
    }
    // Four seconds in real time, period by period, as a device would pull.
    NullOutput* output = backend->output(std::nullopt);
    std::vector<float> period(256 * 2);
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 44100 * 4 / 256; ++n) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(int64_t{n} * 256 * 1000000 / 44100));
        output->render(period.data(), 256);
    }
    // Only dry periods count: a test thread that the machine wakes late is
    // not what this is about.
    EXPECT_EQ(engine.dryPeriods(), 0u);
}

// Reads at or past gGate wait until the test moves it: the disk is slow just
// past the place a seek lands on.
std::atomic<int64_t> gGate{INT64_MAX};
std::atomic<int> gHeldReads{0};
class GatedSource final : public ForwardingSource {
  public:
    using ForwardingSource::ForwardingSource;
    int64_t read(float* out, int64_t count) override {
        if (at_ >= gGate) {
            ++gHeldReads;
            const int64_t at = at_;
            testing::waitUntil([at] { return at < gGate; }, std::chrono::seconds(60),
                               std::chrono::milliseconds(1));
        }
        const int64_t got = ForwardingSource::read(out, count);
        at_ += got;
        return got;
    }
    bool seek(int64_t frame) override {
        at_ = frame;
        return ForwardingSource::seek(frame);
    }

  private:
    int64_t at_ = 0;
};

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
        gGate = INT64_MAX;
        NullBackend* backend = new NullBackend({});
        AudioEngine::Options options;
        options.opener = openThrough<GatedSource>;
        AudioEngine engine(std::unique_ptr<OutputBackend>(backend), options);
        testing::TempDir dir;
        ASSERT_TRUE(testing::writeAudio(dir.file("a.wav"), testing::FileKind::Wav16, 44100, 2,
                                        kFrames, testing::staircase));
        auto sound = engine.load(dir.file("a.wav"));
        const int voice = engine.createVoice();
        ASSERT_TRUE(engine.play(voice, sound, std::nullopt, 1.0f));
        NullOutput* output = backend->output(std::nullopt);
        if (c.from > 0) {
            testing::renderWhenFilled(engine, *output, 256);
            engine.seek(voice, c.from);
        }
        testing::renderWhenFilled(engine, *output, 256 * 2);

        // Nothing past the boundary after the target comes in until the gate opens.
        gGate = (c.target / kChunk + 1) * kChunk;
        gHeldReads = 0;
        engine.seek(voice, c.target);
        output->render(256);  // the seek is applied
        if (c.target / kChunk + 1 < kFrames / kChunk) {
            ASSERT_TRUE(
                testing::waitUntil([] { return gHeldReads > 0; }, std::chrono::seconds(10)));
            for (int period = 0; period < 40; ++period) output->render(256);
            EXPECT_EQ(engine.dryPeriods(), 0u);
            EXPECT_GT(engine.seekWaitPeriods(), 0u);
            EXPECT_EQ(engine.position(voice), c.target);  // silent, and not moving on
            gGate = INT64_MAX;
            const std::vector<float> resumed = testing::renderWhenFilled(engine, *output, 1024);
            // From the very place sought, faded in over the first frames.
            EXPECT_EQ(resumed[400 * 2], testing::staircase(c.target + 400, 0));
            EXPECT_EQ(resumed[1000 * 2], testing::staircase(c.target + 1000, 0));
        } else {
            const std::vector<float> out = testing::renderWhenFilled(engine, *output, 1024);
            // The last frames sound, fading in, and the playback ends.
            EXPECT_GT(out[99 * 2], 0.0f);
            EXPECT_EQ(out[100 * 2], 0.0f);
            EXPECT_EQ(engine.pump(), std::vector<int>{voice});
        }
        EXPECT_EQ(engine.dryPeriods(), 0u);
        gGate = INT64_MAX;
    }
}

// Loading a palette: the worker leaves the new sounds alone until the batch
// closes, but a start within it never waits for the end of the batch.
TEST(Engine, SoundsLoadedInABatchAreReadAheadOnceItClosesOrOnceOneStarts) {
    EngineRig rig;
    const int64_t frames = Sound::kChunkFrames * (Sound::kHeadChunks + 4);
    int64_t chunk = 0, urgency = 0;
    std::shared_ptr<Sound> waits;
    {
        const AudioEngine::LoadBatch batch(rig.engine);
        waits = rig.wav("a.wav", frames);
        EXPECT_EQ(rig.engine.liveSounds(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(waits->nextMissingChunk(chunk, urgency));  // held back: nothing read yet
        EXPECT_FALSE(rig.engine.readAheadFilled());
    }
    EngineRig::settle(*waits);

    const AudioEngine::LoadBatch batch(rig.engine);
    auto starts = rig.wav("b.wav", frames);
    ASSERT_TRUE(rig.engine.play(rig.engine.createVoice(), starts, std::nullopt, 1.0f));
    EngineRig::settle(*starts);
    EXPECT_TRUE(rig.engine.readAheadFilled());
}

TEST(Engine, LongFilesStreamInBoundedMemoryAndAreFreedOnceLetGo) {
    EngineRig rig;
    const int64_t longFrames = 44100 * 60 * 3;  // three minutes
    const std::string path = rig.dir.file("long.wav");
    ASSERT_TRUE(testing::writeAudio(path, testing::FileKind::Wav16, 44100, 2, longFrames,
                                    [](int64_t, int) { return 0.1f; }));
    auto sound = rig.engine.load(path);
    auto shortSound = rig.wav("short.wav", 1000);
    // Three minutes decoded would be 63.5 MB; a streamed file keeps its head
    // and a ring of read-ahead, under 3 MB.
    EXPECT_LE(sound->sampleBytes(), size_t{3} << 20);
    EXPECT_LT(shortSound->sampleBytes(), 1000 * 2 * sizeof(float) + 1);

    const int voice = rig.engine.createVoice();
    ASSERT_TRUE(rig.engine.play(voice, sound, std::nullopt, 1.0f));
    rig.engine.seek(voice, longFrames - 5000);  // straight to the end
    const std::vector<float> out = rig.render(256 * 24);
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{voice});
    EXPECT_EQ(out[(256 * 2 + 500) * 2], 3277 / 32768.0f);

    EXPECT_EQ(rig.engine.liveSounds(), 2u);
    sound.reset();
    shortSound.reset();
    testing::waitUntil([&] { return rig.engine.liveSounds() == 0; }, std::chrono::seconds(5));
    EXPECT_EQ(rig.engine.liveSounds(), 0u);  // ended and let go: freed, file closed
}

TEST(Engine, ADeviceIsToldSilentOnlyWellAfterItsLastVoiceStopped) {
    EngineRig rig;
    auto sound = rig.wav("a.wav", 44100);
    const int a = rig.engine.createVoice();
    const int b = rig.engine.createVoice();
    ASSERT_TRUE(rig.engine.play(a, sound, std::string("Cue"), 1.0f));
    ASSERT_TRUE(rig.engine.play(b, sound, std::string("Cue"), 1.0f));
    NullOutput* cue = rig.backend->output(std::string("Cue"));
    ASSERT_NE(cue, nullptr);
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    using std::chrono::milliseconds;
    rig.engine.pump(now);
    EXPECT_EQ(cue->silent(), false);
    rig.engine.stop(a);
    rig.engine.pump(now += milliseconds(500));
    EXPECT_EQ(cue->silent(), false);  // b still sounds
    rig.engine.stop(b);
    rig.engine.pump(now += milliseconds(100));
    EXPECT_EQ(cue->silent(), false);  // its fade may still be heard
    rig.engine.pump(now += milliseconds(150));
    EXPECT_EQ(cue->silent(), true);
    ASSERT_TRUE(rig.engine.play(a, sound, std::string("Cue"), 1.0f));
    rig.engine.pump(now += milliseconds(5));
    EXPECT_EQ(cue->silent(), false);
}

}  // namespace
}  // namespace tambrel::audio
