#include "about/about_window.h"

#include <QGuiApplication>
#include <QImage>
#include <QScreen>

#include "draw/drawing.h"
#include "platform/colors.h"

namespace tambrel::about {

namespace {
constexpr int kSide = 300;  // pixels; the picture fills the client area exactly
constexpr int32_t kTextColor = platform::rgb(255, 255, 192);

void placeLabel(platform::Label& label, int32_t left, int32_t top, int32_t width, int32_t height) {
    label.Move(left, top, width, height);
    QWidget* widget = label.widget();
    widget->setAttribute(Qt::WA_TranslucentBackground);  // the picture shows through
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, platform::toQColor(kTextColor));
    widget->setPalette(palette);
    label.setFont(QStringLiteral("Sans Serif"), 8.25, true);
}
}  // namespace

void CenterForm(QWidget& window) {
    const QScreen* screen =
        window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->geometry();
    const QSize outer = window.frameGeometry().size();
    window.move(area.left() + (area.width() - outer.width()) / 2,
                area.top() + (area.height() - outer.height()) / 2);
}

F2::F2(platform::Dialogs& dialogs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      dialogs_(dialogs),
      surface_(new platform::SurfaceWidget(this)) {
    setWindowTitle(QString());
    setFixedSize(kSide, kSide);
    surface_->setGeometry(0, 0, kSide, kSide);
    surface_->surface().resize(QSize(kSide, kSide));  // before it is shown, to take the picture
    surface_->surface().setPicture(QImage(QStringLiteral(":/tambrel/title.jpg")));
    surface_->Click = [this] { Form_Click(); };

    Info = std::make_unique<platform::Label>(surface_);
    placeLabel(*Info, 120, 600, 4215, 255);
    Info->setCaption(QStringLiteral("Info"));
    Label1 = std::make_unique<platform::Label>(surface_);
    placeLabel(*Label1, 240, 4140, 3975, 255);
    Label1->setCaption(QStringLiteral("Palette de jingles pour le direct"));
    Label1->Click = [this] { Label1_Click(); };
    // The version line takes its clicks without closing anything.
    Form_Load();
}

F2::~F2() = default;

void F2::Form_Load() {
    CenterForm(*this);
    // The version the build was given, the package's own.
    Info->setCaption(QStringLiteral("Ver " TAMBREL_VERSION " - Révision du 08 Août 2004"));
}

void F2::Form_Activate() {
    draw::Draw3dFrame(surface_->surface(), dialogs_, 5, 3, draw::Enfonce, 8);
    draw::Draw3dFrame(surface_->surface(), dialogs_, 2, 3, draw::Relief, 8);
}

void F2::Form_Click() {
    close();
}

void F2::Label1_Click() {
    close();
}

void F2::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) Form_Activate();
}

void F2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Form_Activate();  // shown without taking the focus, it is framed all the same
}

}  // namespace tambrel::about
