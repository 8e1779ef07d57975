// The toolkit's file dialog, answered by a timer as the operator would: where
// it opens, whatever the working folder, and what it gives back.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <fstream>

#include "platform/dialogs.h"
#include "tests/support/test_audio.h"

namespace tambrel::platform {
namespace {

TEST(OpenDialog, OpensInTheProgramsFolderThenWhereTheOperatorLastLeftIt) {
    testing::TempDir dir;
    const QString jingles = QString::fromStdString(dir.file("jingles"));
    const QString intro = jingles + "/Intro.FLAC";
    ASSERT_TRUE(QDir().mkpath(jingles));
    ASSERT_TRUE(std::ofstream(intro.toStdString()).good());
    const QString working = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));

    QtDialogs dialogs;
    QStringList openedIn;
    // The next dialog notes its folder, then takes `file` (none: cancelled).
    const auto answer = [&](const QString& file) {
        QTimer::singleShot(0, [&openedIn, file] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            openedIn << dialog->directory().absolutePath();
            if (file.isEmpty()) return dialog->reject();
            dialog->selectFile(file);
            static_cast<QDialog*>(dialog)->accept();  // as the Open button does
        });
    };
    answer(intro);
    EXPECT_EQ(dialogs.ShowOpen(QStringLiteral("Audio | *.flac")), std::optional<QString>(intro));
    answer(QString());
    EXPECT_EQ(dialogs.ShowOpen(QStringLiteral("Audio | *.flac")), std::nullopt);
    QDir::setCurrent(working);
    EXPECT_EQ(openedIn, QStringList({QCoreApplication::applicationDirPath(), jingles}));
}

}  // namespace
}  // namespace tambrel::platform
