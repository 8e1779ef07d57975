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

const QRgb kGrey = qRgb(128, 128, 128);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBack = qRgb(10, 20, 30);

struct Canvas {
    DrawingSurface surface{[](const QRect&) {}};
    testing::ScriptedDialogs dialogs;
    Settings before;
    explicit Canvas(int width, int height) {
        surface.resize(QSize(width, height));
        surface.setBackColor(platform::rgb(10, 20, 30));
        surface.setForeColor(platform::rgb(1, 2, 3));
        surface.setScaleWidth(77);  // an odd user scale, to be put back
        surface.setScaleHeight(33);
        before = settingsOf(surface);
    }
    QRgb at(int x, int y) const { return surface.image().pixel(x, y); }
    // The pixels at these points, in order.
    std::vector<QRgb> at(std::initializer_list<QPoint> points) const {
        std::vector<QRgb> out;
        for (const QPoint& p : points) out.push_back(at(p.x(), p.y()));
        return out;
    }
    bool settingsKept() const { return settingsOf(surface) == before; }
};

TEST(Drawing, GradientBandsFollowTheirLevelsAndTheDefaults) {
    Canvas canvas(512, 512);
    DrawGradient(canvas.surface, true, true, true, true, false, true, 2);
    EXPECT_TRUE(canvas.settingsKept());
    // Bands 0, 98, 100 and 255: levels 1, 50, 51 and 206, from the top.
    EXPECT_EQ(canvas.at({{100, 0}, {100, 197}, {100, 200}, {100, 511}}),
              (std::vector<QRgb>{qRgb(254, 254, 254), qRgb(205, 205, 205), qRgb(204, 204, 204),
                                 qRgb(49, 49, 49)}));
    EXPECT_EQ(canvas.at(0, 300), canvas.at(511, 300));  // rows only

    Canvas plain(512, 512);
    DrawGradient(plain.surface, true, true, true, true, false, false, 2);
    EXPECT_EQ(plain.at({{5, 0}, {5, 511}}),
              (std::vector<QRgb>{qRgb(1, 1, 1), qRgb(206, 206, 206)}));

    // No colour: blue. No direction: columns, left to right.
    Canvas blue(256, 100);
    DrawGradient(blue.surface, {}, {}, {}, {}, {}, {}, 2);
    EXPECT_EQ(blue.at({{0, 50}, {255, 50}}), (std::vector<QRgb>{qRgb(0, 0, 254), qRgb(0, 0, 49)}));
    EXPECT_EQ(blue.at(255, 0), blue.at(255, 99));
    // Red alone; both directions off: columns.
    Canvas red(256, 100);
    DrawGradient(red.surface, true, {}, {}, false, false, false, 2);
    EXPECT_EQ(red.at({{0, 10}, {255, 10}}), (std::vector<QRgb>{qRgb(1, 0, 0), qRgb(206, 0, 0)}));
}

TEST(Drawing, BevelRingsLieOutsideTheRectangleWithTheirCorners) {
    Canvas canvas(40, 40);
    Draw3dRect(canvas.surface, canvas.dialogs, 10, 10, 20, 20, 3, Enfonce, 8);
    EXPECT_TRUE(canvas.settingsKept());
    for (int ring = 7; ring <= 9; ++ring) {
        // Left and top, then right and bottom (21 to 23).
        EXPECT_EQ(canvas.at({{ring, 15}, {15, ring}, {30 - ring, 15}, {15, 30 - ring}}),
                  (std::vector<QRgb>{kGrey, kGrey, kWhite, kWhite}))
            << ring;
    }
    // The left corners take the first colour, the right ones the second;
    // inside is untouched, and there is no fourth ring.
    EXPECT_EQ(canvas.at({{7, 7}, {7, 23}, {23, 7}, {23, 23}, {10, 10}, {6, 15}}),
              (std::vector<QRgb>{kGrey, kGrey, kWhite, kWhite, kBack, kBack}));
    EXPECT_TRUE(canvas.dialogs.asked.empty());

    Canvas wrong(40, 40);
    Draw3dRect(wrong.surface, wrong.dialogs, 10, 10, 20, 20, 3, 1, 8);
    ASSERT_EQ(wrong.dialogs.asked.size(), 1u);
    EXPECT_EQ(wrong.dialogs.last(),
              "MsgBox | 16 | Draw3dRect() | Style doit valoir 'Enfonce' ou 'Relief'");
    EXPECT_EQ(wrong.at({{8, 15}, {22, 15}}), (std::vector<QRgb>{qRgb(0, 0, 0), qRgb(0, 0, 0)}));

    Canvas none(40, 40);
    Draw3dRect(none.surface, none.dialogs, 10, 10, 20, 20, 0, Relief, 8);
    EXPECT_EQ(none.at(9, 15), kBack);
}

TEST(Drawing, FramesSitAtTheirMarginInsideTheSurface) {
    Canvas canvas(300, 300);
    Draw3dFrame(canvas.surface, canvas.dialogs, 2, 3, Relief, 8);
    EXPECT_TRUE(canvas.settingsKept());
    // Rings at 1 and 0 (-1 falls off), then 298 and 299 (300 falls off).
    EXPECT_EQ(canvas.at({{0, 150}, {1, 150}, {2, 150}, {298, 150}, {299, 150}, {150, 299}}),
              (std::vector<QRgb>{kWhite, kWhite, kBack, kGrey, kGrey, kGrey}));

    // The palette window's frame: columns 2 to 4 from each edge.
    Canvas window(200, 120);
    Draw3dFrame(window.surface, window.dialogs, 5, 3, Enfonce, 8);
    EXPECT_EQ(window.at({{1, 60}, {2, 60}, {3, 60}, {4, 60}, {5, 60}}),
              (std::vector<QRgb>{kBack, kGrey, kGrey, kGrey, kBack}));
    EXPECT_EQ(window.at({{195, 60}, {196, 60}, {197, 60}, {100, 115}, {100, 116}, {100, 117}}),
              std::vector<QRgb>(6, kWhite));
}

}  // namespace
}  // namespace tambrel::draw
