// The toolkit's dialogs, answered by a timer as the operator would: where
// the file dialog opens, whatever the working folder, and what it gives
// back; and the language of the toolkit's own buttons and labels.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <fstream>

#include "platform/dialogs.h"
#include "platform/translations.h"
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

// The boxes that could cut the air or delete a palette: the slots' letters,
// typed by habit with the box open, answer nothing; Enter takes the safe
// default, Échap the safe answer, a click any answer.
TEST(QtDialogs, NoBareLetterAnswersABoxOnlyEnterEchapOrAClick) {
    const QtTranslations french;
    QtDialogs dialogs;
    const int32_t quitWhileSounding = kIconQuestion + kButtonsYesNo + kDefaultSecondButton;
    const int32_t deletePalette = kIconError + kButtonsYesNo + kDefaultSecondButton;
    const int32_t overwrite = kIconQuestion + kButtonsOkCancel + kDefaultSecondButton;
    struct Case {
        int32_t style;
        Qt::Key last;  // none: a click on "Oui"
        int32_t answer;
    };
    for (const Case& c : {Case{quitWhileSounding, Qt::Key_Return, kAnswerNo},
                          Case{deletePalette, Qt::Key_Escape, kAnswerNo},
                          Case{overwrite, Qt::Key_Enter, kAnswerCancel},
                          Case{quitWhileSounding, Qt::Key_unknown, kAnswerYes}}) {
        bool openAfterLetters = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            QWidget* focus = box->focusWidget() != nullptr ? box->focusWidget() : box;
            for (const char letter : {'o', 'n', 'a', 'O', '['}) QTest::keyClick(focus, letter);
            QTest::keyClick(focus, Qt::Key_O);
            QTest::keyClick(focus, Qt::Key_N);
            openAfterLetters = box->isVisible();
            if (c.last != Qt::Key_unknown) {
                QTest::keyClick(focus, c.last);
            } else {
                qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
            }
            if (box->isVisible()) box->done(0);  // unanswered: a wrong answer, not a hang
        });
        EXPECT_EQ(dialogs.MsgBox(QStringLiteral("Des touches jouent encore. Quitter quand même ?"),
                                 c.style, QString()),
                  c.answer)
            << c.style;
        EXPECT_TRUE(openAfterLetters) << c.style;
    }
}

// Its type column in French, and its four columns whole on the offscreen
// screen, 800 by 600 as the smallest the program runs on.
TEST(OpenDialog, SaysItsTypesInFrenchAndShowsEveryColumnWhole) {
    testing::TempDir dir;
    const QString folder = QString::fromStdString(dir.path());
    ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("Fonds musicaux")));
    ASSERT_TRUE(std::ofstream(dir.file("Générique de fin de la matinale.flac"))
                << std::string(90000, 'x'));
    // As at the first opening: Qt keeps the columns as a dialog left them.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QtDialogs dialogs;
    QStringList types;
    QList<int> cut;  // the columns shown narrower than they need
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->setDirectory(folder);
        const QAbstractItemView* details =
            dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
        if (details == nullptr) return dialog->reject();
        const QAbstractItemModel& model = *details->model();
        const auto type = [&](int row) {
            return model.index(row, 2, details->rootIndex()).data().toString();
        };
        const bool listed = QTest::qWaitFor([&] {
            return model.rowCount(details->rootIndex()) == 2 && !type(0).isEmpty() &&
                   !type(1).isEmpty();
        });
        if (listed) types = {type(0), type(1)};
        const QHeaderView& header = *static_cast<const QTreeView*>(details)->header();
        for (int column = 0; column < 4; ++column) {
            const int needs =
                std::max(details->sizeHintForColumn(column), header.sectionSizeHint(column));
            if (header.sectionSize(column) < needs) cut << column;
        }
        if (header.length() > details->viewport()->width()) cut << -1;  // past the right edge
        dialog->reject();
    });
    dialogs.ShowOpen(QStringLiteral("Audio | *.flac"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    types.sort();
    EXPECT_EQ(types.join(u'|').toStdString(), "Dossier|Fichier FLAC");
    EXPECT_TRUE(cut.isEmpty()) << cut.size() << " column(s) cut, first " << cut.value(0);
}

// With the translations the test command installs: French, as every text of
// the program.
TEST(QtDialogs, TheToolkitsOwnButtonsAndLabelsSpeakFrench) {
    const QtTranslations french;
    ASSERT_FALSE(french.loadedFrom().isEmpty());
    QtDialogs dialogs;
    QStringList seen;
    // The next box's button and label texts; then it is closed as `close` says.
    const auto readThen = [&seen](void (*close)(QWidget*)) {
        QTimer::singleShot(0, [&seen, close] {
            QWidget* box = QApplication::activeModalWidget();
            ASSERT_NE(box, nullptr);
            for (const auto* button : box->findChildren<QAbstractButton*>()) seen << button->text();
            for (const auto* label : box->findChildren<QLabel*>()) seen << label->text();
            close(box);
        });
    };
    readThen(
        [](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
    EXPECT_EQ(dialogs.MsgBox(QStringLiteral("x"), kButtonsYesNo + kIconError, QString()),
              kAnswerNo);
    readThen([](QWidget* box) { static_cast<QDialog*>(box)->reject(); });
    dialogs.InputBox(QStringLiteral("Entrez le nom"), QStringLiteral("Nouvelle palette"),
                     QString());
    readThen([](QWidget* box) { static_cast<QDialog*>(box)->reject(); });
    dialogs.ShowOpen(QStringLiteral("Audio | *.wav"));
    for (const char* french :
         {"&Oui", "&Non", "Annuler", "&Ouvrir", "&Nom de fichier :", "Fichiers de type :"}) {
        EXPECT_TRUE(seen.contains(QString::fromUtf8(french))) << french;
    }
    for (const char* english :
         {"&Yes", "&No", "Cancel", "&Open", "File &name:", "Files of type:"}) {
        EXPECT_FALSE(seen.contains(QString::fromUtf8(english))) << english;
    }
}

}  // namespace
}  // namespace tambrel::platform
