#include "about/about_window.h"

#include <QGuiApplication>
#include <QScreen>

namespace tambrel::about {

namespace {
constexpr int kSide = 300;
}

F2::F2() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    setFixedSize(kSide, kSide);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->geometry().center() - rect().center());
    }
}

}  // namespace tambrel::about
