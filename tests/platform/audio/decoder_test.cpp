// Decoding through the engine's Sound: what comes out of a file, whatever
// its format, channels and rate, and what a damaged file gives.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/audio/sound.h"
#include "tests/support/test_audio.h"

namespace tambrel::audio {
namespace {

using testing::FileKind;
using testing::TempDir;
using testing::writeAudio;

constexpr int kRate = 44100;

// Without a stream worker, the test decodes the rest of the head itself.
void completeHead(Sound& sound) {
    int64_t chunk = 0, urgency = 0;
    while (sound.nextMissingChunk(chunk, urgency) && chunk == Sound::kHeadRest) sound.fill(chunk);
}

std::vector<float> readAll(Sound& sound) {
    completeHead(sound);
    std::vector<float> out(static_cast<size_t>(sound.frames()) * 2);
    EXPECT_EQ(sound.read(0, out.data(), sound.frames()), sound.frames());
    return out;
}

TEST(Decoding, SixteenBitStereoComesOutAsItsSamples) {
    TempDir dir;
    const std::string path = dir.file("stairs.wav");
    ASSERT_TRUE(writeAudio(path, FileKind::Wav16, kRate, 2, 40000, testing::staircase));
    auto sound = Sound::load(path, kRate);
    ASSERT_TRUE(sound->playable()) << sound->error();
    EXPECT_EQ(sound->frames(), 40000);
    const std::vector<float> out = readAll(*sound);
    for (int64_t f = 0; f < 40000; ++f) {
        ASSERT_EQ(out[f * 2], testing::staircase(f, 0)) << f;
        ASSERT_EQ(out[f * 2 + 1], testing::staircase(f, 1)) << f;
    }
}

TEST(Decoding, MonoSoundsOnBothSidesAtUnity) {
    TempDir dir;
    const std::string path = dir.file("mono.wav");
    ASSERT_TRUE(writeAudio(path, FileKind::Wav16, kRate, 1, 1000,
                           [](int64_t f, int) { return (f % 100) / 128.0f; }));
    auto sound = Sound::load(path, kRate);
    const std::vector<float> out = readAll(*sound);
    for (int64_t f = 0; f < 1000; ++f) {
        ASSERT_EQ(out[f * 2], (f % 100) / 128.0f);
        ASSERT_EQ(out[f * 2 + 1], (f % 100) / 128.0f);
    }
}

TEST(Decoding, MoreThanTwoChannelsFoldDownToStereo) {
    TempDir dir;
    // 5.1 in the usual order: L R C LFE Ls Rs, each channel its own level.
    const float level[6] = {0.5f, 0.25f, 0.125f, 0.75f, 0.0625f, 0.03125f};
    const std::string path = dir.file("surround.wav");
    ASSERT_TRUE(writeAudio(path, FileKind::WavFloat, kRate, 6, 100,
                           [&](int64_t, int c) { return level[c]; }));
    auto sound = Sound::load(path, kRate);
    ASSERT_TRUE(sound->playable()) << sound->error();
    const std::vector<float> out = readAll(*sound);
    const float side = 0.70710678f;
    // The bass channel (0.75) is left out; centre and rears come in at -3 dB.
    EXPECT_NEAR(out[0], 0.5f + side * 0.125f + side * 0.0625f, 1e-6);
    EXPECT_NEAR(out[1], 0.25f + side * 0.125f + side * 0.03125f, 1e-6);
}

TEST(Decoding, AnotherRateIsResampledToTheRightLengthAndPitch) {
    TempDir dir;
    const std::string path = dir.file("48k.wav");
    const int64_t frames = 48000 * 3;
    ASSERT_TRUE(writeAudio(path, FileKind::WavFloat, 48000, 2, frames, [](int64_t f, int) {
        return 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * f / 48000.0));
    }));
    auto sound = Sound::load(path, kRate);
    EXPECT_EQ(sound->frames(), 3 * kRate);
    // A 1 kHz tone stays 1 kHz: count upward zero crossings over 2 s of the
    // head and the streamed part alike (read straight from the decoder).
    std::vector<float> out(static_cast<size_t>(kRate) * 2 * 2);
    int64_t got = 0;
    for (int turns = 0; got < 2 * kRate; ++turns) {
        ASSERT_LT(turns, 10000) << "the decoder stopped giving frames at " << got;
        const int64_t n = sound->read(got, out.data() + got * 2, 2 * kRate - got);
        if (n == 0) {
            int64_t chunk = 0, urgency = 0;
            if (sound->nextMissingChunk(chunk, urgency)) sound->fill(chunk);
        }
        got += n;
    }
    int crossings = 0;
    for (int64_t f = 1; f < 2 * kRate; ++f) crossings += out[(f - 1) * 2] < 0 && out[f * 2] >= 0;
    EXPECT_NEAR(crossings, 2000, 2);
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

TEST(Decoding, Mp3DecodesToItsLengthAndItsSignal) {
    TempDir dir;
    const std::string path = dir.file("short.mp3");
    // 440 Hz at 0.5 on the left, 660 Hz at 0.25 on the right.
    ASSERT_TRUE(writeAudio(path, FileKind::Mp3, kRate, 2, kRate * 3, [](int64_t f, int channel) {
        const double t = static_cast<double>(f) / kRate;
        return static_cast<float>(channel == 0 ? 0.5 * std::sin(2 * M_PI * 440 * t)
                                               : 0.25 * std::sin(2 * M_PI * 660 * t));
    }));
    auto sound = Sound::load(path, kRate);
    ASSERT_TRUE(sound->playable()) << sound->error();
    EXPECT_NEAR(static_cast<double>(sound->frames()), kRate * 3.0, kRate * 0.05);
    std::vector<float> out(static_cast<size_t>(sound->frames()) * 2);
    completeHead(*sound);
    ASSERT_GE(sound->read(0, out.data(), sound->frames()), 2 * kRate / 10 + kRate);
    // A second past the encoder's start-up: each side holds its own tone, at its level.
    const size_t from = kRate / 5;
    EXPECT_NEAR(toneLevel(out, 0, 440, from, kRate), 0.5, 0.03);
    EXPECT_NEAR(toneLevel(out, 1, 660, from, kRate), 0.25, 0.02);
    EXPECT_LT(toneLevel(out, 0, 660, from, kRate), 0.01);
    EXPECT_LT(toneLevel(out, 1, 440, from, kRate), 0.01);
}

TEST(Decoding, NonFiniteFloatSamplesBecomeSilence) {
    TempDir dir;
    const std::string path = dir.file("nan.wav");
    ASSERT_TRUE(writeAudio(path, FileKind::WavFloat, kRate, 2, 4, [](int64_t f, int) {
        return f == 1 ? NAN : f == 2 ? INFINITY : 0.25f;
    }));
    auto sound = Sound::load(path, kRate);
    const std::vector<float> out = readAll(*sound);
    EXPECT_EQ(out, (std::vector<float>{0.25f, 0.25f, 0, 0, 0, 0, 0.25f, 0.25f}));
}

// Every damaged or impossible input loads as a sound of length 0, quickly.
TEST(Decoding, WhatCannotBePlayedHasLengthZero) {
    TempDir dir;
    const std::string good = dir.file("good.wav");
    ASSERT_TRUE(writeAudio(good, FileKind::Wav16, kRate, 2, kRate, testing::staircase));
    const std::string goodMp3 = dir.file("good.mp3");
    ASSERT_TRUE(writeAudio(goodMp3, FileKind::Mp3, kRate, 2, kRate, testing::programme));
    const auto bytes = [](const std::string& path, size_t count) {
        std::ifstream in(path, std::ios::binary);
        std::string data(count, '\0');
        in.read(data.data(), static_cast<std::streamsize>(count));
        return data;
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
    bad.push_back(fifo);  // must not wait for a writer

    for (const std::string& path : bad) {
        auto sound = Sound::load(path, kRate);
        EXPECT_FALSE(sound->playable()) << path;
        EXPECT_EQ(sound->frames(), 0) << path;
        EXPECT_FALSE(sound->error().empty()) << path;
        float out[4] = {1, 1, 1, 1};
        EXPECT_EQ(sound->read(0, out, 2), 0) << path;
    }
}

TEST(Decoding, TruncatedDataPlaysWhatIsThere) {
    TempDir dir;
    const std::string good = dir.file("good.wav");
    ASSERT_TRUE(writeAudio(good, FileKind::Wav16, kRate, 2, 1000, testing::staircase));
    const std::string cut = dir.file("cut.wav");
    std::filesystem::copy_file(good, cut);
    std::filesystem::resize_file(cut, 44 + 500 * 4);  // half the data, header unchanged
    auto sound = Sound::load(cut, kRate);
    ASSERT_TRUE(sound->playable());
    EXPECT_EQ(sound->frames(), 500);
    const std::vector<float> out = readAll(*sound);
    EXPECT_EQ(out[499 * 2], testing::staircase(499, 0));
}

TEST(Decoding, UnreadableFileHasLengthZero) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    const std::string path = dir.file("locked.wav");
    ASSERT_TRUE(writeAudio(path, FileKind::Wav16, kRate, 2, 100, testing::staircase));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(Sound::load(path, kRate)->frames(), 0);
}

}  // namespace
}  // namespace tambrel::audio
