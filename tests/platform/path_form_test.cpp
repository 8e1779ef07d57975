#include "platform/path_form.h"

#include <gtest/gtest.h>

namespace tambrel::platform {
namespace {

TEST(PathForm, SlashesSwapBothWaysAndEveryNameSurvivesTheRoundTrip) {
    EXPECT_EQ(toNativePath(QStringLiteral("\\home\\ana\\Jingles\\Intro.mp3")),
              QStringLiteral("/home/ana/Jingles/Intro.mp3"));
    EXPECT_EQ(toSystemPath(QStringLiteral("/home/ana/Jingles/Intro.mp3")),
              QStringLiteral("\\home\\ana\\Jingles\\Intro.mp3"));
    // A native name may hold a backslash; in the system's form it is the
    // ordinary slash, so it never reads as a separator.
    const QString odd = QStringLiteral("/srv/jingles/AC\\DC \"live\", été.wav");
    EXPECT_EQ(toSystemPath(odd), QStringLiteral("\\srv\\jingles\\AC/DC \"live\", été.wav"));
    EXPECT_EQ(toNativePath(toSystemPath(odd)), odd);
    EXPECT_EQ(toNativePath(QString()), QString());
}

}  // namespace
}  // namespace tambrel::platform
