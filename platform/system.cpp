#include "platform/system.h"

#include <QApplication>
#include <QDateTime>
#include <QScreen>
#include <QThread>
#include <cstdlib>

#include "platform/single_instance.h"
#include "platform/units.h"

namespace tambrel::platform {

void waitSeconds(System& system, double seconds) {
    const double start = system.clockSeconds();
    while (system.clockSeconds() - start < seconds) {
        system.doEvents();
        system.rest();
    }
}

QtSystem::QtSystem() = default;

QtSystem::~QtSystem() {
    delete instance_;
}

SingleInstance* QtSystem::instance() {
    if (instance_ == nullptr) instance_ = new SingleInstance(SingleInstance::programFolder());
    return instance_;
}

int32_t QtSystem::screenWidthTwips() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen == nullptr ? 0 : screen->size().width() * kTwipsPerPixel;
}

double QtSystem::clockSeconds() {
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

void QtSystem::doEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtSystem::rest() {
    QThread::msleep(2);
}

void QtSystem::terminate() {
    std::_Exit(0);
}

QString QtSystem::exeFolder() {
    return QCoreApplication::applicationDirPath();
}

QString QtSystem::appTitle() {
    return QGuiApplication::applicationDisplayName();
}

void QtSystem::setAppTitle(const QString& title) {
    QGuiApplication::setApplicationDisplayName(title);
}

bool QtSystem::anotherInstanceRunning(std::function<void()> onActivate) {
    instance()->onActivate = std::move(onActivate);
    return instance()->anotherRunning();
}

bool QtSystem::activateRunningInstance() {
    return instance()->activateRunning();
}

}  // namespace tambrel::platform
