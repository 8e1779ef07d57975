// Remote requests on the real window: they go through the operator's own
// handlers, can do no more, and the state read back is what the slots show.

#include "remote/window_panel.h"

#include <gtest/gtest.h>

#include "palettes/palette_file.h"
#include "platform/path_form.h"
#include "tests/app/window_rig.h"

namespace tambrel::remote {
namespace {

TEST(WindowPanel, RemoteRequestsPlayLoopAndLoadAsTheOperatorWouldAndNoMore) {
    app::WindowRig rig;
    app::F1a& w = rig.start();
    WindowPanel panel(w);
    RemoteControl remote(panel);
    rig.assign(0, rig.wav("Intro.wav", 2000));
    const size_t asked = rig.dialogs.asked.size();

    EXPECT_EQ(remote.press(0), std::nullopt);
    EXPECT_EQ(rig.onAir(), "A");
    rig.render(4410);
    SlotView view = panel.slot(0);
    EXPECT_EQ(view.state, SlotState::Playing);
    EXPECT_EQ(view.name, QStringLiteral("Intro"));
    EXPECT_GT(view.remainingMs, 1800);
    EXPECT_LE(view.remainingMs, 1900);
    EXPECT_EQ(remote.press(0), std::nullopt);  // a second press stops it
    EXPECT_EQ(rig.onAir(), "");
    EXPECT_EQ(panel.slot(0).state, SlotState::Ready);
    EXPECT_EQ(panel.slot(0).remainingMs, 2000);

    // An empty slot: no file dialog from afar.
    EXPECT_EQ(remote.press(1), QStringLiteral("Touche vide : B"));
    EXPECT_EQ(rig.dialogs.asked.size(), asked);
    EXPECT_EQ(panel.slot(1).state, SlotState::Empty);

    EXPECT_EQ(remote.setLoop(0, true), std::nullopt);
    EXPECT_EQ(rig.loops(), "A");
    EXPECT_TRUE(panel.slot(0).loop);

    // A palette from the list, by name; a file it names that is gone shows as absent.
    std::array<QString, 28> paths;
    paths[2] = platform::toSystemPath(QString::fromStdString(rig.dir.file("gone.wav")));
    QByteArray bytes;
    QString error;
    ASSERT_TRUE(palettes::writePalette(paths, {}, bytes, error));
    rig.put("Soir.Bnk", bytes);
    EXPECT_EQ(remote.loadPalette(QStringLiteral("soir")), std::nullopt);
    EXPECT_EQ(panel.paletteName(), QStringLiteral("Soir.Bnk"));
    EXPECT_EQ(panel.slot(2).state, SlotState::Missing);
    const QString refused = remote.press(2).value_or(QString());  // silent, and says why
    EXPECT_TRUE(refused.startsWith(QStringLiteral("Touche C : Fichier introuvable : ")))
        << refused.toStdString();
    EXPECT_EQ(rig.onAir(), "");
    EXPECT_EQ(remote.loadPalette(QStringLiteral("Nuit")),
              QStringLiteral("Palette inconnue : Nuit"));
    EXPECT_EQ(panel.paletteName(), QStringLiteral("Soir.Bnk"));
}

}  // namespace
}  // namespace tambrel::remote
