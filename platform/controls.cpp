#include "platform/controls.h"

#include <QAbstractItemView>
#include <QAction>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QStyledItemDelegate>
#include <cmath>
#include <utility>

#include "platform/colors.h"

namespace tambrel::platform {
namespace {

int toPixels(int32_t twips) {
    return static_cast<int>(std::floor(static_cast<double>(twips) / kTwipsPerPixel + 0.5));
}

}  // namespace

int16_t modifierMask(Qt::KeyboardModifiers modifiers) {
    int16_t mask = 0;
    if (modifiers & Qt::ShiftModifier) mask |= kShiftMask;
    if (modifiers & Qt::ControlModifier) mask |= kCtrlMask;
    if (modifiers & Qt::AltModifier) mask |= kAltMask;
    return mask;
}

namespace {

int16_t buttonCode(Qt::MouseButtons buttons) {
    int16_t code = 0;
    if (buttons & Qt::LeftButton) code |= 1;
    if (buttons & Qt::RightButton) code |= 2;
    if (buttons & Qt::MiddleButton) code |= 4;
    return code;
}

// Captions keep CR LF as the program wrote them; the screen breaks lines on LF.
QString displayText(const QString& caption) {
    QString text = caption;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

// A flat button with a bevel, painted in its own background colour.
class ButtonWidget final : public QPushButton {
  public:
    explicit ButtonWidget(QWidget* parent) : QPushButton(parent) {
        setFocusPolicy(Qt::NoFocus);  // the keys belong to the palette, never to a slot button
    }
    QColor face = QColor(212, 208, 200);
    QString notice;  // shown instead of the caption while not empty

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = rect();
        painter.fillRect(area, notice.isEmpty() ? face : toQColor(kNoticeColor));
        const bool down = isDown();
        painter.setPen(down ? QColor(64, 64, 64) : QColor(255, 255, 255));
        painter.drawLine(area.topLeft(), area.topRight());
        painter.drawLine(area.topLeft(), area.bottomLeft());
        painter.setPen(down ? QColor(255, 255, 255) : QColor(64, 64, 64));
        painter.drawLine(area.bottomLeft(), area.bottomRight());
        painter.drawLine(area.topRight(), area.bottomRight());
        painter.setPen(Qt::black);
        painter.drawText(area.adjusted(2, 2, -2, -2), Qt::AlignCenter | Qt::TextWordWrap,
                         notice.isEmpty() ? text() : notice);
    }
};

class LabelWidget final : public QLabel {
  public:
    explicit LabelWidget(QWidget* parent) : QLabel(parent) {}
    std::function<void()> click;
    std::function<void()> doubleClick;

  protected:
    // The second click of a double click is the double click, not a click
    // of its own: a loop marker double-clicked switches once.
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        const bool second = std::exchange(doubleClicked_, false);
        if (!second && rect().contains(event->position().toPoint()) && click) click();
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        doubleClicked_ = true;
        if (doubleClick) doubleClick();
    }

  private:
    bool doubleClicked_ = false;
};

// A drop-down list that changes only when it is opened and an entry picked:
// a wheel notch over the closed list would load a palette or switch the
// device on air. An entry too long for the box is shortened in its middle,
// on screen only: its text, which the program reads back, stays whole.
// An entry's hint (the key that picks it) at the right of the open list.
constexpr int kHintRole = Qt::UserRole + 1;
class HintDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QString hint = index.data(kHintRole).toString();
        QStyleOptionViewItem item = option;
        if (!hint.isEmpty()) {
            // The name makes room for the hint, shortened before it would cover it.
            item.rect.setRight(item.rect.right() - option.fontMetrics.horizontalAdvance(hint) -
                               2 * kHintGap);
        }
        QStyledItemDelegate::paint(painter, item, index);
        if (hint.isEmpty()) return;
        painter->save();
        painter->setPen(option.palette.color((option.state & QStyle::State_Selected) != 0
                                                 ? QPalette::HighlightedText
                                                 : QPalette::PlaceholderText));
        painter->drawText(option.rect.adjusted(0, 0, -kHintGap, 0),
                          Qt::AlignRight | Qt::AlignVCenter, hint);
        painter->restore();
    }

  private:
    static constexpr int kHintGap = 6;
};

class ListWidget final : public QComboBox {
  public:
    explicit ListWidget(QWidget* parent) : QComboBox(parent) {
        view()->setTextElideMode(Qt::ElideMiddle);
        setItemDelegate(new HintDelegate(this));
    }
    QString shownText() const {
        QStyleOptionComboBox option;
        initStyleOption(&option);
        return shown(option);
    }
    // The width that shows `text` whole, in pixels.
    int widthFor(const QString& text) const {
        QStyleOptionComboBox option;
        initStyleOption(&option);
        const QSize field(fontMetrics().horizontalAdvance(text) + 2 * kLabelInset,
                          fontMetrics().height());
        return style()->sizeFromContents(QStyle::CT_ComboBox, &option, field, this).width();
    }

