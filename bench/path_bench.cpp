// How long a palette made on Windows takes to find its 28 files when the
// folders hold thousands of names and the palette writes them in other
// letter cases: the lookup runs on the window's thread at each load.
// Prints figures; run by hand.

#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/drive_mapping.h"
#include "tests/support/test_audio.h"

int main(int argc, char** argv) {
    const int names = argc > 1 ? std::atoi(argv[1]) : 5000;
    tambrel::testing::TempDir dir;
    const QString root = QString::fromStdString(dir.path());
    QDir().mkpath(root + "/disque-c/Jingles");
    for (int i = 0; i < names; ++i) {
        QFile f(root +
                QStringLiteral("/disque-c/Jingles/Jingle %1.wav").arg(i, 5, 10, QChar(u'0')));
        if (!f.open(QIODevice::WriteOnly)) return 1;
    }
    tambrel::platform::DriveMapping drives(root + u'/');
    if (!drives.read(("C:\\=" + root + "/disque-c").toUtf8()).empty()) return 1;

    for (const bool wrongCase : {false, true}) {
        std::vector<double> ms;
        int found = 0;
        for (int round = 0; round < 20; ++round) {
            const auto start = std::chrono::steady_clock::now();
            for (int slot = 0; slot < 28; ++slot) {
                const int i = (round * 28 + slot) * 7 % names;
                QString path =
                    QStringLiteral("C:\\Jingles\\Jingle %1.wav").arg(i, 5, 10, QChar(u'0'));
                if (wrongCase) path = path.toUpper();
                found += QFile::exists(drives.locate(path)) ? 1 : 0;
            }
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf(
            "%s: 28 paths in a folder of %d names: median %.2f ms, worst %.2f ms, "
            "%d of %d found\n",
            wrongCase ? "letter case differs" : "letter case as on disk", names, ms[ms.size() / 2],
            ms.back(), found, 20 * 28);
    }
    return 0;
}
