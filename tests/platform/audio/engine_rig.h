#pragma once

// An engine on null outputs, with helpers that render it period by period
// once the read-ahead has caught up, so that every test is deterministic;
// and a check of rendered or decoded frames against what they should hold.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "platform/audio/audio_engine.h"
#include "platform/audio/null_output.h"
#include "platform/audio/sound.h"
#include "tests/support/render.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

namespace tambrel::audio {

// Whether frames [from, to) of interleaved stereo `out` hold expected(frame,
// channel) on both sides, within `tolerance`; names the first that does not.
template <typename Expected>
::testing::AssertionResult framesAre(const std::vector<float>& out, int64_t from, int64_t to,
                                     Expected expected, float tolerance = 0.0f) {
    for (int64_t f = from; f < to; ++f) {
        for (int c = 0; c < 2; ++c) {
            const float got = out[static_cast<size_t>(f * 2 + c)];
            if (!(std::fabs(got - expected(f, c)) <= tolerance)) {
                return ::testing::AssertionFailure() << "frame " << f << " channel " << c << " is "
                                                     << got << ", not " << expected(f, c);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

struct EngineRig {
    // `opener` lets a test put a slow disk between the engine and its files.
    explicit EngineRig(SourceOpener opener = openSndfile)
        : engine(std::unique_ptr<OutputBackend>(backend), {.opener = opener}) {}

    NullBackend* backend = new NullBackend({"Studio", "Cue"});
    AudioEngine engine;
    testing::TempDir dir;

    std::shared_ptr<Sound> wav(const std::string& name, int64_t frames,
                               float (*sample)(int64_t, int) = testing::staircase) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(testing::writeAudio(path, testing::FileKind::Wav16, 44100, 2, frames, sample));
        auto sound = engine.load(path);
        EXPECT_TRUE(sound->playable()) << sound->error();
        return sound;
    }

    // A new voice playing `sound`; the start must succeed.
    int start(const std::shared_ptr<Sound>& sound,
              const std::optional<std::string>& device = std::nullopt, float gain = 1.0f) {
        const int voice = engine.createVoice();
        EXPECT_TRUE(engine.play(voice, sound, device, gain));
        return voice;
    }

    // Waits until the worker has filled the read-ahead window of `sound`.
    static void settle(const Sound& sound) {
        int64_t chunk = 0, urgency = 0;
        ASSERT_TRUE(testing::waitUntil([&] { return !sound.nextMissingChunk(chunk, urgency); },
                                       std::chrono::seconds(10)))
            << "read-ahead never filled";
    }

    // Renders `frames` frames of `device` in periods, each once the read-ahead is full.
    std::vector<float> render(int64_t frames,
                              const std::optional<std::string>& device = std::nullopt) {
        NullOutput* output = backend->output(device);
        EXPECT_NE(output, nullptr);
        if (output == nullptr) return std::vector<float>(static_cast<size_t>(frames) * 2);
        return testing::renderWhenFilled(engine, *output, static_cast<int>(frames));
    }
};

}  // namespace tambrel::audio
