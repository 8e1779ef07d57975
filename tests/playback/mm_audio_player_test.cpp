// The player as the slots use it: states, events, times in milliseconds,
// file swaps while sounding, bad files and devices, on a null output.

#include "playback/mm_audio_player.h"

#include <gtest/gtest.h>

#include "platform/audio/null_output.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/component_error.h"
#include "tests/support/render.h"
#include "tests/support/test_audio.h"

namespace tambrel::playback {
namespace {

struct PlayerRig {
    audio::NullBackend* backend = new audio::NullBackend({"Studio", "Cue"});
    AudioHost host{std::unique_ptr<audio::OutputBackend>(backend)};
    testing::TempDir dir;
    MMAudioPlayerX player{host, 3};
    std::vector<int16_t> stops;

    PlayerRig() {
        host.loadWait = std::chrono::seconds(5);
        player.OnStop = [this](int16_t index) {
            EXPECT_FALSE(playing());  // already left 6
            stops.push_back(index);
        };
    }
    bool playing() const { return player.State() == MMAudioPlayerX::kStatePlaying; }
    // A WAV of `ms` milliseconds, named in the system's form.
    QString wav(const std::string& name, int ms,
                float (*sample)(int64_t, int) = testing::staircase) {
        EXPECT_TRUE(testing::writeAudio(dir.file(name), testing::FileKind::Wav16, 44100, 2,
                                        int64_t{44100} * ms / 1000, sample));
        return platform::toSystemPath(QString::fromStdString(dir.file(name)));
    }
    // Players start on device 0, "Studio".
    std::vector<float> render(int frames) {
        audio::NullOutput* output = backend->output(std::string("Studio"));
        EXPECT_NE(output, nullptr);
        return output ? testing::renderWhenFilled(host.engine(), *output, frames)
                      : std::vector<float>{};
    }
};

TEST(Player, PlaysSeeksAndStopsInMillisecondsRaisingOnStopOnceForEachEnd) {
    PlayerRig rig;
    EXPECT_EQ(rig.player.Volume(), kVolumeUnity);
    EXPECT_EQ(rig.player.Length(), 0);
    const QString path = rig.wav("bed.wav", 1500);
    rig.player.setFileName(path);
    EXPECT_EQ(rig.player.FileName(), path);
    EXPECT_EQ(rig.player.Length(), 1500);
    EXPECT_FALSE(rig.playing());
    rig.player.setPosition(700);  // silent: no effect, Play still starts at 0
    rig.player.Stop();            // silent: no event
    rig.host.pump();

    rig.player.Play();
    EXPECT_TRUE(rig.playing());
    EXPECT_EQ(rig.player.Position(), 0);
    rig.render(22050);
    EXPECT_EQ(rig.player.Position(), 500);
    rig.player.setPosition(1200);
    EXPECT_EQ(rig.player.Position(), 1200);
    rig.render(4410);
    EXPECT_EQ(rig.player.Position(), 1300);
    rig.player.setPosition(0);  // the loop restart
    EXPECT_EQ(rig.render(4410)[1000 * 2], testing::staircase(1000, 0));
    rig.host.pump();
    EXPECT_TRUE(rig.stops.empty());
    EXPECT_TRUE(rig.playing());
    rig.render(44100 * 14 / 10 + 256);  // to the end
    EXPECT_FALSE(rig.playing());
    rig.host.pump();
    rig.host.pump();
    EXPECT_EQ(rig.stops, std::vector<int16_t>{3});

    rig.player.Play();  // after the end: from the beginning again
    EXPECT_EQ(rig.player.Position(), 0);
    EXPECT_EQ(rig.render(256)[100 * 2], testing::staircase(100, 0));
    rig.render(4410);
    rig.player.Stop();
    EXPECT_FALSE(rig.playing());
    EXPECT_EQ(rig.player.Position(), 0);
    rig.player.Stop();
    rig.host.pump();
    rig.render(44100);  // the fade ends; no end of file is reported on top
    rig.host.pump();
    EXPECT_EQ(rig.stops, (std::vector<int16_t>{3, 3}));
}

TEST(Player, NewFileWhileSoundingLetsTheSoundingFilePlayOn) {
    PlayerRig rig;
    rig.player.setFileName(rig.wav("long.wav", 1500));
    rig.player.Play();
    rig.render(4410);
    const QString next = rig.wav("next.wav", 500, [](int64_t, int) { return 0.5f; });
    rig.player.setFileName(next);
    EXPECT_EQ(rig.player.FileName(), next);
    EXPECT_TRUE(rig.playing());
    EXPECT_EQ(rig.player.Length(), 1500);  // still the sounding file
    EXPECT_EQ(rig.player.Position(), 100);
    EXPECT_EQ(rig.render(256)[10 * 2], testing::staircase(4410 + 10, 0));  // nothing cut

    rig.player.Stop();
    EXPECT_EQ(rig.player.Length(), 500);
    rig.render(1024);
    rig.player.Play();
    EXPECT_EQ(rig.render(256)[10 * 2], 0.5f);

    // Emptying the slot while it sounds: it plays on, then holds nothing.
    rig.player.setFileName(QString());
    EXPECT_TRUE(rig.playing());
    rig.player.Stop();
    EXPECT_EQ(rig.player.Length(), 0);
    EXPECT_THROW(rig.player.Play(), ComponentError);
}

TEST(Player, AFileThatCannotBePlayedHasLengthZeroAndPlayFails) {
    PlayerRig rig;
    const QString folder = platform::toSystemPath(QString::fromStdString(rig.dir.path()));
    for (const QString& path : {folder + QStringLiteral("\\missing.mp3"), folder,
                                QStringLiteral("C:\\Jingles\\Intro.mp3"), QString()}) {
        rig.player.setFileName(path);
        EXPECT_EQ(rig.player.Length(), 0) << path.toStdString();
        EXPECT_THROW(rig.player.Play(), ComponentError) << path.toStdString();
        EXPECT_FALSE(rig.playing());
    }
    rig.host.pump();
    EXPECT_TRUE(rig.stops.empty());
}

TEST(Player, VolumeTaperRunsFromSilenceThroughUnity) {
    EXPECT_EQ(volumeGain(0), 0.0f);
    EXPECT_EQ(volumeGain(kVolumeUnity), 1.0f);
    EXPECT_EQ(volumeGain(kVolumeUnity / 2), 0.125f);  // half travel, -18 dB
    EXPECT_NEAR(volumeGain(kVolumeMax), 1.117f, 0.001f);
    EXPECT_EQ(volumeGain(-5), 0.0f);
    EXPECT_EQ(volumeGain(99999), volumeGain(kVolumeMax));
    for (int32_t v = 1; v <= kVolumeMax; ++v) ASSERT_GT(volumeGain(v), volumeGain(v - 1)) << v;
}

// The window's output list and its device changes, lost or not, are tested
// from the window; here what the list does not show.
TEST(Player, DevicesBeyondTheListHaveNoNameAndCannotBePlayedOn) {
    PlayerRig rig;
    EXPECT_EQ(rig.player.DeviceID(), 0);
    for (int16_t none : {2, 11, -2}) EXPECT_TRUE(rig.player.DeviceName(none).isEmpty()) << none;
    rig.player.setFileName(rig.wav("a.wav", 500));
    rig.player.setDeviceID(7);
    EXPECT_THROW(rig.player.Play(), ComponentError);
}

}  // namespace
}  // namespace tambrel::playback
