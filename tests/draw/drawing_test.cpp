// The drawing routines, pixel by pixel, on a surface of known size.

#include "draw/drawing.h"

#include <gtest/gtest.h>

#include "platform/colors.h"
#include "platform/drawing_surface.h"
#include "tests/support/fake_platform.h"

namespace tambrel::draw {
namespace {

using platform::DrawingSurface;

struct Settings {
    bool autoRedraw;
    int16_t width, style, mode;
    int32_t fore;
    float scaleWidth, scaleHeight;
    bool operator==(const Settings&) const = default;
};
Settings settingsOf(const DrawingSurface& s) {
    return {s.AutoRedraw(), s.DrawWidth(),  s.DrawStyle(),  s.DrawMode(),
            s.ForeColor(),  s.ScaleWidth(), s.ScaleHeight()};
}

struct Canvas {
    DrawingSurface surface{[](const QRect&) {}};
    testing::ScriptedDialogs dialogs;
    explicit Canvas(int width, int height) {
        surface.resize(QSize(width, height));
        surface.setBackColor(platform::rgb(10, 20, 30));
        surface.setForeColor(platform::rgb(1, 2, 3));
        surface.setScaleWidth(77);  // an odd user scale, to be put back
        surface.setScaleHeight(33);
    }
    QRgb at(int x, int y) const { return surface.image().pixel(x, y); }
};

TEST(Drawing, GradientBandsFollowTheirLevelsAndTheDefaults) {
    Canvas canvas(512, 512);
    const Settings before = settingsOf(canvas.surface);
    DrawGradient(canvas.surface, true, true, true, true, false, true, 2);
    EXPECT_EQ(settingsOf(canvas.surface), before);
    EXPECT_EQ(canvas.at(100, 0), qRgb(254, 254, 254));    // band 0: level 1
    EXPECT_EQ(canvas.at(100, 197), qRgb(205, 205, 205));  // band 98: level 50
    EXPECT_EQ(canvas.at(100, 200), qRgb(204, 204, 204));  // band 100: level 51
    EXPECT_EQ(canvas.at(100, 511), qRgb(49, 49, 49));     // band 255: level 206
    EXPECT_EQ(canvas.at(0, 300), canvas.at(511, 300));    // rows only

    Canvas plain(512, 512);
    DrawGradient(plain.surface, true, true, true, true, false, false, 2);
    EXPECT_EQ(plain.at(5, 0), qRgb(1, 1, 1));
    EXPECT_EQ(plain.at(5, 511), qRgb(206, 206, 206));

    // No colour: blue. No direction: columns, left to right.
    Canvas blue(256, 100);
    DrawGradient(blue.surface, {}, {}, {}, {}, {}, {}, 2);
    EXPECT_EQ(blue.at(0, 50), qRgb(0, 0, 254));
    EXPECT_EQ(blue.at(255, 50), qRgb(0, 0, 49));
    EXPECT_EQ(blue.at(255, 0), blue.at(255, 99));
    // Red alone; both directions off: columns.
    Canvas red(256, 100);
    DrawGradient(red.surface, true, {}, {}, false, false, false, 2);
    EXPECT_EQ(red.at(0, 10), qRgb(1, 0, 0));
    EXPECT_EQ(red.at(255, 10), qRgb(206, 0, 0));
}

TEST(Drawing, BevelRingsLieOutsideTheRectangleWithTheirCorners) {
    Canvas canvas(40, 40);
    const Settings before = settingsOf(canvas.surface);
    Draw3dRect(canvas.surface, canvas.dialogs, 10, 10, 20, 20, 3, Enfonce, 8);
    EXPECT_EQ(settingsOf(canvas.surface), before);
    const QRgb grey = qRgb(128, 128, 128);
    const QRgb white = qRgb(255, 255, 255);
    const QRgb back = qRgb(10, 20, 30);
    for (int ring = 7; ring <= 9; ++ring) {
        EXPECT_EQ(canvas.at(ring, 15), grey) << ring;        // left
        EXPECT_EQ(canvas.at(15, ring), grey) << ring;        // top
        EXPECT_EQ(canvas.at(30 - ring, 15), white) << ring;  // right: 21 to 23
        EXPECT_EQ(canvas.at(15, 30 - ring), white) << ring;  // bottom
    }
    EXPECT_EQ(canvas.at(7, 7), grey);     // top left corner: first colour
    EXPECT_EQ(canvas.at(7, 23), grey);    // bottom left: first colour
    EXPECT_EQ(canvas.at(23, 7), white);   // top right: second colour
    EXPECT_EQ(canvas.at(23, 23), white);  // bottom right
    EXPECT_EQ(canvas.at(10, 10), back);   // inside untouched
    EXPECT_EQ(canvas.at(6, 15), back);    // no fourth ring
    EXPECT_TRUE(canvas.dialogs.asked.empty());

    Canvas wrong(40, 40);
    Draw3dRect(wrong.surface, wrong.dialogs, 10, 10, 20, 20, 3, 1, 8);
    ASSERT_EQ(wrong.dialogs.asked.size(), 1u);
    EXPECT_EQ(wrong.dialogs.asked[0].text,
              QStringLiteral("Style doit valoir 'Enfonce' ou 'Relief'"));
    EXPECT_EQ(wrong.dialogs.asked[0].title, QStringLiteral("Draw3dRect()"));
    EXPECT_EQ(wrong.dialogs.asked[0].style, 16);
    EXPECT_EQ(wrong.at(8, 15), qRgb(0, 0, 0));
    EXPECT_EQ(wrong.at(22, 15), qRgb(0, 0, 0));

    Canvas none(40, 40);
    Draw3dRect(none.surface, none.dialogs, 10, 10, 20, 20, 0, Relief, 8);
    EXPECT_EQ(none.at(9, 15), back);
}

TEST(Drawing, FramesSitAtTheirMarginInsideTheSurface) {
    Canvas canvas(300, 300);
    const Settings before = settingsOf(canvas.surface);
    Draw3dFrame(canvas.surface, canvas.dialogs, 2, 3, Relief, 8);
    EXPECT_EQ(settingsOf(canvas.surface), before);
    const QRgb grey = qRgb(128, 128, 128);
    const QRgb white = qRgb(255, 255, 255);
    EXPECT_EQ(canvas.at(0, 150), white);  // rings at 1 and 0; -1 falls off
    EXPECT_EQ(canvas.at(1, 150), white);
    EXPECT_EQ(canvas.at(2, 150), qRgb(10, 20, 30));
    EXPECT_EQ(canvas.at(298, 150), grey);  // 298 and 299; 300 falls off
    EXPECT_EQ(canvas.at(299, 150), grey);
    EXPECT_EQ(canvas.at(150, 299), grey);

    // The palette window's frame: columns 2 to 4 from each edge.
    Canvas window(200, 120);
    Draw3dFrame(window.surface, window.dialogs, 5, 3, Enfonce, 8);
    for (int x : {2, 3, 4}) EXPECT_EQ(window.at(x, 60), grey) << x;
    for (int x : {195, 196, 197}) EXPECT_EQ(window.at(x, 60), white) << x;
    EXPECT_EQ(window.at(1, 60), qRgb(10, 20, 30));
    EXPECT_EQ(window.at(5, 60), qRgb(10, 20, 30));
    for (int y : {115, 116, 117}) EXPECT_EQ(window.at(100, y), white) << y;
}

}  // namespace
}  // namespace tambrel::draw