  protected:
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
    // QComboBox's own painting, but for the text shown.
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        painter.setPen(palette().color(QPalette::Text));
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        option.currentText = shown(option);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }

  private:
    // The styles draw the label a pixel inside the edit field on each side.
    static constexpr int kLabelInset = 1;

    QString shown(const QStyleOptionComboBox& option) const {
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                    QStyle::SC_ComboBoxEditField, this);
        return fontMetrics().elidedText(option.currentText, Qt::ElideMiddle,
                                        field.width() - 2 * kLabelInset);
    }
};

// A sunken one-pixel frame around the stored drawing, whose scale covers
// the inside of the frame.
class MeterWidget final : public QWidget {
  public:
    explicit MeterWidget(QWidget* parent)
        : QWidget(parent), surface([this](const QRect& area) { update(area.translated(1, 1)); }) {
        setMouseTracking(true);  // moves are reported without a button held
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    DrawingSurface surface;
    PictureBox* owner = nullptr;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = rect();
        painter.setPen(QColor(128, 128, 128));
        painter.drawLine(area.topLeft(), area.topRight());
        painter.drawLine(area.topLeft(), area.bottomLeft());
        painter.setPen(QColor(255, 255, 255));
        painter.drawLine(area.bottomLeft(), area.bottomRight());
        painter.drawLine(area.topRight(), area.bottomRight());
        painter.drawImage(1, 1, surface.image());
    }
    void resizeEvent(QResizeEvent*) override { surface.resize(size() - QSize(2, 2)); }
    void mousePressEvent(QMouseEvent* event) override { report(owner->MouseDown, event, true); }
    void mouseMoveEvent(QMouseEvent* event) override { report(owner->MouseMove, event, false); }

  private:
    void report(const std::function<void(int16_t, int16_t, float, float)>& handler,
                QMouseEvent* event, bool pressed) {
        if (!handler) return;
        const QPointF at = event->position() - QPointF(1, 1);
        const float pixelWidth = surface.scaleX(1) - surface.scaleX(0);
        const float pixelHeight = surface.scaleY(1) - surface.scaleY(0);
        handler(pressed ? buttonCode(event->button()) : buttonCode(event->buttons()),
                modifierMask(event->modifiers()),
                surface.scaleX(0) + static_cast<float>(at.x()) * pixelWidth,
                surface.scaleY(0) + static_cast<float>(at.y()) * pixelHeight);
    }
};

}  // namespace

int32_t QBColor(int index) {
    static constexpr int32_t kTable[16] = {
        rgb(0, 0, 0),       rgb(0, 0, 128),   rgb(0, 128, 0),   rgb(0, 128, 128),
        rgb(128, 0, 0),     rgb(128, 0, 128), rgb(128, 128, 0), rgb(192, 192, 192),
        rgb(128, 128, 128), rgb(0, 0, 255),   rgb(0, 255, 0),   rgb(0, 255, 255),
        rgb(255, 0, 0),     rgb(255, 0, 255), rgb(255, 255, 0), rgb(255, 255, 255),
    };
    return index >= 0 && index < 16 ? kTable[index] : 0;
}

Control::Control(QWidget* widget) : widget_(widget) {}

void Control::applyGeometry() {
    widget_->setGeometry(toPixels(left_), toPixels(top_), std::max(0, toPixels(width_)),
                         std::max(0, toPixels(height_)));
}

void Control::setLeft(int32_t twips) {
    Move(twips, top_, width_, height_);
}
void Control::setTop(int32_t twips) {
    Move(left_, twips, width_, height_);
}
void Control::setWidth(int32_t twips) {
    Move(left_, top_, twips, height_);
}
void Control::setHeight(int32_t twips) {
    Move(left_, top_, width_, twips);
}

void Control::Move(int32_t left, int32_t top, int32_t width, int32_t height) {
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    applyGeometry();
}

void Control::setVisible(bool visible) {
    if (visible != Visible()) widget_->setVisible(visible);
}

void Control::setToolTipText(const QString& text) {
    if (text != widget_->toolTip()) widget_->setToolTip(text);
}

void Control::setBackColor(int32_t color) {
    if (color == backColor_) return;
    backColor_ = color;
    applyBackColor();
}

void Control::applyBackColor() {
    QPalette palette = widget_->palette();
    palette.setColor(QPalette::Window, toQColor(backColor_));
    widget_->setPalette(palette);
    widget_->setAutoFillBackground(true);
}

void Control::setFont(const QString& family, double points, bool bold) {
    QFont font(family);
    font.setPointSizeF(points);
    font.setBold(bold);
    widget_->setFont(font);
}

