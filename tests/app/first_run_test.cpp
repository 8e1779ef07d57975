// Every start: the audio back end is checked and the desktop launcher placed.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <fstream>

#include "platform/desktop_shortcut.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

// A home of its own whose desktop folder has a French name.
struct Home {
    testing::TempDir dir;
    QByteArray savedHome = qgetenv("HOME");
    QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    Home() {
        QDir(QString::fromStdString(dir.path())).mkpath(QStringLiteral(".config"));
        QDir(QString::fromStdString(dir.path())).mkpath(QStringLiteral("Bureau"));
        std::ofstream(dir.file(".config/user-dirs.dirs")) << "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n";
        qputenv("HOME", QByteArray::fromStdString(dir.path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.file(".config")));
    }
    ~Home() {
        qputenv("HOME", savedHome);
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }
    QString launcher() const { return QString::fromStdString(dir.file("Bureau/Tambrel.desktop")); }
};

TEST(FirstRun, ALauncherOnTheDesktopForTheProgramUnderItsOwnName) {
    Home home;
    ASSERT_EQ(platform::desktopFolder(), QString::fromStdString(home.dir.file("Bureau")));
    {
        WindowRig other;  // no executable named "Tambrel" here
        other.start();
        EXPECT_FALSE(QFile::exists(home.launcher()));
    }
    WindowRig rig;
    std::ofstream(rig.dir.file("Tambrel")) << "#!/bin/sh\n";
    rig.start();
    QFile entry(home.launcher());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nName=Tambrel\n")));
    EXPECT_TRUE(text.contains(
        QStringLiteral("\nExec=") +
        platform::execArgument(QString::fromStdString(rig.dir.file("Tambrel"))) + u'\n'));
    EXPECT_TRUE(entry.permissions() & QFileDevice::ExeOwner);
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (!validator.isEmpty()) {
        QProcess check;
        check.start(validator, {home.launcher()});
        ASSERT_TRUE(check.waitForFinished(10000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();
    }
}

TEST(FirstRun, ALauncherThatCannotBeWrittenIsSilentlyLeftOut) {
    Home home;
    QDir().mkpath(home.launcher());  // a folder in the launcher's place
    WindowRig rig;
    std::ofstream(rig.dir.file("Tambrel")) << "x";
    rig.start();
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_TRUE(QFileInfo(home.launcher()).isDir());
}

TEST(FirstRun, ExecFieldQuotesWhatTheEntryFormatReserves) {
    EXPECT_EQ(platform::execArgument(QStringLiteral("/opt/tambrel/Tambrel")),
              QStringLiteral("/opt/tambrel/Tambrel"));
    EXPECT_EQ(platform::execArgument(QStringLiteral("/home/ana/Mes jingles/Tambrel")),
              QStringLiteral("\"/home/ana/Mes jingles/Tambrel\""));
    EXPECT_EQ(platform::execArgument(QStringLiteral("/a/$b\"c")),
              QStringLiteral("\"/a/\\\\$b\\\\\"c\""));
}

TEST(FirstRun, NoOutputIsSaidAndTheWindowOpensAllTheSame) {
    WindowRig rig;
    auto* empty = new audio::NullBackend({});
    playback::AudioHost silent{std::unique_ptr<audio::OutputBackend>(empty)};
    rig.window = Main(rig.system, rig.dialogs, silent);
    ASSERT_FALSE(rig.dialogs.asked.empty());
    EXPECT_EQ(rig.dialogs.asked[0].text,
              QStringLiteral("La sortie audio ne fonctionne pas :\r\naucune sortie audio trouvée"));
    EXPECT_EQ(rig.dialogs.asked[0].style, 48);
    EXPECT_EQ(rig.window->Output->ListCount(), 1);  // the default device only
    rig.window.reset();
}

}  // namespace
}  // namespace tambrel::app
