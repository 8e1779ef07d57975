#pragma once

// The real palette window on the offscreen platform, with a null audio
// output, scripted dialogs and a system whose screen and clock the test sets.

#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <fstream>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "palettes/palette_file.h"
#include "platform/audio/null_output.h"
#include "platform/colors.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"
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
        audio.loadWait = std::chrono::seconds(5);  // a slot given a file plays at once
        system.screenPixels = screenPixels;
        system.folder = QString::fromStdString(dir.path());
    }
    // The null output, its files opened by `opener` and each loaded as the
    // program does, without waiting for it.
    explicit WindowRig(audio::SourceOpener opener)
        : audio(std::unique_ptr<audio::OutputBackend>(backend), withOpener(opener)) {
        system.folder = QString::fromStdString(dir.path());
    }
    // On another back end; `backend` is then null and render() not for use.
    explicit WindowRig(std::unique_ptr<audio::OutputBackend> other)
        : backend(nullptr), audio(std::move(other)) {
        audio.loadWait = std::chrono::seconds(5);
        system.folder = QString::fromStdString(dir.path());
    }
    F1a& start() {
        window = Main(system, dialogs, audio);
        return *window;
    }
    // A file of the program's folder, as a native path.
    QString path(const std::string& name) const { return QString::fromStdString(dir.file(name)); }
    // A WAV of `ms` milliseconds; its native path.
    QString wav(const std::string& name, int ms,
                float (*sample)(int64_t, int) = testing::staircase) {
        EXPECT_TRUE(testing::writeAudio(dir.file(name), testing::FileKind::Wav16, 44100, 2,
                                        int64_t{44100} * ms / 1000, sample));
        return path(name);
    }
    // Writes a file into the program's folder; an open window lists it if it is a palette.
    void put(const std::string& name, const QByteArray& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes.toStdString();
        if (window == nullptr) return;
        window->File1.Refresh();
        window->File1_PathChange();
    }
    // A palette of these files (native paths) from slot A on, every volume at `volume`.
    static QByteArray palette(const std::array<QString, kSlots>& files, int32_t volume = 16384) {
        std::array<QString, kSlots> paths;
        std::transform(files.begin(), files.end(), paths.begin(), platform::toSystemPath);
        std::array<int32_t, kSlots> volumes{};
        volumes.fill(volume);
        QByteArray bytes;
        QString error;
        EXPECT_TRUE(palettes::writePalette(paths, volumes, bytes, error)) << error.toStdString();
        return bytes;
    }
    QByteArray read(const std::string& name) const {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void pick(const QString& entry) {
        window->ComboBank->setText(entry);
        window->ComboBank_Click();
    }
    // Binds a file to an empty slot as the operator does: a press, then the file chosen.
    void assign(int16_t slot, const QString& nativePath) {
        dialogs.openAnswers.push_back(nativePath);
        window->Touche_Click(slot);
    }
    // The last box or dialog the window opened (a failure when there was none).
    const testing::Asked& asked() const { return dialogs.asked.at(dialogs.asked.size() - 1); }
    // A slot as the operator reads it: its button's caption, "|", its label's.
    std::string shows(int16_t slot) const {
        return (window->Touche[slot]->Caption() + u'|' + window->InfoTrack[slot]->Caption())
            .toStdString();
    }
    // The letters of the slots that sound, and of those whose loop is on.
    std::string onAir() const {
        return letters([&](int16_t i) { return window->slotPlaying(i); });
    }
    std::string loops() const {
        return letters([&](int16_t i) { return window->loopOn(i); });
    }
    // How many times `slot` reports its stop (passed on to the window) while the engine is pumped.
    int stops(int16_t slot) {
        int count = 0;
        window->Player[slot]->OnStop = [this, &count](int16_t index) {
            ++count;
            window->Player_OnStop(index);
        };
        audio.pump();
        window->Player[slot]->OnStop = [this](int16_t index) { window->Player_OnStop(index); };
        return count;
    }
    // The default device's next `frames` frames (the players go to it at start-up;
    // it opens with the first play, and renders nothing before).
    std::vector<float> render(int frames) {
        audio::NullOutput* output = backend->output(std::nullopt);
        return output != nullptr ? testing::renderWhenFilled(audio.engine(), *output, frames)
                                 : std::vector<float>{};
    }

  private:
    static audio::AudioEngine::Options withOpener(audio::SourceOpener opener) {
        audio::AudioEngine::Options options;
        options.opener = opener;
        return options;
    }
    template <typename Holds>
    static std::string letters(Holds holds) {
        QString out;
        for (int16_t i = 0; i < kSlots; ++i)
            if (holds(i)) out += slotLetter(i);
        return out.toStdString();
    }
};

// A test whose window is up from the start.
struct WindowTest : ::testing::Test, WindowRig {
    F1a& w = start();
};

}  // namespace tambrel::app
