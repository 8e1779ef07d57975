// Start-up as the operator meets it: the screen test, the layouts, the
// lists, the slots at rest, the splash, a second copy refused, the audio
// output checked and the desktop launcher placed.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include "platform/desktop_shortcut.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

QStringList entries(const platform::ComboBox& list) {
    QStringList out;
    for (int32_t i = 0; i < list.ListCount(); ++i) out << list.List(i);
    return out;
}

TEST(StartUp, ANarrowScreenOrASecondCopySaysSoAndEndsBeforeAnythingIsLoadedOrWritten) {
    WindowRig narrow(799), second;
    second.system.otherCopyRunning = true;
    const std::pair<WindowRig*, std::string> cases[] = {
        {&narrow, "MsgBox | 48 |  | Mini 800x600"},
        {&second, "MsgBox | 0 |  | This program is already in the air...."}};
    for (const auto& [rig, text] : cases) {
        EXPECT_THROW(rig->start(), testing::Terminated);
        ASSERT_EQ(rig->dialogs.asked.size(), 1u) << text;
        EXPECT_EQ(rig->dialogs.last(), text);
        EXPECT_EQ(rig->backend->output(std::nullopt), nullptr) << text;  // nothing played
        EXPECT_FALSE(QFile::exists(rig->path("Tambrel.ini"))) << text;
    }
    // The second copy brings the first forward, under a title no longer its own.
    EXPECT_TRUE(second.system.title.isEmpty());
    EXPECT_EQ(second.system.activations, 1);
}

TEST(StartUp, DesignLayoutExceptOnAScreenExactly1024Wide) {
    for (int pixels : {800, 1023, 1280}) {
        WindowRig rig(pixels);
        F1a& w = rig.start();
        EXPECT_TRUE(rig.dialogs.asked.empty()) << pixels;
        // Slot 6 (line 1, column 2): its button's left, top and width, its
        // meter's left and width, its label's top.
        EXPECT_EQ((std::vector<int32_t>{w.Touche[6]->Left(), w.Touche[6]->Top(),
                                        w.Touche[6]->Width(), w.VueMettre[6]->Left(),
                                        w.VueMettre[6]->Width(), w.InfoTrack[6]->Top()}),
                  (std::vector<int32_t>{6060, 2340, 2835, 7260, 1635, 2100}))
            << pixels;
        // The output list ends where the design's did, grown leftwards for
        // its first entry, clear of the volume label.
        EXPECT_EQ(w.Output->Left() + w.Output->Width(), 11685) << pixels;
        EXPECT_GT(w.Output->Left(), w.LblVolume->Left() + w.LblVolume->Width()) << pixels;
        EXPECT_EQ(w.Output->ShownText().toStdString(), "Sortie par défaut du système") << pixels;
    }
    {
        // A desktop font too large for the room left: the list stops short of
        // the label and shortens the entry instead.
        const QFont before = QApplication::font();
        QApplication::setFont(QFont(before.family(), 20));
        WindowRig rig(800);
        F1a& w = rig.start();
        QApplication::setFont(before);
        EXPECT_GT(w.Output->Left(), w.LblVolume->Left() + w.LblVolume->Width());
        EXPECT_TRUE(w.Output->ShownText().contains(u'\u2026'));
    }
    WindowRig rig(1024);
    F1a& w = rig.start();
    // The wide layout's columns, in twips.
    const int32_t lefts[4] = {420, 4020, 7620, 11220};
    for (int16_t i = 0; i < kSlots; ++i) {
        const int32_t left = lefts[i % 4];
        EXPECT_EQ((std::array{w.Touche[i]->Left(), w.Touche[i]->Width(), w.InfoTrack[i]->Left(),
                              w.Slider[i]->Left()}),
                  (std::array{left, 3600, left, left}))
            << i;
    }
    // Slot 5's loop marker, slot 7's meter (left and width), the output list's right, line 3's
    // colour.
    EXPECT_EQ(
        (std::vector<int32_t>{w.Boucle[5]->Left(), w.VueMettre[7]->Left(), w.VueMettre[7]->Width(),
                              w.Output->Left() + w.Output->Width(), w.Couleur[3]->Left()}),
        (std::vector<int32_t>{4620, 12420, 2400, 14760, 180}));
    EXPECT_EQ(w.Output->ShownText().toStdString(), "Sortie par défaut du système");
}

