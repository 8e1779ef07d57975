// The player as the slots use it: states, events, times in milliseconds,
// file swaps while sounding, bad files and devices, on a null output.

#include "playback/mm_audio_player.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "platform/audio/null_output.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/component_error.h"
#include "tests/support/render.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

namespace tambrel::playback {
namespace {

// A 1 kHz tone at `dbfs`, with a spike of three samples at `spike` (none at 0).
void writeTone(const std::string& path, int ms, double dbfs, float spike = 0) {
    const double amplitude = std::pow(10.0, dbfs / 20.0);
    EXPECT_TRUE(testing::writeAudio(path, testing::FileKind::WavFloat, 44100, 2,
                                    int64_t{44100} * ms / 1000, [=](int64_t f, int) {
                                        if (spike != 0 && f >= 110000 && f < 110003) return spike;
                                        return static_cast<float>(amplitude *
                                                                  std::sin(2 * M_PI * f / 44.1));
                                    }));
}

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
    QString tone(const std::string& name, int ms, double dbfs, float spike = 0) {
        writeTone(dir.file(name), ms, dbfs, spike);
        return platform::toSystemPath(QString::fromStdString(dir.file(name)));
    }
    // Its figures, once the host has them.
    bool measured() {
        return testing::waitUntil(
            [&] {
                host.pump();
                return player.Loudness().has_value();
            },
            std::chrono::seconds(30), std::chrono::milliseconds(2));
    }
    // The level in dB of what the next second plays, its second half.
    double playedDb() {
        player.Play();
        const std::vector<float> out = render(44100);
        player.Stop();
        render(2048);
        double sum = 0;
        for (size_t i = 44100; i < out.size(); ++i) sum += double{out[i]} * out[i];
        return 10 * std::log10(sum / static_cast<double>(out.size() - 44100));
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

// Normalising, a press brings its file to the target loudness, its true peak
// held at -1 dBTP; the slot's volume still scales on top, and a gain only
// ever changes at a press.
TEST(Player, NormalisingBringsEachPressToTheTargetUnderTheTruePeakCeiling) {
    PlayerRig rig;
    const auto gainDb = [&](const QString& file, int32_t volume = kVolumeUnity) {
        rig.player.setFileName(file);
        EXPECT_TRUE(rig.measured());
        rig.player.setVolume(volume);
        rig.host.setNormalising(false, -23);
        const double plain = rig.playedDb();
        rig.host.setNormalising(true, -23);
        return rig.playedDb() - plain;
    };
    EXPECT_NEAR(gainDb(rig.tone("quiet.wav", 3000, -33)), 10.0, 0.15);
    EXPECT_NEAR(gainDb(rig.tone("loud.wav", 3000, -10)), -13.0, 0.15);
    // A -33 LUFS tone whose spike would pass the ceiling at +10 dB: held under it.
    const double held = gainDb(rig.tone("spike.wav", 3000, -33, 0.75f));
    ASSERT_TRUE(rig.player.Loudness());
    EXPECT_NEAR(rig.player.Loudness()->peak + held, -1.0, 0.15);
    EXPECT_LT(held, 5.0);
    // The volume on top: half travel, -18 dB, normalised or not.
    rig.host.setNormalising(true, -23);
    rig.player.setFileName(rig.tone("quiet.wav", 3000, -33));
    ASSERT_TRUE(rig.measured());
    const double full = rig.playedDb();
    rig.player.setVolume(kVolumeUnity / 2);
    EXPECT_NEAR(rig.playedDb() - full, 20 * std::log10(0.125), 0.15);
    rig.player.setVolume(kVolumeUnity);

    // Not measured yet: the plain level, kept to its end when the figures
    // come in the middle of it; the next press takes them.
    PlayerRig fresh;
    fresh.host.setNormalising(true, -23);
    fresh.player.setFileName(fresh.tone("quiet.wav", 3000, -33));
    fresh.player.Play();
    const std::vector<float> plain = fresh.render(4410);
    EXPECT_TRUE(fresh.measured());
    fresh.player.setVolume(kVolumeUnity);  // a slider moved meanwhile
    const std::vector<float> after = fresh.render(4410);
    const auto peak = [](const std::vector<float>& out) {
        return *std::max_element(out.begin(), out.end());
    };
    EXPECT_NEAR(peak(plain), std::pow(10.0, -33 / 20.0), 0.001);
    EXPECT_NEAR(peak(after), peak(plain), 0.001);
    fresh.player.Stop();
    fresh.render(2048);
    fresh.player.Play();
    EXPECT_NEAR(peak(fresh.render(4410)), std::pow(10.0, -23 / 20.0), 0.005);
}

// The figures are kept beside the palettes: the same files loaded again,
// after a restart too, are not measured again; a file rewritten is; a
// damaged record is read for what it holds.
TEST(Player, LoudnessIsMeasuredOncePerVersionOfAFileAndKeptBesideThePalettes) {
    testing::TempDir palettes;
    const std::string a = palettes.file("a.wav"), b = palettes.file("b.wav");
    writeTone(a, 1000, -20);
    writeTone(b, 1000, -30);
    std::optional<PlayerRig> rig(std::in_place);
    // Loads both in turn, as a palette does: the measures it took.
    const auto load = [&](double aLufs) {
        rig->host.setLoudnessFolder(QString::fromStdString(palettes.path()));
        const int before = rig->host.meter().measures();
        for (const auto& [file, lufs] : {std::pair{a, aLufs}, std::pair{b, -30.0}}) {
            rig->player.setFileName(platform::toSystemPath(QString::fromStdString(file)));
            EXPECT_TRUE(rig->measured());
            EXPECT_NEAR(rig->player.Loudness().value_or(audio::Loudness{}).lufs, lufs, 0.1);
        }
        EXPECT_TRUE(
            testing::waitUntil([&] { return rig->host.meter().idle(); }, std::chrono::seconds(10)));
        return rig->host.meter().measures() - before;
    };
    EXPECT_EQ(load(-20), 2);
    EXPECT_EQ(load(-20), 0);  // loaded again
    rig.emplace();            // a restart
    EXPECT_EQ(load(-20), 0);
    writeTone(a, 1200, -26);  // rewritten
    EXPECT_EQ(load(-26), 1);
    rig.emplace();
    EXPECT_EQ(load(-26), 0);

    // A line cut short, a size that is no number, bytes that are no text:
    // skipped; b's line is still read.
    const std::string kept = palettes.file(LoudnessMeter::kCacheName);
    std::string bLine;
    for (std::ifstream in(kept); std::getline(in, bLine);) {
        if (bLine.starts_with(b + '\t')) break;
    }
    ASSERT_TRUE(bLine.starts_with(b + '\t'));
    std::ofstream(kept, std::ios::binary | std::ios::trunc)
        << a << "\t12\n"
        << a << "\tdouze\t3\t-26\t0\t-26\n"
        << std::string("\xff\xfe\0\t\t\t\t\t\n", 9) << bLine << "\n";
    rig.emplace();
    EXPECT_EQ(load(-26), 1);
    std::ifstream again(kept);
    const std::string whole((std::istreambuf_iterator<char>(again)), {});
    EXPECT_NE(whole.find(a + '\t'), std::string::npos);
    EXPECT_EQ(whole.find("douze"), std::string::npos);
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
