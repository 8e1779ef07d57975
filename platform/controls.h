#pragma once

// The window system's controls as the palette window speaks of them:
// captions, background colours as 32-bit values with red in the low byte,
// tool tips, visibility, and places and sizes in twips (15 to a pixel).
// Each wraps one Qt widget, which its parent widget owns. Setting a
// property to the value it already has changes and repaints nothing.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/colors.h"
#include "platform/drawing_surface.h"
#include "platform/units.h"

class QAction;
class QMenu;

namespace tambrel::platform {

// The modifier mask the key and mouse handlers speak: Shift, Ctrl and Alt
// added together.
inline constexpr int16_t kShiftMask = 1;
inline constexpr int16_t kCtrlMask = 2;
inline constexpr int16_t kAltMask = 4;
int16_t modifierMask(Qt::KeyboardModifiers modifiers);

class Control {
  public:
    explicit Control(QWidget* widget);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    QWidget* widget() const { return widget_; }

    int32_t Left() const { return left_; }
    int32_t Top() const { return top_; }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    void setLeft(int32_t twips);
    void setTop(int32_t twips);
    void setWidth(int32_t twips);
    void setHeight(int32_t twips);
    void Move(int32_t left, int32_t top, int32_t width, int32_t height);

    bool Visible() const { return !widget_->isHidden(); }
    void setVisible(bool visible);
    QString ToolTipText() const { return widget_->toolTip(); }
    void setToolTipText(const QString& text);
    int32_t BackColor() const { return backColor_; }
    void setBackColor(int32_t color);
    void setFont(const QString& family, double points, bool bold);
    void SetFocus() { widget_->setFocus(Qt::OtherFocusReason); }

  protected:
    virtual void applyBackColor();

  private:
    void applyGeometry();

    QWidget* widget_;  // owned by its parent widget
    int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    int32_t backColor_ = -1;  // -1: the style's own
};

// What a control shows, for a while, to say that something failed.
inline constexpr int32_t kNoticeColor = rgb(255, 140, 0);  // orange

// A push button in the graphical style: its background colour can be set,
// and its caption may span lines (CR LF).
class CommandButton : public Control {
  public:
    explicit CommandButton(QWidget* parent);
    QString Caption() const { return caption_; }
    void setCaption(const QString& caption);
    // A notice shown over the button, on the notice colour, while not empty;
    // the caption and colour underneath are kept.
    void setNotice(const QString& text);
    QString Notice() const;
    std::function<void()> Click;

  protected:
    void applyBackColor() override;

  private:
    QString caption_;
};

class Label : public Control {
  public:
    explicit Label(QWidget* parent);
    QString Caption() const { return caption_; }
    void setCaption(const QString& caption);
    std::function<void()> Click;
    std::function<void()> DblClick;

  private:
    QString caption_;
};

class TextBox : public Control {
  public:
    explicit TextBox(QWidget* parent);
    QString Text() const;
    void setText(const QString& text);
    std::function<void()> Change;

  private:
    QLineEdit* edit_;
};

// A drop-down list. Click follows a choice by the operator and a write of
// ListIndex, as the list's own selection event. The closed list ignores the
// mouse wheel: only an entry picked from the opened list is a choice.
class ComboBox : public Control {
  public:
    explicit ComboBox(QWidget* parent);
    void AddItem(const QString& item);
    void Clear();
    int32_t ListCount() const;
    QString List(int32_t index) const;
    void setList(int32_t index, const QString& item);
    // Shown at the entry's right in the open list: the key that picks it.
    void setHint(int32_t index, const QString& hint);
    QString Hint(int32_t index) const;
    int32_t ListIndex() const;  // -1: nothing selected
    void setListIndex(int32_t index);
    QString Text() const;
    // The chosen entry as the closed list shows it: shortened in its middle
    // with "…" when too long for the box.
    QString ShownText() const;
    // The width, in twips, at which the closed list shows `text` whole.
    int32_t WidthFor(const QString& text) const;
    // Selects the entry with this text, or none; raises no Click.
    void setText(const QString& text);
    std::function<void()> Click;

  private:
    QComboBox* combo_;
};

// A picture box that keeps its drawing: the slots' progress meters.
class PictureBox : public Control {
  public:
    explicit PictureBox(QWidget* parent);
    DrawingSurface& surface();
    const DrawingSurface& surface() const;
    // Mouse buttons: 1 left, 2 right, 4 middle; the mask of input/key_map;
    // X and Y in the surface's scale.
    std::function<void(int16_t button, int16_t shift, float x, float y)> MouseDown;
    std::function<void(int16_t button, int16_t shift, float x, float y)> MouseMove;

  protected:
    void applyBackColor() override;
};

// An entry of the window's menu.
class MenuItem {
  public:
    explicit MenuItem(QAction* action);
    QString Caption() const;
    bool Checked() const;
    void setChecked(bool checked);
    bool Enabled() const;
    void setEnabled(bool enabled);
    QAction* action() const { return action_; }
    std::function<void()> Click;

  private:
    QAction* action_;  // owned by its menu
};

}  // namespace tambrel::platform
