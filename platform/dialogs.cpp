#include "platform/dialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>
#include <algorithm>

#include "platform/colors.h"

namespace tambrel::platform {
namespace {

QString anyCase(const QString& pattern) {
    QString out;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper()) {
            out += u'[' + QString(c.toLower()) + QString(c.toUpper()) + u']';
        } else {
            out += c;
        }
    }
    return out;
}

// A box that a bare letter never answers: every letter is a slot's key,
// typed by habit with a box open ("o" would answer "&Oui" and end the
// program on air). Enter, Échap, a click, or Alt with the underlined letter.
class LetterProofBox final : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool bare =
            !(event->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier));
        const QString typed = event->text();
        if (bare && !typed.isEmpty() && typed.front().isPrint() && !typed.front().isSpace()) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
};

QString titleOrApplication(const QString& title) {
    return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
}

// The file dialog's type column in French: Qt's French translation lacks
// its words for a folder, and a file's type would follow the desktop's
// language. Asked from the dialog's own thread too: it keeps no state.
class FrenchFileTypes final : public QFileIconProvider {
  public:
    QString type(const QFileInfo& info) const override {
        if (info.isRoot()) return QStringLiteral("Disque");
        if (info.isDir()) return QStringLiteral("Dossier");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("Fichier")
                                : QStringLiteral("Fichier ") + suffix.toUpper();
    }
};

// A share of the screen, so that the name, size, type and date show whole
// from an 800-pixel screen up; the name takes what the others leave.
void fitFileDialog(QFileDialog& dialog, const QWidget* parent) {
    constexpr int kWidest = 960, kTallest = 640;
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect room = screen->availableGeometry();
        dialog.resize(std::min(room.width() * 9 / 10, kWidest),
                      std::min(room.height() * 3 / 4, kTallest));
    }
    // The detail view of Qt's own dialog; a desktop's dialog has none.
    if (auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = details->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
}

}  // namespace

QString toolkitFilter(const QString& filter) {
    // Pairs of "description | patterns", themselves separated by "|".
    const QStringList parts = filter.split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(u';', Qt::SkipEmptyParts)) {
            patterns << anyCase(pattern.trimmed());
        }
        entries << parts[i].trimmed() + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    return entries.join(QStringLiteral(";;"));
}

int32_t QtDialogs::MsgBox(const QString& prompt, int32_t style, const QString& title) {
    LetterProofBox box(parent_);
    box.setWindowTitle(titleOrApplication(title));
    box.setText(prompt);
    switch (style & 0x70) {
        case kIconError:
            box.setIcon(QMessageBox::Critical);
            break;
        case kIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kIconWarning:
            box.setIcon(QMessageBox::Warning);
            break;
        case kIconInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    switch (style & 0x7) {
        case kButtonsOkCancel:
            first = box.addButton(QMessageBox::Ok);
            second = box.addButton(QMessageBox::Cancel);
            break;
        case kButtonsYesNo:
            first = box.addButton(QMessageBox::Yes);
            second = box.addButton(QMessageBox::No);
            break;
        default:
            first = box.addButton(QMessageBox::Ok);
            break;
    }
    box.setDefaultButton((style & kDefaultSecondButton) && second != nullptr ? second : first);
    box.setEscapeButton(second != nullptr ? second : first);
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
        case QMessageBox::Cancel:
            return kAnswerCancel;
        case QMessageBox::Yes:
            return kAnswerYes;
        case QMessageBox::No:
            return kAnswerNo;
        default:
            return kAnswerOk;
    }
}

QString QtDialogs::InputBox(const QString& prompt, const QString& title,
                            const QString& defaultText) {
    bool ok = false;
    const QString text = QInputDialog::getText(parent_, titleOrApplication(title), prompt,
                                               QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

std::optional<QString> QtDialogs::ShowOpen(const QString& filter) {
    FrenchFileTypes types;  // outlives the dialog, which asks it
    QFileDialog dialog(parent_);
    dialog.setIconProvider(&types);
    fitFileDialog(dialog, parent_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(toolkitFilter(filter));
    dialog.setOption(QFileDialog::HideNameFilterDetails);  // the operator reads the description
    // Never the working folder, which depends on how the program was started.
    dialog.setDirectory(openFolder_.isEmpty() ? QCoreApplication::applicationDirPath()
                                              : openFolder_);
    const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    openFolder_ = dialog.directory().absolutePath();
    if (!chosen) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<int32_t> QtDialogs::ShowColor(int32_t initial) {
    const QColor color = QColorDialog::getColor(toQColor(initial), parent_);
    if (!color.isValid()) return std::nullopt;
    return fromQColor(color);
}

bool CommonDialog::ShowOpen() {
    const std::optional<QString> chosen = dialogs_.ShowOpen(Filter);
    if (!chosen) return false;
    FileName = *chosen;
    return true;
}

bool CommonDialog::ShowColor() {
    const std::optional<int32_t> chosen = dialogs_.ShowColor(Color);
    if (!chosen) return false;
    Color = *chosen;
    return true;
}

void showWarningAside(QWidget* parent, const QString& prompt, const QString& title) {
    auto* box = new LetterProofBox(QMessageBox::Warning, title, prompt, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

}  // namespace tambrel::platform
