// Decoding through the engine's Sound: what comes out of a file, whatever
// its format, channels and rate, and what a damaged file gives.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/audio/loudness.h"
#include "platform/audio/sound.h"
#include "tests/platform/audio/engine_rig.h"
#include "tests/support/test_audio.h"

namespace tambrel::audio {
namespace {

using testing::FileKind;

constexpr int kRate = 44100;

class Decoding : public ::testing::Test {
  protected:
    // Writes `name` and loads it as the engine does, to play at kRate.
    std::shared_ptr<Sound> load(const std::string& name, FileKind kind, int rate, int channels,
                                int64_t frames, const std::function<float(int64_t, int)>& sample) {
        EXPECT_TRUE(testing::writeAudio(dir.file(name), kind, rate, channels, frames, sample));
        auto sound = Sound::load(dir.file(name), kRate);
        EXPECT_TRUE(sound->playable()) << sound->error();
        return sound;
    }

    testing::TempDir dir;
};

// The first `count` frames, decoding each missing chunk as the stream worker
// would whenever a read comes up short.
std::vector<float> readFrames(Sound& sound, int64_t count) {
    std::vector<float> out(static_cast<size_t>(count) * 2);
    int64_t got = 0, chunk = 0, urgency = 0;
    for (int turns = 0; got < count && turns < 10000; ++turns) {
        const int64_t n = sound.read(got, out.data() + got * 2, count - got);
        if (n == 0 && sound.nextMissingChunk(chunk, urgency)) sound.fill(chunk);
        got += n;
    }
    EXPECT_EQ(got, count) << "the decoder stopped giving frames";
    return out;
}

std::vector<float> readAll(Sound& sound) {
    return readFrames(sound, sound.frames());
}

TEST_F(Decoding, MonoSoundsOnBothSidesMoreChannelsFoldDownAndNonFiniteSamplesAreSilent) {
    auto mono = [](int64_t f, int) { return (f % 100) / 128.0f; };
    EXPECT_TRUE(framesAre(readAll(*load("mono.wav", FileKind::Wav16, kRate, 1, 1000, mono)), 0,
                          1000, mono));

    // 5.1 in the usual order: L R C LFE Ls Rs, each channel its own level.
    const float level[6] = {0.5f, 0.25f, 0.125f, 0.75f, 0.0625f, 0.03125f};
    const std::vector<float> out = readAll(*load("surround.wav", FileKind::WavFloat, kRate, 6, 100,
                                                 [&](int64_t, int c) { return level[c]; }));
    const float side = 0.70710678f;
    // The bass channel (0.75) is left out; centre and rears come in at -3 dB.
    EXPECT_NEAR(out[0], 0.5f + side * 0.125f + side * 0.0625f, 1e-6);
    EXPECT_NEAR(out[1], 0.25f + side * 0.125f + side * 0.03125f, 1e-6);

    auto nan = load("nan.wav", FileKind::WavFloat, kRate, 2, 4, [](int64_t f, int) {
        return f == 1 ? NAN : f == 2 ? INFINITY : 0.25f;
    });
    EXPECT_EQ(readAll(*nan), (std::vector<float>{0.25f, 0.25f, 0, 0, 0, 0, 0.25f, 0.25f}));
}

TEST_F(Decoding, AnotherRateIsResampledToTheRightLengthAndPitch) {
    auto sound = load("48k.wav", FileKind::WavFloat, 48000, 2, 48000 * 3, [](int64_t f, int) {
        return 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * f / 48000.0));
    });
    EXPECT_EQ(sound->frames(), 3 * kRate);
    // A 1 kHz tone stays 1 kHz: count upward zero crossings over 2 s of the
    // head and the streamed part alike.
    const std::vector<float> out = readFrames(*sound, 2 * kRate);
    int crossings = 0;
    for (int64_t f = 1; f < 2 * kRate; ++f) crossings += out[(f - 1) * 2] < 0 && out[f * 2] >= 0;
    EXPECT_NEAR(crossings, 2000, 2);

