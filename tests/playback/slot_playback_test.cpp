#include "playback/slot_playback.h"

#include <gtest/gtest.h>

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

TEST(SlotText, NomCourtIsTheFileNameWithoutItsExtension) {
    EXPECT_EQ(NomCourt(QStringLiteral("C:\\Jingles\\Intro.mp3")), QStringLiteral("Intro"));
    EXPECT_EQ(NomCourt(QStringLiteral("\\home\\ana\\Top.wav")), QStringLiteral("Top"));
    EXPECT_EQ(NomCourt(QStringLiteral("Intro.mp3")), QString());  // no "\"
    EXPECT_EQ(NomCourt(QString()), QString());
    EXPECT_EQ(NomCourt(QStringLiteral("C:\\a\\b.wave")), QStringLiteral("b."));
    // Only "\" separates; a "/" belongs to the name.
    EXPECT_EQ(NomCourt(QStringLiteral("\\srv\\AC/DC.mp3")), QStringLiteral("AC/DC"));
    // Fewer than four characters after the "\": the name is shown whole.
    EXPECT_EQ(NomCourt(QStringLiteral("C:\\x\\abc")), QStringLiteral("abc"));
    EXPECT_EQ(NomCourt(QStringLiteral("C:\\x\\")), QString());
    EXPECT_EQ(NomCourt(QStringLiteral("C:\\x\\abcd")), QString());
}

TEST(SlotText, QuelleLigneGivesTheLineOfASlot) {
    EXPECT_EQ(QuelleLigne(0), 0);
    EXPECT_EQ(QuelleLigne(3), 0);
    EXPECT_EQ(QuelleLigne(4), 1);
    EXPECT_EQ(QuelleLigne(11), 2);
    EXPECT_EQ(QuelleLigne(24), 6);
    EXPECT_EQ(QuelleLigne(27), 6);
    EXPECT_EQ(QuelleLigne(28), 0);
    EXPECT_EQ(QuelleLigne(-1), 0);
    EXPECT_EQ(QuelleLigne(INT16_MIN), 0);
}

}  // namespace
}  // namespace tambrel::playback
