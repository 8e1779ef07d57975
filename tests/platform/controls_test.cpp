// The window-system adapters: twips, colours, repaint only on change, the
// drawing surface's scale and the dialog filter (the palette list is tested
// from the window).

#include "platform/controls.h"

#include <gtest/gtest.h>

#include "platform/colors.h"
#include "platform/dialogs.h"
#include "tests/support/fake_platform.h"

namespace tambrel::platform {
namespace {

TEST(Controls, TwipsAndColoursAreKeptAsWrittenAndShownAtFifteenToAPixel) {
    QWidget parent;
    Label label(&parent);
    label.Move(420, -1000, 600, 255);
    EXPECT_EQ(label.Left(), 420);
    EXPECT_EQ(label.Top(), -1000);
    EXPECT_EQ(label.widget()->geometry(), QRect(28, -67, 40, 17));
    label.setBackColor(rgb(255, 224, 192));
    EXPECT_EQ(label.BackColor(), 12640511);
    EXPECT_EQ(label.widget()->palette().color(QPalette::Window), QColor(255, 224, 192));
    EXPECT_EQ(QBColor(9), 16711680);
    EXPECT_EQ(QBColor(12), 255);
    EXPECT_EQ(QBColor(8), rgb(128, 128, 128));
    EXPECT_EQ(fromQColor(toQColor(9821225)), 9821225);

    label.setCaption(QStringLiteral("Top\r\n\r\nA"));
    EXPECT_EQ(label.Caption(), QStringLiteral("Top\r\n\r\nA"));
    EXPECT_EQ(static_cast<QLabel*>(label.widget())->text(), QStringLiteral("Top\n\nA"));
}

TEST(DrawingSurface, DrawsInItsScaleKeepsTheDrawingAndRepaintsOnlyChanges) {
    int repaints = 0;
    DrawingSurface surface([&](const QRect&) { ++repaints; });
    surface.resize(QSize(100, 16));
    EXPECT_FLOAT_EQ(surface.ScaleWidth(), 1500.0f);  // twips until told otherwise
    EXPECT_THROW(surface.setScaleWidth(0), std::invalid_argument);
    surface.setScaleWidth(4000);  // a 4-second file
    surface.setBackColor(rgb(200, 200, 200));
    repaints = 0;
    surface.FillBox(0, 0, 1000, 190, QBColor(9));
    EXPECT_EQ(repaints, 1);
    const QRgb blue = qRgb(0, 0, 255);
    EXPECT_EQ(surface.image().pixel(24, 0), blue);  // a quarter across
    EXPECT_NE(surface.image().pixel(25, 0), blue);  // the far edge is left out
    EXPECT_EQ(surface.image().pixel(0, 11), blue);  // 190 twips: 12.7 pixels down
    EXPECT_NE(surface.image().pixel(0, 13), blue);
    surface.FillBox(0, 0, 1000, 190, QBColor(9));  // nothing new: no repaint
    EXPECT_EQ(repaints, 1);
    EXPECT_FLOAT_EQ(surface.scaleX(50), 2000.0f);
    surface.resize(QSize(100, 16));
    EXPECT_EQ(surface.image().pixel(24, 0), blue);  // kept across a repaint or resize
    surface.Cls();
    EXPECT_EQ(surface.image().pixel(24, 0), qRgb(200, 200, 200));
    EXPECT_EQ(repaints, 2);
}

TEST(Dialogs, FilterMatchesBothCasesAndACancelLeavesTheLastChoice) {
    EXPECT_EQ(toolkitFilter(QStringLiteral("Audio File mp3 Wav | *.mp3;*.wav")),
              QStringLiteral("Audio File mp3 Wav (*.[mM][pP]3 *.[wW][aA][vV])"));

    testing::ScriptedDialogs dialogs;
    dialogs.openAnswers = {QStringLiteral("/home/ana/Intro.mp3")};
    CommonDialog dial(dialogs);
    EXPECT_TRUE(dial.ShowOpen());
    EXPECT_EQ(dial.FileName, QStringLiteral("/home/ana/Intro.mp3"));
    EXPECT_FALSE(dial.ShowOpen());  // no answer left: cancelled
    EXPECT_EQ(dial.FileName, QStringLiteral("/home/ana/Intro.mp3"));
    dial.Color = 255;
    EXPECT_FALSE(dial.ShowColor());
    EXPECT_EQ(dial.Color, 255);
}

}  // namespace
}  // namespace tambrel::platform
