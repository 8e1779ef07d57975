// Stands in for a copy of the program in the two-process tests.
//   single_instance_probe FOLDER hold   takes the instance and reports each
//                                       activation until stdin closes (20 s at most)
//   single_instance_probe FOLDER check  reports whether it is first; if not, asks
//                                       the running copy to come to the front

#include "platform/single_instance.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>

namespace {
void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3 || (std::strcmp(argv[2], "hold") != 0 && std::strcmp(argv[2], "check") != 0)) {
        std::fprintf(stderr, "usage: %s FOLDER hold|check\n", argv[0]);
        return 2;
    }
    tambrel::platform::SingleInstance instance(QString::fromLocal8Bit(argv[1]));
    const bool hold = std::strcmp(argv[2], "hold") == 0;
    if (instance.anotherRunning()) {
        say("second");
        if (!hold) say(instance.activateRunning(5000) ? "sent" : "unreachable");
        return 0;
    }
    say("first");
    if (!hold) return 0;

    instance.onActivate = [] { say("activated"); };
    // The test closing our stdin, or dying, ends the hold.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
    });
    QTimer::singleShot(20000, &app, &QCoreApplication::quit);
    return app.exec();
}
