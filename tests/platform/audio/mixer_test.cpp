// What the mixed output holds: exact samples, sums, gains, fades and the
// limiter, rendered through the real engine on a null output; and a mix
// queued ahead, rolled back and mixed again from any step of it.

#include <gtest/gtest.h>
#include <soxr.h>

#include <cmath>
#include <random>

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

TEST(Mixing, FadeOutFallsSmoothlyToSilenceThenEndsAndAStopDuringItCutsAtOnce) {
    EngineRig rig;
    const int faded = rig.start(rig.wav("dc.wav", 441000, constant));
    const int cut = rig.start(rig.wav("sine.wav", 441000, loudSine), "Cue");
    rig.render(256);
    rig.render(256, "Cue");
    ASSERT_TRUE(rig.engine.fadeOut(faded, 100));  // 4410 frames
    ASSERT_TRUE(rig.engine.fadeOut(cut, 1000));
    const std::vector<float> out = rig.render(4410 + 256);
    // Each frame a little lower than the last, never by more than the
    // fade's own pace: no step anywhere, and silence at the end.
    float previous = 0.5f;
    for (int f = 0; f < 4410 + 256; ++f) {
        ASSERT_LE(out[f * 2], previous) << f;
        ASSERT_LE(previous - out[f * 2], 0.5f / 4410 + 1e-6f) << f;
        previous = out[f * 2];
    }
    EXPECT_EQ(previous, 0.0f);
    EXPECT_GT(out[2205 * 2], 0.2f);  // half way, half the level: a fade, not a cut
    EXPECT_FALSE(rig.engine.sounding(faded));
    EXPECT_EQ(rig.engine.pump(), std::vector<int>{faded});

    // Half way down its second, the other is cut: silent after the stop's
    // own few milliseconds, within one period of 256 frames.
    const std::vector<float> half = rig.render(22050, "Cue");
    EXPECT_GT(std::fabs(half[22049 * 2]), 0.0f);
    EXPECT_TRUE(rig.engine.sounding(cut));
    EXPECT_TRUE(rig.engine.stop(cut));
    const std::vector<float> after = rig.render(512, "Cue");
    EXPECT_TRUE(framesAre(after, Mixer::kFadeFrames, 512, [](int64_t, int) { return 0.0f; }));
    EXPECT_FALSE(rig.engine.fadeOut(cut, 1000));  // silent: nothing to fade

    // Fired again after that cut, it plays at its own level, not the fade's.
    ASSERT_TRUE(rig.engine.play(cut, rig.wav("dc2.wav", 44100, constant), "Cue", 1.0f));
    EXPECT_TRUE(framesAre(rig.render(512, "Cue"), 0, 512, constant));
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

// The true peak of interleaved stereo, read eight times finer by a
// resampler of its own, nothing of the mixer's.
float truePeak(const std::vector<float>& stereo) {
    const size_t frames = stereo.size() / 2;
    std::vector<float> fine(frames * 8 * 2 + 1024);
    size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    EXPECT_EQ(soxr_oneshot(44100, 44100 * 8, 2, stereo.data(), frames, nullptr, fine.data(),
                           fine.size() / 2, &done, &io, &quality, nullptr),
              nullptr);
    float peak = 0.0f;
    for (size_t i = 0; i < done * 2; ++i) peak = std::max(peak, std::fabs(fine[i]));
    return peak;
}

TEST(Mixing, LoudTonesSumUnderMinusOneDecibelTruePeakAndAToneUnderItPassesUntouched) {
    EngineRig rig;
    const auto tone = [&](double hz) {
        const std::string path = rig.dir.file(std::to_string(hz) + ".wav");
        EXPECT_TRUE(testing::writeAudio(
            path, testing::FileKind::Wav16, 44100, 2, 44100, [hz](int64_t f, int) {
                return static_cast<float>(std::sin(2 * M_PI * hz * f / 44100));
            }));
        auto sound = rig.engine.load(path);
        EngineRig::settle(*sound);  // all read, for the test to read it too
        return sound;
    };
    // Full scale each, at frequencies whose sum peaks between samples.
    std::vector<int> voices;
    std::vector<float> sum(22050 * 2);
    std::vector<float> part(sum.size());
    for (double hz : {997.0, 3000.0, 7000.0, 11025.0 * 0.9}) {
        const auto sound = tone(hz);
        ASSERT_EQ(sound->read(0, part.data(), 22050), 22050);
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += part[i];
        voices.push_back(rig.start(sound));
    }
    std::vector<float> out = rig.render(22050);
    // The gain holds between peaks and lets go slowly: it never rises
    // faster than the 100 ms release, so the tones' cycles never pump it.
    float held = 1.0f;
    for (size_t f = 0, at = 0; f < 22050; ++f) {
        if (std::fabs(sum[f * 2]) < 0.5f) continue;
        const float gain = out[f * 2] / sum[f * 2];
        ASSERT_LE(gain, held * std::exp(static_cast<float>(f - at) / 4410.0f) + 1e-5f) << f;
        held = gain;
        at = f;
    }
    for (int v : voices) rig.engine.stop(v);
    const std::vector<float> faded = rig.render(1024);  // the stops fade: nothing cut short
    out.insert(out.end(), faded.begin(), faded.end());
    const float decibels = 20.0f * std::log10(truePeak(out));
    EXPECT_LE(decibels, -1.0f + 0.05f);  // what the measure may misread
    EXPECT_GT(decibels, -1.5f);          // turned down to the ceiling, not to a whisper

    // Once the limiter has let go, a tone at 0.85 (-1.4 dBTP) comes out as
    // its samples times its gain, sample for sample.
    rig.render(22050);
    const auto quiet = tone(11025.0 * 0.9);
    std::vector<float> in(4096 * 2);
    ASSERT_EQ(quiet->read(0, in.data(), 4096), 4096);
    rig.start(quiet, std::nullopt, 0.85f);
    EXPECT_TRUE(framesAre(rig.render(4096), 0, 4096, [&](int64_t f, int c) {
        return in[static_cast<size_t>(f * 2 + c)] * 0.85f;
    }));
}

// A device sent the mix ahead: what reached it, each write from where the
// mixer goes on, overwriting the forecast there.
struct AheadDevice {
    explicit AheadDevice(Mixer& m, bool keeps = true) : mixer(m) {
        if (keeps) mixer.keepHistory(kAhead);
    }
    static constexpr int kAhead = 8192;
    void mixTo(int64_t end) {
        while (mixer.mixedFrames() < end) {
            const int64_t at = mixer.mixedFrames();
            const int n = static_cast<int>(std::min<int64_t>(end - at, 300));
            heard.resize(static_cast<size_t>(std::max<int64_t>(at + n, size())) * 2);
            mixer.mixAhead(heard.data() + at * 2, n);
        }
    }
    int64_t size() const { return static_cast<int64_t>(heard.size() / 2); }
    float at(int64_t frame) const { return heard[static_cast<size_t>(frame) * 2]; }
    void send(MixerCommand::Type type, uint16_t voice, Sound* sound = nullptr, float value = 1.0f) {
        MixerCommand command{.type = type, .voice = voice, .seq = ++seq, .gain = value};
        command.frame = static_cast<int64_t>(value * 1000);
        command.repeat = value > 0.5f;
        if (type == MixerCommand::Type::Play) {
            command.sound = sound;
            sound->audioRefs.fetch_add(1);
        }
        ASSERT_TRUE(mixer.send(command));
    }
    Mixer& mixer;
    std::vector<float> heard;
    uint32_t seq = 0;
};

struct AheadSounds {
    testing::TempDir dir;
    std::shared_ptr<Sound> load(const std::string& name, int64_t frames,
                                const std::function<float(int64_t, int)>& sample) {
        EXPECT_TRUE(testing::writeAudio(dir.file(name), testing::FileKind::Wav16, 44100, 2, frames,
                                        sample));
        return Sound::load(dir.file(name), 44100);  // short: all in memory at once
    }
    std::shared_ptr<Sound> stairs = load("stairs.wav", 5000, testing::staircase);
    std::shared_ptr<Sound> tone = load("tone.wav", 3001, [](int64_t f, int) {
        return 0.9f * static_cast<float>(std::sin(static_cast<double>(f) * 0.01));
    });
    std::shared_ptr<Sound> blip = load("blip.wav", 7000, constant);
};

TEST(MixingAhead, RollingBackToRandomFramesMixesWhatDidNotChangeSampleForSample) {
    using Type = MixerCommand::Type;
    AheadSounds sounds;
    Mixer aheadMixer(44100);
    Mixer straightMixer(44100);
    AheadDevice ahead(aheadMixer);
    AheadDevice straight(straightMixer, false);
    for (AheadDevice* device : {&ahead, &straight}) {
        device->send(Type::Play, 0, sounds.stairs.get(), 1.0f);  // repeats
        device->send(Type::Play, 1, sounds.tone.get(), 0.75f);
        device->send(Type::Gain, 1, nullptr, 1.0f);  // over the limiter's ceiling at each crest
        device->mixer.rollBack(0, 0);
    }
    // The device takes on; the forecast stays well ahead of it, and each
    // round a change to voice 2, or none, is mixed in from a random step.
    // The same changes mixed straight through, at the frames the roll-backs
    // chose, give the same samples.
    std::mt19937 random(20240611);
    int64_t read = 0;
    const Type changes[] = {Type::Play, Type::Stop,   Type::Gain,
                            Type::Seek, Type::Repeat, Type::Fade};
    for (int round = 0; round < 300; ++round) {
        read += static_cast<int64_t>(random() % 400);
        ahead.mixTo(read + AheadDevice::kAhead);
        aheadMixer.played(read);
        const int64_t asked = read + static_cast<int64_t>(random() % 3000) + 100;
        const bool change = random() % 4 != 0;
        const Type type = changes[random() % std::size(changes)];
        const float value = static_cast<float>(random() % 100) / 100.0f;
        if (change) ahead.send(type, 2, sounds.blip.get(), value);
        const int64_t from = aheadMixer.rollBack(asked, 0);
        ASSERT_GE(from, asked);
        straight.mixTo(from);
        if (change) straight.send(type, 2, sounds.blip.get(), value);
        ASSERT_EQ(straightMixer.rollBack(from, 0), from);  // the end of its mix: nothing undone
        straightMixer.played(from);
    }
    for (uint16_t voice = 0; voice < 3; ++voice) {
        ahead.send(Type::Stop, voice);
        straight.send(Type::Stop, voice);
    }
    const int64_t end = ahead.size();
    for (AheadDevice* device : {&ahead, &straight}) {
        device->mixTo(end);
        device->mixer.rollBack(end, 0);
        device->mixTo(end + Mixer::kFadeFrames);
    }
    ASSERT_EQ(ahead.size(), straight.size());
    const auto [differ, _] =
        std::mismatch(ahead.heard.begin(), ahead.heard.end(), straight.heard.begin());
    EXPECT_EQ(differ, ahead.heard.end())
        << "frame " << (differ - ahead.heard.begin()) / 2 << " of " << ahead.size();
    // Every sound given back once played past, whatever was mixed again.
    aheadMixer.played(ahead.size());
    straightMixer.played(straight.size());
    for (const auto& sound : {sounds.stairs, sounds.tone, sounds.blip}) {
        EXPECT_EQ(sound->audioRefs.load(), 0);
    }
}

TEST(MixingAhead, APressOrAStopMixedInStartsAtTheFrameAskedAndOnlyWhatIsPlayedCounts) {
    using Type = MixerCommand::Type;
    AheadSounds sounds;
    Mixer mixer(44100);
    AheadDevice device(mixer);
    device.mixTo(4096);
    device.send(Type::Play, 0, sounds.blip.get(), 1.0f);
    EXPECT_EQ(mixer.rollBack(1000, 0), 1000);
    EXPECT_LE(mixer.mixedFrames(), 1000);  // mixed again from there
    device.mixTo(4096);
    EXPECT_EQ(device.at(999), 0.0f);
    EXPECT_EQ(device.at(1000), 0.5f);
    EXPECT_NE(mixer.appliedSeq(0), device.seq);  // not played yet
    // Told as the device plays, a few milliseconds behind at most, never ahead.
    mixer.played(1700);
    EXPECT_EQ(mixer.appliedSeq(0), device.seq);
    EXPECT_EQ(mixer.aired(0).first, 1000);
    EXPECT_LE(mixer.aired(0).frames, 700);
    EXPECT_GE(mixer.aired(0).frames, 700 - 441);
    EXPECT_EQ(mixer.position(0), mixer.aired(0).frames);

    // Stopped from the frame asked: the forecast past it fades out at once
    // and smoothly, and what was mixed ahead of the stop never counts.
    device.send(Type::Stop, 0);
    EXPECT_EQ(mixer.rollBack(2990, 0), 2990);
    device.mixTo(device.size());
    EXPECT_EQ(device.at(2989), 0.5f);
    int64_t silent = 2990;
    while (device.at(silent) > 0.0f) {
        ASSERT_LT(device.at(silent + 1), device.at(silent)) << silent;
        ++silent;
    }
    EXPECT_LT(silent, 2990 + 441);  // within 10 ms
    for (int64_t f = silent; f < device.size(); ++f) ASSERT_EQ(device.at(f), 0.0f);
    EXPECT_GT(mixer.rollBack(0, 0), 2990);  // never before a command
    device.mixTo(device.size());
    mixer.played(device.size());
    EXPECT_EQ(mixer.aired(0).frames, 2990 - 1000);
    EXPECT_EQ(mixer.aired(0).last, 2990);
    EXPECT_EQ(sounds.blip->audioRefs.load(), 0);

    // A sound given back once its fade has played is not given back again
    // when the mix is redone from the kept state before, wherever the
    // device's read falls in it.
    for (int64_t past = 200; past < 420; past += 9) {
        const int64_t start = device.size();
        device.send(Type::Play, 2, sounds.blip.get(), 1.0f);
        mixer.rollBack(start, 0);
        device.mixTo(start + 2000);
        device.send(Type::Stop, 2);
        const int64_t stop = mixer.rollBack(start + 1000, 0);
        device.mixTo(start + 4000);
        mixer.played(stop + past);
        mixer.rollBack(stop + past + 1, 0);
        device.mixTo(start + 4000);
        mixer.played(start + 4000);
        ASSERT_EQ(sounds.blip->audioRefs.load(), 0) << past;
    }

    // A start that would sound past its limit never begins.
    MixerCommand late{.type = Type::Play, .voice = 1, .seq = 7, .sound = sounds.blip.get()};
    late.notAfter = 1'000'000;
    sounds.blip->audioRefs.fetch_add(1);
    ASSERT_TRUE(mixer.send(late));
    const int64_t from = mixer.rollBack(device.size(), 2'000'000);
    device.mixTo(from + 1000);
    mixer.played(from + 1000);
    EXPECT_EQ(mixer.lateSeq(1), 7u);
    EXPECT_EQ(mixer.endedSeq(1), 7u);
    EXPECT_EQ(device.at(from + 10), 0.0f);
    EXPECT_EQ(sounds.blip->audioRefs.load(), 0);
}

}  // namespace
}  // namespace tambrel::audio