    // A seek lands where a straight read would be: a ramp, unlike a tone,
    // tells one place from another. The stream is sent far ahead by
    // filling a chunk past the head first, as a seek on air does.
    auto ramp = [](int64_t f, int) { return static_cast<float>(f) / (48000 * 4); };
    const std::vector<float> straight =
        readFrames(*load("ramp.wav", FileKind::WavFloat, 48000, 2, 48000 * 4, ramp), 3 * kRate);
    auto sought = Sound::load(dir.file("ramp.wav"), kRate);
    const int64_t chunk = Sound::kHeadChunks + 5;
    sought->fill(chunk);
    std::vector<float> part(Sound::kChunkFrames * 2);
    ASSERT_EQ(sought->read(chunk * Sound::kChunkFrames, part.data(), Sound::kChunkFrames),
              Sound::kChunkFrames);
    // Past the resampler's first frames after the jump.
    for (int64_t f = 256; f < Sound::kChunkFrames; f += 512) {
        EXPECT_NEAR(part[f * 2], straight[(chunk * Sound::kChunkFrames + f) * 2], 1e-4) << f;
    }
}

// Amplitude of one frequency in one channel of interleaved stereo (Goertzel).
double toneLevel(const std::vector<float>& stereo, int channel, double frequency, size_t firstFrame,
                 size_t frames) {
    const double k = 2 * std::cos(2 * M_PI * frequency / kRate);
    double s1 = 0, s2 = 0;
    for (size_t f = firstFrame; f < firstFrame + frames; ++f) {
        const double s0 = stereo[f * 2 + static_cast<size_t>(channel)] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return 2 * std::sqrt(std::max(s1 * s1 + s2 * s2 - k * s1 * s2, 0.0)) /
           static_cast<double>(frames);
}

TEST_F(Decoding, Mp3DecodesToItsLengthAndItsSignal) {
    // 440 Hz at 0.5 on the left, 660 Hz at 0.25 on the right.
    auto sound = load("short.mp3", FileKind::Mp3, kRate, 2, kRate * 3, [](int64_t f, int channel) {
        const double t = static_cast<double>(f) / kRate;
        return static_cast<float>(channel == 0 ? 0.5 * std::sin(2 * M_PI * 440 * t)
                                               : 0.25 * std::sin(2 * M_PI * 660 * t));
    });
    EXPECT_NEAR(static_cast<double>(sound->frames()), kRate * 3.0, kRate * 0.05);
    const std::vector<float> out = readFrames(*sound, 2 * kRate / 10 + kRate);
    // A second past the encoder's start-up: each side holds its own tone, at its level.
    const size_t from = kRate / 5;
    EXPECT_NEAR(toneLevel(out, 0, 440, from, kRate), 0.5, 0.03);
    EXPECT_NEAR(toneLevel(out, 1, 660, from, kRate), 0.25, 0.02);
    EXPECT_LT(toneLevel(out, 0, 660, from, kRate), 0.01);
    EXPECT_LT(toneLevel(out, 1, 440, from, kRate), 0.01);
}

// Every damaged, impossible or unreadable input loads quickly, as a sound of
// length 0 or, where only the data is cut short, as what there is of it.
TEST_F(Decoding, WhatCannotBePlayedHasLengthZeroAndTruncatedDataPlaysWhatIsThere) {
    const std::string good = dir.file("good.wav");
    ASSERT_TRUE(testing::writeAudio(good, FileKind::Wav16, kRate, 2, kRate, testing::staircase));
    const std::string goodMp3 = dir.file("good.mp3");
    ASSERT_TRUE(testing::writeAudio(goodMp3, FileKind::Mp3, kRate, 2, kRate, testing::programme));
    const auto bytes = [](const std::string& path, size_t count) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {}).substr(0, count);
    };
    const auto write = [&](const std::string& name, const std::string& data) {
        std::ofstream(dir.file(name), std::ios::binary) << data;
        return dir.file(name);
    };
    std::mt19937 random(7);
    std::string noise(50000, '\0');
    for (char& c : noise) c = static_cast<char>(random());

    std::vector<std::string> bad = {
        write("empty.wav", ""),
        write("empty.mp3", ""),
        write("header-only.wav", bytes(good, 44)),
        write("header-cut.wav", bytes(good, 20)),
        write("cut.mp3", bytes(goodMp3, 300)),
        write("noise.mp3", noise),
        write("noise.wav", noise),
        dir.file("missing.wav"),
        dir.path(),  // a folder
    };
    const std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bad.push_back(fifo);   // must not wait for a writer
    if (geteuid() != 0) {  // root reads every file
        const std::string locked = dir.file("locked.wav");
        std::filesystem::copy_file(good, locked);
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        bad.push_back(locked);
    }

    for (const std::string& path : bad) {
        auto sound = Sound::load(path, kRate);
        EXPECT_FALSE(sound->playable()) << path;
        EXPECT_EQ(sound->frames(), 0) << path;
        EXPECT_FALSE(sound->error().empty()) << path;
        float out[4] = {1, 1, 1, 1};
        EXPECT_EQ(sound->read(0, out, 2), 0) << path;
    }

    auto cut = Sound::load(write("cut.wav", bytes(good, 44 + 500 * 4)), kRate);  // header intact
    ASSERT_TRUE(cut->playable());
    EXPECT_EQ(cut->frames(), 500);
    EXPECT_EQ(readAll(*cut)[499 * 2], testing::staircase(499, 0));
}

