// The pieces of a slot below the window: its texts, its volume slider and
// the high-resolution timer of the refresh and loop ticks.

#include "playback/slot_playback.h"

#include <gtest/gtest.h>

#include <QWidget>

#include "playback/mm_hi_timer.h"
#include "playback/mm_slider.h"
#include "tests/support/event_wait.h"

namespace tambrel::playback {
namespace {

TEST(SlotText, FTimeShowsMinutesAndSecondsOrDashes) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "--:--"},         {999, "--:--"},     {-1, "--:--"},      {-5000, "--:--"},
        {1000, "00:01"},      {2999, "00:02"},    {59999, "00:59"},   {60000, "01:00"},
        {205000, "03:25"},    {3599999, "59:59"}, {5999999, "99:59"}, {6000000, "00:00"},
        {INT32_MAX, "91:23"},
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(FTime(ms), QString::fromLatin1(text)) << ms;
}

// French figures: a comma, a true minus sign, the gain signed; what the
// measure cannot judge says so, and has no gain.
TEST(SlotText, LoudnessFiguresAreWrittenTheFrenchWay) {
    using audio::Loudness;
    EXPECT_EQ(loudnessText({Loudness::Kind::Measured, -18.44, 6, -0.56}, std::nullopt),
              QStringLiteral("−18,4 LUFS · crête −0,6 dBTP"));
    EXPECT_EQ(loudnessText({Loudness::Kind::Measured, -25.1, 6, 0.04}, 2.06),
              QStringLiteral("−25,1 LUFS · crête 0,0 dBTP · +2,1 dB"));
    EXPECT_EQ(loudnessText({Loudness::Kind::Measured, -9, 6, -0.5}, -14.02),
              QStringLiteral("−9,0 LUFS · crête −0,5 dBTP · −14,0 dB"));
    EXPECT_EQ(loudnessText({Loudness::Kind::TooShort, 0, 0, -3}, 0.0),
              QStringLiteral("trop court · crête −3,0 dBTP"));
    EXPECT_EQ(loudnessText({Loudness::Kind::Silent, 0, 0, -200}, 0.0),
              QStringLiteral("silencieux"));
}

TEST(SlotText, NomCourtIsTheFileNameWithoutItsExtension) {
    // Either slash separates, but only "/" in a Linux path; without a
    // separator there is no name. A name without an extension is shown whole.
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\Jingles\\Intro.mp3", "Intro"},
        {"\\home\\ana\\Top.wav", "Top"},
        {"/srv/jingles/Bruit.flac", "Bruit"},
        {"C:/Sons/a.b.wav", "a.b"},
        {"Intro.mp3", ""},
        {"C:\\a\\b.wave", "b"},
        {"\\srv\\AC/DC.mp3", "DC"},
        {"/srv/AC\\DC.opus", "AC\\DC"},
        {"C:\\x\\abc", "abc"},
        {"C:\\x\\abcd", "abcd"},
        {"C:\\x\\", ""},
        {"/srv/Pub v2.0", "Pub v2.0"},
        {"/srv/Top.Intro", "Top.Intro"},
        {"/srv/.wav", ".wav"},
    };
    for (const auto& [path, name] : cases) {
        EXPECT_EQ(NomCourt(QString::fromLatin1(path)), QString::fromLatin1(name)) << path;
    }
    EXPECT_EQ(NomCourt(QString()), QString());
}

TEST(SlotText, QuelleLigneGivesTheLineOfASlot) {
    const std::pair<int16_t, int16_t> cases[] = {{0, 0},  {3, 0},  {4, 1},  {11, 2},       {24, 6},
                                                 {27, 6}, {28, 0}, {-1, 0}, {INT16_MIN, 0}};
    for (const auto& [slot, line] : cases) EXPECT_EQ(QuelleLigne(slot), line) << slot;
}

TEST(Slider, VerticalOnTheVolumeScaleWithChangeAndTrackEvents) {
    QWidget window;
    MMSliderX slider(&window, 5);
    EXPECT_EQ(slider.slider()->orientation(), Qt::Vertical);
    EXPECT_EQ(slider.MaxValue(), 17000);
    EXPECT_EQ(slider.slider()->minimum(), 0);

    std::vector<int32_t> changes;
    std::vector<int32_t> tracks;
    // (That each reports its own slot, the window's volume tests show.)
    slider.OnChange = [&](int16_t) { changes.push_back(slider.Value()); };
    slider.OnTrack = [&](int16_t) { tracks.push_back(slider.Value()); };
    slider.setValue(8500);  // a write raises OnChange, not OnTrack
    slider.setValue(8500);  // no change, no event
    EXPECT_EQ(changes, std::vector<int32_t>{8500});
    EXPECT_TRUE(tracks.empty());

    // The operator drags the thumb.
    slider.slider()->setSliderDown(true);
    slider.slider()->setSliderPosition(9000);
    slider.slider()->setSliderDown(false);
    EXPECT_EQ(tracks.size(), 1u);
    EXPECT_EQ(changes.back(), 9000);
}

TEST(HiTimer, PreciseAndRunningFromCreation) {
    int ticks = 0;
    MMHiTimerX timer(20, [&] { ++ticks; });
    EXPECT_EQ(timer.Interval(), 20);
    EXPECT_TRUE(timer.running());  // nothing else starts it
    EXPECT_TRUE(timer.precise());  // a coarse timer may be 5 % late: a meter's tick in 20 ms
    // It reaches its handler through the window's event loop.
    EXPECT_TRUE(testing::turnEventsUntil([&] { return ticks > 0; }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace tambrel::playback
