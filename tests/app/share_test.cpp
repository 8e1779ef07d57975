// Jingles on a share that hangs: the window never waits for it, a local
// slot plays meanwhile, the share's slots say so and load once it answers,
// and a jingle read whole plays on through a share that stalls.

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/audio/decoder.h"
#include "playback/sound_loader.h"
#include "tests/app/window_rig.h"
#include "tests/support/slow_share.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using namespace std::chrono_literals;
using Call = testing::SlowShare::Call;
constexpr Call kEveryCall[] = {Call::GetAttr, Call::Open, Call::Read, Call::ReadDir, Call::Write};

struct ShareTest : ::testing::Test, WindowRig {
    std::string source = dir.file("source");
    std::string mount = dir.file("mount");
    bool made = ::mkdir(source.c_str(), 0755) == 0 && ::mkdir(mount.c_str(), 0755) == 0;
    std::unique_ptr<testing::SlowShare> share;

    void SetUp() override {
        ASSERT_TRUE(made);
        share = std::make_unique<testing::SlowShare>(source, mount);
        ASSERT_TRUE(share->ok()) << share->problem();
        audio.loadWait = 0ms;  // as the program: nothing waits on a file
    }
    // The window, its palettes read as the program reads them, without waiting.
    void open() {
        start();
        window->File1.Wait = 0ms;
    }
    bool turnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return testing::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                audio.pump();
                return done();
            },
            limit, 1ms);
    }
    void TearDown() override {
        window.reset();
        share.reset();
    }
    // A jingle of the share's, by its path through the mount.
    QString jingle(const std::string& name, int ms) {
        EXPECT_TRUE(testing::writeAudio(source + "/" + name, testing::FileKind::Wav16, 44100, 2,
                                        int64_t{44100} * ms / 1000, testing::staircase));
        return QString::fromStdString(mount + "/" + name);
    }
    bool heard() {
        const std::vector<float> frames = render(4410);
        return std::any_of(frames.begin(), frames.end(), [](float x) { return x != 0.0f; });
    }
};

TEST_F(ShareTest, AHungShareHoldsNeitherTheWindowNorALocalSlotAndItsSlotsPlayOnceItAnswers) {
    std::array<QString, kSlots> files;
    for (int16_t i = 0; i + 1 < kSlots; ++i)
        files[i] = jingle("j" + std::to_string(i) + ".wav", 500);
    files[kSlots - 1] = wav("local.wav", 2000);
    open();
    window->File1.Wait = 5s;  // the palette is local; its files are on the share
    for (const Call call : kEveryCall) ASSERT_TRUE(share->hang(call));
    put("Matin.Bnk", palette(files));

    const auto before = std::chrono::steady_clock::now();
    pick("Matin.Bnk");
    const auto took = std::chrono::steady_clock::now() - before;
    std::printf("a palette of 27 files on a hung share loaded in %.1f ms on the window\n",
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_LT(took, 1s);
    EXPECT_EQ(shows(0), "j0\r\n\r\nA|chargement…");

    // The local slot plays at once.
    ASSERT_TRUE(turnUntil([&] { return window->Player[kSlots - 1]->Ready(); }));
    window->Touche_Click(kSlots - 1);
    EXPECT_EQ(onAir(), std::string(1, slotLetter(kSlots - 1).at(0).toLatin1()));
    EXPECT_TRUE(heard());
    window->Touche_Click(kSlots - 1);

    // Past the bound, the share's slots say it does not answer.
    std::this_thread::sleep_for(playback::SoundLoader::kNoAnswer + 300ms);
    audio.pump();
    window->Timer1_OnTimer();
    for (const int16_t slot : {0, 5, 26}) {
        EXPECT_EQ(window->InfoTrack[slot]->Caption().toStdString(), "sans réponse") << slot;
    }
    EXPECT_EQ(window->InfoTrack[5]->ToolTipText().toStdString(), "Partage sans réponse : " + mount);

    // Once it answers, the slots load again by themselves, and play.
    ASSERT_TRUE(share->release());
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            audio.pump();
            window->Timer1_OnTimer();
            return std::all_of(window->Player.begin(), window->Player.end(),
                               [](const auto& player) { return player->Ready(); });
        },
        20s, 20ms));
    window->Touche_Click(5);
    EXPECT_EQ(onAir(), "F");
    EXPECT_TRUE(heard());
}

