#pragma once

// The modal boxes and choosers the program asks the operator through. They
// sit behind one interface so that tests can answer them from a script and
// see what was asked.

#include <QString>
#include <cstdint>
#include <optional>

class QWidget;

namespace tambrel::platform {

// Message box styles, added together: buttons, then icon, then default button.
inline constexpr int32_t kButtonsOk = 0;
inline constexpr int32_t kButtonsOkCancel = 1;
inline constexpr int32_t kButtonsYesNo = 4;
inline constexpr int32_t kIconError = 16;
inline constexpr int32_t kIconQuestion = 32;
inline constexpr int32_t kIconWarning = 48;
inline constexpr int32_t kIconInformation = 64;
inline constexpr int32_t kDefaultSecondButton = 256;
// What a message box returns.
inline constexpr int32_t kAnswerOk = 1;
inline constexpr int32_t kAnswerCancel = 2;
inline constexpr int32_t kAnswerYes = 6;
inline constexpr int32_t kAnswerNo = 7;

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // An empty title shows the application's title.
    virtual int32_t MsgBox(const QString& prompt, int32_t style, const QString& title) = 0;
    // The text typed, or the empty text when the box is cancelled.
    virtual QString InputBox(const QString& prompt, const QString& title,
                             const QString& defaultText) = 0;
    // A file to open (native path), or nothing when cancelled. `filter` is in
    // the program's form: "Description | *.a;*.b".
    virtual std::optional<QString> ShowOpen(const QString& filter) = 0;
    // A colour, or nothing when cancelled.
    virtual std::optional<int32_t> ShowColor(int32_t initial) = 0;
};

// The same filter in the toolkit's form, each pattern matching both letter
// cases: "Audio | *.mp3" becomes "Audio (*.[mM][pP]3)".
QString toolkitFilter(const QString& filter);

// An exclamation box that leaves the window working (the slots can still be
// pressed): for what goes wrong while the operator is on the air.
void showWarningAside(QWidget* parent, const QString& prompt, const QString& title);

// Qt's own boxes, modal to `parent`. The file dialog opens in the folder it
// was last left in, at first in the program's folder.
class QtDialogs final : public Dialogs {
  public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    int32_t MsgBox(const QString& prompt, int32_t style, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
    std::optional<QString> ShowOpen(const QString& filter) override;
    std::optional<int32_t> ShowColor(int32_t initial) override;

  private:
    QWidget* parent_;
    QString openFolder_;  // where the file dialog was last left, in this run
};

// The common dialog control: settings, then ShowOpen or ShowColor, then the
// result. A cancelled chooser leaves FileName and Color as they were.
class CommonDialog {
  public:
    explicit CommonDialog(Dialogs& dialogs) : dialogs_(dialogs) {}
    QString Filter;
    int32_t Flags = 0;
    QString FileName;  // as the chooser gave it: a Linux path
    int32_t Color = 0;
    // False when the operator cancelled.
    bool ShowOpen();
    bool ShowColor();

  private:
    Dialogs& dialogs_;
};

}  // namespace tambrel::platform
