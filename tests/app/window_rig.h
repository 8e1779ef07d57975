#pragma once

// The real palette window on the offscreen platform, with a null audio
// output, scripted dialogs and a system whose screen and clock the test sets.

#include <gtest/gtest.h>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "platform/audio/null_output.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "tests/support/fake_platform.h"
#include "tests/support/render.h"
#include "tests/support/test_audio.h"

namespace tambrel::app {

struct WindowRig {
    testing::TempDir dir;
    audio::NullBackend* backend = new audio::NullBackend({"Studio", "Cue"});
    playback::AudioHost audio{std::unique_ptr<audio::OutputBackend>(backend)};
    testing::FakeSystem system;
    testing::ScriptedDialogs dialogs;
    std::unique_ptr<F1a> window;

    explicit WindowRig(int screenPixels = 1280) {
        system.screenPixels = screenPixels;
        system.folder = QString::fromStdString(dir.path());
    }
    F1a& start() {
        window = Main(system, dialogs, audio);
        return *window;
    }
    // A WAV of `ms` milliseconds; its native path.
    QString wav(const std::string& name, int ms,
                float (*sample)(int64_t, int) = testing::staircase) {
        EXPECT_TRUE(testing::writeAudio(dir.file(name), testing::FileKind::Wav16, 44100, 2,
                                        int64_t{44100} * ms / 1000, sample));
        return QString::fromStdString(dir.file(name));
    }
    // Binds a file to an empty slot as the operator does: a press, then the file chosen.
    void assign(int16_t slot, const QString& nativePath) {
        dialogs.openAnswers.push_back(nativePath);
        window->Touche_Click(slot);
    }
    // The default device's next `frames` frames (the players go to it at start-up;
    // it opens with the first play, and renders nothing before).
    std::vector<float> render(int frames) {
        audio::NullOutput* output = backend->output(std::nullopt);
        return output != nullptr ? testing::renderWhenFilled(audio.engine(), *output, frames)
                                 : std::vector<float>{};
    }
};

}  // namespace tambrel::app
