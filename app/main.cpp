// Tambrel, a jingle palette for radio studios.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tambrel"));
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Tambrel"));
    window.resize(1024, 700);
    window.show();
    return QApplication::exec();
}