// The palette folder on the share (dossier_palettes=): a palette whose share
// does not answer holds nothing, is given up on the window, and its late
// answer loads nothing; once the share answers, it loads, and another
// studio's changes are followed and never overwritten without asking.
TEST_F(ShareTest, APaletteOnAShareThatDoesNotAnswerHoldsNothingAndLoadsNothingLate) {
    put("Options.ini", ("dossier_palettes=" + mount + "\n").c_str());
    std::array<QString, kSlots> files;
    files[0] = wav("local.wav", 1000);
    std::ofstream(source + "/Matin.Bnk", std::ios::binary) << palette(files).toStdString();
    open();
    ASSERT_TRUE(turnUntil([&] { return window->ComboBank->ListCount() == 1; }));
    ASSERT_TRUE(share->hang(Call::Open));
    const std::string empty = shows(0);

    const auto before = std::chrono::steady_clock::now();
    pick("Matin.Bnk");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    system.clock += 3.5;
    window->Timer1_OnTimer();
    EXPECT_EQ(window->messageStrip->Caption().toStdString(),
              "Palette non chargée : partage sans réponse — " + mount + "/");
    EXPECT_EQ(window->ComboBank->Text(), QString());
    ASSERT_TRUE(share->release());
    turnUntil([] { return false; }, 500ms);  // the late answer comes meanwhile
    EXPECT_EQ(shows(0), empty);
    EXPECT_EQ(window->BankName->Caption(), QString());

    pick("Matin.Bnk");
    EXPECT_TRUE(turnUntil([&] { return shows(0) == "local\r\n\r\nA|00:01"; })) << shows(0);
    EXPECT_EQ(window->BankName->Caption(), QStringLiteral("Matin.Bnk"));
    window->File1.Wait = 5s;  // a save's answer within the click
    const size_t questions = dialogs.asked.size();
    window->MnuSauverBank_Click();  // as it was read: saved without a question
    EXPECT_EQ(dialogs.asked.size(), questions);

    // Another studio saves Matin, as a save does, and adds Soir: the list
    // follows, and a save over their Matin asks first; Non, the default,
    // writes nothing.
    const std::string theirs = palette({wav("theirs.wav", 1000)}).toStdString();
    std::ofstream(source + "/.Matin.tmp", std::ios::binary) << theirs;
    std::filesystem::rename(source + "/.Matin.tmp", source + "/Matin.Bnk");
    std::ofstream(source + "/Soir.Bnk", std::ios::binary) << theirs;
    EXPECT_TRUE(turnUntil([&] { return window->ComboBank->ListCount() == 2; }));
    const auto onShare = [&] {
        std::ifstream file(source + "/Matin.Bnk", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    dialogs.msgBoxAnswers = {platform::kAnswerNo};
    window->MnuSauverBank_Click();
    EXPECT_EQ(asked().text,
              QStringLiteral("Matin.Bnk a été modifiée sur un autre poste. Écraser ?"));
    EXPECT_EQ(onShare(), theirs);
    dialogs.msgBoxAnswers = {platform::kAnswerYes};
    window->MnuSauverBank_Click();
    EXPECT_NE(onShare().find("local.wav"), std::string::npos);
}

// A share that fails its reads: the slot says so. Played in real time
// while every read of the share hangs for ten seconds: no gap.
TEST_F(ShareTest, AJingleReadWholePlaysThroughAShareThatStalls) {
    open();
    ASSERT_TRUE(share->fail(Call::Read, EIO));
    assign(1, jingle("failing.wav", 1000));
    ASSERT_TRUE(turnUntil([&] { return !window->Player[1]->Loading(); }));
    EXPECT_EQ(shows(1), "failing\r\n\r\nB|illisible");
    EXPECT_EQ(window->InfoTrack[1]->ToolTipText().toStdString(),
              "Fichier illisible : " + mount + "/failing.wav");
    ASSERT_TRUE(share->release());
    assign(0, jingle("long.wav", 12000));
    ASSERT_TRUE(turnUntil([&] { return window->Player[0]->Ready(); }));
    EXPECT_GT(audio::bytesHeldWhole(), 12 * 44100 * 4 - 1);
    window->Touche_Click(0);
    audio::NullOutput* output = backend->output(std::nullopt);
    ASSERT_NE(output, nullptr);
    std::vector<float> period(2 * 441);
    ASSERT_TRUE(share->hang(Call::Read));
    int silent = 0;
    const auto began = std::chrono::steady_clock::now();
    for (auto next = began; next - began < 10s; next += 10ms) {
        std::this_thread::sleep_until(next);
        output->render(period.data(), 441);
        silent += std::all_of(period.begin(), period.end(), [](float x) { return x == 0.0f; });
    }
    ASSERT_TRUE(share->release());
    EXPECT_EQ(audio.engine().dryPeriods(), 0U);
    EXPECT_EQ(silent, 0);
    EXPECT_EQ(onAir(), "A");
}

// A bed too long to be read whole streams from the share: when the share
// stalls under it, its slot says so, and a local bed read as it plays
// meanwhile never waits on that share.
TEST_F(ShareTest, ABedStreamedFromAStalledShareSaysItStarvedAndTheOthersPlayOn) {
    open();
    const int64_t seconds = audio::kMostBytesReadWhole / (44100 * 4) + 20;
    ASSERT_TRUE(testing::writeAudio(source + "/bed.wav", testing::FileKind::Wav16, 44100, 2,
                                    44100 * seconds, testing::staircase));
    assign(0, QString::fromStdString(mount + "/bed.wav"));
    assign(1, wav("local.wav", 20000));
    ASSERT_TRUE(
        turnUntil([&] { return window->Player[0]->Ready() && window->Player[1]->Ready(); }, 10s));
    EXPECT_EQ(audio::bytesHeldWhole(), 0);  // the bed is read as it plays
    window->Touche_Click(0);
    window->Touche_Click(1);
    audio::NullOutput* output = backend->output(std::nullopt);
    ASSERT_NE(output, nullptr);
    std::vector<float> period(2 * 441);
    // Twice as fast as real time: either read-ahead keeps up with that.
    const auto play = [&](std::chrono::milliseconds length) {
        int silent = 0;
        auto next = std::chrono::steady_clock::now();
        for (auto played = 0ms; played < length; played += 10ms, next += 5ms) {
            std::this_thread::sleep_until(next);
            output->render(period.data(), 441);
            silent += std::all_of(period.begin(), period.end(), [](float x) { return x == 0.0f; });
        }
        return silent;
    };
    EXPECT_EQ(play(1000ms), 0);
    window->Timer1_OnTimer();
    EXPECT_EQ(window->Touche[0]->Notice(), "");

    ASSERT_TRUE(share->hang(Call::Read));
    EXPECT_EQ(play(7000ms), 0);  // the local bed sounds all through
    window->Timer1_OnTimer();
    EXPECT_GT(window->Player[0]->aired().dryPeriods, 0U);
    EXPECT_EQ(window->Player[1]->aired().dryPeriods, 0U);
    EXPECT_EQ(window->Touche[0]->Notice().toStdString(),
              "Partage lent : bed coupé, en attente du partage");
    EXPECT_EQ(window->InfoTrack[0]->BackColor(), platform::kNoticeColor);
    EXPECT_EQ(window->Touche[1]->Notice(), "");
    EXPECT_EQ(onAir(), "AB");

    // Once the share answers, the bed sounds again.
    ASSERT_TRUE(share->release());
    play(500ms);
    const uint32_t dry = window->Player[0]->aired().dryPeriods;
    const int64_t before = window->Player[0]->aired().frames;
    play(500ms);
    EXPECT_EQ(window->Player[0]->aired().dryPeriods, dry);
    EXPECT_GT(window->Player[0]->aired().frames, before);
}

}  // namespace
}  // namespace tambrel::app