TEST(StartUp, GrandesTouchesScalesTheLayoutToFillTheWindowAndOffPutsItBackExactly) {
    WindowRig rig(1280);
    F1a& w = rig.start();
    rig.assign(27, rig.wav("Generique.wav", 100));
    const auto slot = [&](size_t i) { return w.Touche[i]->widget()->geometry(); };
    // The last slot's shape, and its caption's share of its width.
    const auto looks = [&] {
        const QFontMetricsF text(w.Touche[27]->widget()->font());
        return std::array{double(slot(27).width()) / slot(27).height(),
                          text.horizontalAdvance(w.Touche[27]->Caption()) / slot(27).width()};
    };
    std::vector<QRect> design;
    for (size_t i = 0; i < kSlots; ++i) design.push_back(slot(i));
    const auto designLooks = looks();

    w.MnuGrandesTouches->action()->trigger();
    EXPECT_TRUE(rig.read("Options.ini").contains("grandes_touches=oui"));
    for (const QSize size : {QSize(1280, 1024), QSize(1024, 600)}) {
        w.resize(size);
        const QRect room = w.client()->rect();
        // Within it, apart but for the design's seam (15 twips), filling it across or down.
        for (size_t i = 0; i < kSlots; ++i) {
            EXPECT_TRUE(room.contains(slot(i))) << i;
            for (size_t j = 0; j < i; ++j)
                EXPECT_FALSE(slot(i).adjusted(2, 2, -2, -2).intersects(slot(j)));
        }
        EXPECT_TRUE(slot(27).right() > 0.9 * room.width() ||
                    slot(27).bottom() > 0.9 * room.height());
        for (size_t k = 0; k < 2; ++k)
            EXPECT_NEAR(looks()[k], designLooks[k], 0.04 * designLooks[k]) << size.width();
    }
    w.MnuGrandesTouches->action()->trigger();
    for (size_t i = 0; i < kSlots; ++i) EXPECT_EQ(slot(i), design[i]) << i;
    EXPECT_EQ(looks(), designLooks);
}

TEST(StartUp, SlotsStartEmptyWithTheirLettersListsFilledAndTheSplashAfterASecond) {
    WindowRig rig;
    for (const char* name : {"matin.bnk", "Soir.Bnk", "AUBE.BNK", "notes.txt", ".cachée.Bnk"})
        rig.put(name, "\r\n");
    QDir().mkpath(rig.path("Dossier.Bnk"));
    const double before = rig.system.clock;
    F1a& w = rig.start();
    EXPECT_GE(rig.system.clock - before, 1.0);  // the splash stood at least a second

    EXPECT_EQ(rig.shows(0) + rig.shows(26) + rig.shows(27), "|A|[|\\");
    EXPECT_EQ(w.Touche[27]->ToolTipText(), QStringLiteral("Touche \\ "));
    EXPECT_EQ(w.Couleur[6]->ToolTipText(),
              QStringLiteral(" Choix de la couleur pour cette ligne "));
    for (int16_t i = 0; i < kSlots; ++i) {
        EXPECT_TRUE(w.Touche[i]->Caption().isEmpty());
        EXPECT_EQ(w.Slider[i]->Value(), 16384);
        EXPECT_EQ(w.Player[i]->DeviceID(), -1);  // entry 0 of the list was selected
    }
    EXPECT_EQ(w.LblVolume->Caption(), QStringLiteral("Volume 16384"));
    EXPECT_EQ(entries(*w.Output), QStringList({QStringLiteral("Sortie par défaut du système"),
                                               QStringLiteral("Studio"), QStringLiteral("Cue")}));
    EXPECT_EQ(w.Output->ListIndex(), 0);
    // The palette files of the program's folder, whatever their case, by
    // name; hidden files and folders are not palettes.
    EXPECT_EQ(entries(*w.ComboBank),
              QStringList({QStringLiteral("AUBE.BNK"), QStringLiteral("matin.bnk"),
                           QStringLiteral("Soir.Bnk")}));
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);

    EXPECT_TRUE(w.BankName->Caption().isEmpty());
    EXPECT_FALSE(w.BankName->Visible());
    EXPECT_EQ(w.Caption(), QStringLiteral("Tambrel"));
}

TEST(StartUp, NoOutputIsSaidAndTheWindowOpensAllTheSame) {
    WindowRig rig(std::make_unique<audio::NullBackend>(std::vector<std::string>{}));
    EXPECT_EQ(rig.start().Output->ListCount(), 1);  // the default device only
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(
        rig.dialogs.last(),
        "MsgBox | 48 |  | La sortie audio ne fonctionne pas :\r\naucune sortie audio trouvée");
}

// A home of its own whose desktop folder has a French name.
struct Home {
    testing::TempDir dir;
    QByteArray savedHome = qgetenv("HOME");
    QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    QByteArray savedData = qgetenv("XDG_DATA_HOME");
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
        qputenv("XDG_DATA_HOME", savedData);
    }
    QString launcher() const { return QString::fromStdString(dir.file("Bureau/Tambrel.desktop")); }
};