// The broadcast measure on its standard's own test signals, written as files
// and decoded as the engine decodes them.
TEST_F(Decoding, LoudnessReadsTheStandardsSignalsAndGivesTheGainToATarget) {
    const auto sine = [&](const std::string& name, int rate, double seconds, double dbfs,
                          double cycle, double phase) {
        const double amplitude = std::pow(10.0, dbfs / 20.0);
        EXPECT_TRUE(testing::writeAudio(dir.file(name), FileKind::WavFloat, rate, 2,
                                        static_cast<int64_t>(seconds * rate), [=](int64_t f, int) {
                                            return static_cast<float>(
                                                amplitude * std::sin(2 * M_PI * f / cycle + phase));
                                        }));
        return measureLoudness(dir.file(name));
    };
    // A stereo 1 kHz sine reads its level in dBFS as LUFS.
    for (const double level : {-23.0, -33.0}) {
        const Loudness loudness = sine("tone.wav", 48000, 20, level, 48, 0);
        EXPECT_EQ(loudness.kind, Loudness::Kind::Measured);
        EXPECT_NEAR(loudness.lufs, level, 0.1);
        EXPECT_NEAR(loudness.peak, level, 0.2);
        EXPECT_NEAR(loudness.lra, 0.0, 0.1);  // steady
    }
    // A quarter of the rate at 45°: every sample 3 dB under the peak between them.
    const Loudness between = sine("quarter.wav", 48000, 5, -6, 4, M_PI / 4);
    EXPECT_NEAR(between.peak, -6.0, 0.2);
    // A swing of 20 dB halfway through: its loudness range.
    EXPECT_TRUE(testing::writeAudio(dir.file("swing.wav"), FileKind::WavFloat, 48000, 2, 48000 * 40,
                                    [](int64_t f, int) {
                                        const double level = f < 48000 * 20 ? 0.3 : 0.03;
                                        return static_cast<float>(level * std::sin(f * M_PI / 24));
                                    }));
    EXPECT_NEAR(measureLoudness(dir.file("swing.wav")).lra, 20.0, 1.0);

    // Under the measure's 400 ms gate, or nothing but zeros: said, and never normalised.
    const Loudness shortOne = sine("short.wav", 44100, 0.3, -20, 44.1, 0);
    EXPECT_EQ(shortOne.kind, Loudness::Kind::TooShort);
    EXPECT_NEAR(shortOne.peak, -20.0, 0.2);
    EXPECT_EQ(normalisingGainDb(shortOne, -23), 0.0);
    const Loudness silent = sine("silent.wav", 44100, 2, -400, 44.1, 0);
    EXPECT_EQ(silent.kind, Loudness::Kind::Silent);
    EXPECT_EQ(normalisingGainDb(silent, -23), 0.0);
    EXPECT_EQ(measureLoudness(dir.file("missing.wav")).kind, Loudness::Kind::Unreadable);

    // To the target, but never with a true peak over -1 dBTP.
    EXPECT_DOUBLE_EQ(normalisingGainDb({Loudness::Kind::Measured, -33, 5, -20}, -23), 10.0);
    EXPECT_DOUBLE_EQ(normalisingGainDb({Loudness::Kind::Measured, -10, 5, -2}, -23), -13.0);
    EXPECT_DOUBLE_EQ(normalisingGainDb({Loudness::Kind::Measured, -33, 5, -4}, -23), 3.0);
}

}  // namespace
}  // namespace tambrel::audio
