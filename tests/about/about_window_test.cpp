// The about window: where it stands, what it says, what closes it, and the
// palette playing on while it is open from the menu.

#include "about/about_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "platform/colors.h"
#include "playback/slot_playback.h"
#include "tests/app/window_rig.h"

namespace tambrel::about {
namespace {

TEST(AboutWindow, CentredWithItsVersionLineFramedAndClosedByPictureOrCreditLine) {
    testing::ScriptedDialogs dialogs;
    for (const char* target : {"picture", "credit"}) {
        F2 box(dialogs);
        box.show();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        EXPECT_LE((box.frameGeometry().center() - screen.center()).manhattanLength(), 2);
        EXPECT_EQ(box.surface()->size(), QSize(300, 300));
        EXPECT_EQ(box.Info->Caption(), QStringLiteral("Ver 1.1 - Révision du 08 Août 2004"));
        EXPECT_EQ(box.Info->widget()->geometry(), QRect(8, 40, 281, 17));
        EXPECT_EQ(box.Label1->widget()->geometry(), QRect(16, 276, 265, 17));
        // The double bevel: raised outside (white at 0 and 1), sunken inside
        // (grey at 2 to 4), along the top and left.
        const QImage& image = box.surface()->surface().image();
        for (int x : {0, 1, 296}) EXPECT_EQ(image.pixel(x, 150), qRgb(255, 255, 255)) << x;
        for (int x : {3, 299}) EXPECT_EQ(image.pixel(x, 150), qRgb(128, 128, 128)) << x;

        QTest::mouseClick(box.Info->widget(), Qt::LeftButton);
        EXPECT_TRUE(box.isVisible()) << "the version line closes nothing";
        QWidget* where = std::string(target) == "picture" ? static_cast<QWidget*>(box.surface())
                                                          : box.Label1->widget();
        QTest::mouseClick(where, Qt::LeftButton, {},
                          QPoint(where->width() / 2, 150 % where->height()));
        EXPECT_FALSE(box.isVisible()) << target;
    }
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST(AboutWindow, ModalFromTheMenuWhileThePalettePlaysAndTicksOn) {
    app::WindowRig rig;
    app::F1a& w = rig.start();
    rig.assign(0, rig.wav("short.wav", 200));
    w.Touche_Click(0);
    bool checked = false;
    QTimer::singleShot(50, [&] { rig.render(44100); });  // the jingle runs out meanwhile
    QTimer::singleShot(700, &w, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        auto* box = dynamic_cast<F2*>(modal);
        EXPECT_NE(box, nullptr);
        if (box == nullptr) {
            if (modal != nullptr) modal->close();  // a failed check must not leave a modal up
            return;
        }
        EXPECT_TRUE(box->isModal());
        EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("--:--"));   // its OnStop ran
        EXPECT_EQ(w.Touche[0]->BackColor(), w.Couleur[0]->BackColor());  // a refresh tick ran
        checked = true;
        box->Form_Click();
    });
    // Should a click fail to close it, the test fails instead of waiting forever.
    QTimer::singleShot(10000, &w, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "the box stayed open";
            modal->close();
        }
    });
    w.About_Click();
    EXPECT_TRUE(checked);
}

}  // namespace
}  // namespace tambrel::about