TEST(FirstRun, ALauncherOnTheDesktopForTheProgramUnderItsOwnNameOrSilentlyNone) {
    Home home;
    ASSERT_EQ(platform::desktopFolder(), QString::fromStdString(home.dir.file("Bureau")));
    {
        WindowRig other;  // no executable named "Tambrel" here
        other.start();
        EXPECT_FALSE(QFile::exists(home.launcher()));
    }
    {
        // One that cannot be written, a folder in its place, is left out unsaid.
        QDir().mkpath(home.launcher());
        WindowRig blocked;
        blocked.put("Tambrel", "x");
        blocked.start();
        EXPECT_TRUE(blocked.dialogs.asked.empty());
        EXPECT_TRUE(QFileInfo(home.launcher()).isDir());
        ASSERT_TRUE(QDir(home.launcher()).removeRecursively());
    }
    {
        // A copy refused by the screen, or by the copy already running,
        // leaves the launcher to the one that runs.
        WindowRig narrow(799), second;
        second.system.otherCopyRunning = true;
        for (WindowRig* refused : {&narrow, &second}) {
            refused->put("Tambrel", "x");
            EXPECT_THROW(refused->start(), testing::Terminated);
        }
        EXPECT_FALSE(QFile::exists(home.launcher()));
    }
    // Last: ThreadSanitizer stops a process that starts threads after it ran
    // the validator below.
    WindowRig rig;
    rig.put("Tambrel", "#!/bin/sh\n");
    rig.start();
    QFile entry(home.launcher());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nName=Tambrel\n")));
    EXPECT_TRUE(text.contains("\nExec=" + platform::execArgument(rig.path("Tambrel")) + u'\n'));
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

QByteArray bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

void write(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}

TEST(FirstRun, ThePackagesCopyKeepsTheOperatorsFilesInTheirDataFolderTakenOnceFromRunShsCopy) {
    Home home;
    const QString data = QString::fromStdString(home.dir.file("data"));
    qputenv("XDG_DATA_HOME", data.toUtf8());
    const QString older = QString::fromStdString(home.dir.file(".local/lib/tambrel/"));
    const QString folder = data + QStringLiteral("/tambrel/");
    QDir().mkpath(older + QStringLiteral("Journal"));
    const QByteArray settings = "Studio\r\n" + QByteArray(" 255 \r\n").repeated(kLines);
    const QStringList mine = {QStringLiteral("Matin.Bnk"), QStringLiteral("Tambrel.ini"),
                              QStringLiteral("Journal/2026-12-07.txt")};
    write(older + mine[0], WindowRig::palette({}));
    write(older + mine[1], settings);
    write(older + mine[2], "07:00:00 A Intro\n");
    write(older + QStringLiteral("Tambrel"), "#!/bin/sh\n");  // the program is no operator's file
    {
        WindowRig rig;
        rig.put(platform::kPackageMarker, "");
        F1a& w = rig.start();
        EXPECT_EQ(platform::toNativePath(w.ProgramFolder), folder);
        for (const QString& name : mine) {
            EXPECT_EQ(bytes(folder + name), bytes(older + name)) << name.toStdString();
        }
        EXPECT_EQ(bytes(older + mine[1]), settings);  // copied, not moved
        EXPECT_FALSE(QFile::exists(folder + QStringLiteral("Tambrel")));
        EXPECT_TRUE(w.messageStrip->Caption().contains(QStringLiteral(" 3 fichiers ")))
            << w.messageStrip->Caption().toStdString();
        EXPECT_EQ(entries(*w.ComboBank), QStringList{mine[0]});
        w.MnuGrandesTouches->action()->trigger();  // written where the operator's files are
        EXPECT_TRUE(QFile::exists(folder + QStringLiteral("Options.ini")));
        EXPECT_FALSE(QFile::exists(rig.path("Options.ini")));
    }
    // Once only: the data folder keeps what the operator changed there since.
    write(folder + mine[1], "Cue\r\n" + QByteArray(" 0 \r\n").repeated(kLines));
    const QByteArray changed = bytes(folder + mine[1]);
    write(older + QStringLiteral("Soir.Bnk"), WindowRig::palette({}));
    WindowRig again;
    again.put(platform::kPackageMarker, "");
    F1a& w = again.start();
    EXPECT_EQ(bytes(folder + mine[1]), changed);
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("Soir.Bnk")));
    EXPECT_FALSE(w.messageStrip->Visible());
}

TEST(FirstRun, ExecFieldQuotesWhatTheEntryFormatReserves) {
    for (const auto& [path, field] : std::initializer_list<std::pair<const char*, const char*>>{
             {"/opt/tambrel/Tambrel", "/opt/tambrel/Tambrel"},
             {"/home/ana/Mes jingles/Tambrel", "\"/home/ana/Mes jingles/Tambrel\""},
             {"/a/$b\"c", "\"/a/\\\\$b\\\\\"c\""}}) {
        EXPECT_EQ(platform::execArgument(QString::fromUtf8(path)), QString::fromUtf8(field));
    }
}

}  // namespace
}  // namespace tambrel::app