CommandButton::CommandButton(QWidget* parent) : Control(new ButtonWidget(parent)) {
    QObject::connect(static_cast<QPushButton*>(widget()), &QPushButton::clicked, widget(), [this] {
        if (Click) Click();
    });
}

void CommandButton::setCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    static_cast<QPushButton*>(widget())->setText(displayText(caption));
}

void CommandButton::setNotice(const QString& text) {
    auto* button = static_cast<ButtonWidget*>(widget());
    if (text == button->notice) return;
    button->notice = text;
    button->update();
}

QString CommandButton::Notice() const {
    return static_cast<ButtonWidget*>(widget())->notice;
}

void CommandButton::applyBackColor() {
    static_cast<ButtonWidget*>(widget())->face = toQColor(BackColor());
    widget()->update();
}

Label::Label(QWidget* parent) : Control(new LabelWidget(parent)) {
    auto* label = static_cast<LabelWidget*>(widget());
    label->setAlignment(Qt::AlignCenter);
    label->click = [this] {
        if (Click) Click();
    };
    label->doubleClick = [this] {
        if (DblClick) DblClick();
    };
}

void Label::setCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    static_cast<QLabel*>(widget())->setText(displayText(caption));
}

TextBox::TextBox(QWidget* parent) : Control(new QLineEdit(parent)) {
    edit_ = static_cast<QLineEdit*>(widget());
    QObject::connect(edit_, &QLineEdit::textChanged, edit_, [this] {
        if (Change) Change();
    });
}

QString TextBox::Text() const {
    return edit_->text();
}

void TextBox::setText(const QString& text) {
    if (text != edit_->text()) edit_->setText(text);
}

ComboBox::ComboBox(QWidget* parent) : Control(new ListWidget(parent)) {
    combo_ = static_cast<QComboBox*>(widget());
    // Never holds the keyboard focus: a letter typed on air must fire a slot,
    // not pick another entry of a list.
    combo_->setFocusPolicy(Qt::NoFocus);
    QObject::connect(combo_, &QComboBox::activated, combo_, [this] {
        if (Click) Click();
    });
}

void ComboBox::AddItem(const QString& item) {
    const bool noneSelected = combo_->currentIndex() < 0;
    combo_->addItem(item);
    if (noneSelected) combo_->setCurrentIndex(-1);  // adding selects nothing
}

void ComboBox::setList(int32_t index, const QString& item) {
    combo_->setItemText(index, item);
}

void ComboBox::setHint(int32_t index, const QString& hint) {
    combo_->setItemData(index, hint, kHintRole);
}

QString ComboBox::Hint(int32_t index) const {
    return combo_->itemData(index, kHintRole).toString();
}

void ComboBox::Clear() {
    combo_->clear();
}

int32_t ComboBox::ListCount() const {
    return combo_->count();
}

QString ComboBox::List(int32_t index) const {
    return combo_->itemText(index);
}

int32_t ComboBox::ListIndex() const {
    return combo_->currentIndex();
}

void ComboBox::setListIndex(int32_t index) {
    combo_->setCurrentIndex(index);
    if (index >= 0 && Click) Click();
}

QString ComboBox::Text() const {
    return combo_->currentText();
}

QString ComboBox::ShownText() const {
    return static_cast<const ListWidget*>(combo_)->shownText();
}

int32_t ComboBox::WidthFor(const QString& text) const {
    return static_cast<const ListWidget*>(combo_)->widthFor(text) * kTwipsPerPixel;
}

void ComboBox::setText(const QString& text) {
    combo_->setCurrentIndex(combo_->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

PictureBox::PictureBox(QWidget* parent) : Control(new MeterWidget(parent)) {
    static_cast<MeterWidget*>(widget())->owner = this;
    Control::setBackColor(fromQColor(widget()->palette().color(QPalette::Button)));
}

DrawingSurface& PictureBox::surface() {
    return static_cast<MeterWidget*>(widget())->surface;
}

const DrawingSurface& PictureBox::surface() const {
    return static_cast<MeterWidget*>(widget())->surface;
}

void PictureBox::applyBackColor() {
    surface().setBackColor(BackColor());
}

MenuItem::MenuItem(QAction* action) : action_(action) {
    QObject::connect(action_, &QAction::triggered, action_, [this](bool checked) {
        // The check mark is the handler's to set, not the toolkit's.
        if (action_->isCheckable()) action_->setChecked(!checked);
        if (Click) Click();
    });
}

QString MenuItem::Caption() const {
    return action_->text();
}

bool MenuItem::Checked() const {
    return action_->isChecked();
}

void MenuItem::setChecked(bool checked) {
    action_->setCheckable(true);
    action_->setChecked(checked);
}

bool MenuItem::Enabled() const {
    return action_->isEnabled();
}

void MenuItem::setEnabled(bool enabled) {
    action_->setEnabled(enabled);
}

}  // namespace tambrel::platform
