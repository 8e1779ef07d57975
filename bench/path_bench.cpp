// How long a palette made on Windows takes to find its 28 files when their
// folder holds a hundred thousand names and the palette writes them in other
// letter cases, on the window's thread: each lookup alone, the 28 of a
// palette, and the window's whole turn when it loads that palette (lookups,
// the files opened and their heads decoded). Cold: the folder's index is not
// built yet (the disk's own cache is warm: the folder was just written);
// warm: it is kept from the load before. Prints figures; run by hand.
//
//   path_bench [names]      100000 by default

#include <fcntl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "app/palette_window.h"
#include "app/start_up.h"
#include "palettes/palette_file.h"
#include "platform/audio/null_output.h"
#include "platform/case_lookup.h"
#include "platform/drive_mapping.h"
#include "platform/slot_count.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "tests/support/fake_platform.h"
#include "tests/support/test_audio.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tambrel;

constexpr int kRounds = 10;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Every index goes: the next lookup reads its folder again.
void dropIndexes() {
    platform::setCaseLookupBound(0);
    platform::setCaseLookupBound(platform::kCaseLookupBound);
}

QString jingle(int i) {
    return QStringLiteral("Jingle %1.wav").arg(i, 6, 10, QChar(u'0'));
}

struct Figures {
    std::vector<double> longest;  // the longest lookup of each round
    std::vector<double> whole;    // the 28 of each round
};

void print(const char* what, Figures& f) {
    std::sort(f.longest.begin(), f.longest.end());
    std::sort(f.whole.begin(), f.whole.end());
    std::printf(
        "%-34s longest lookup: median %7.2f ms, worst %7.2f ms; 28 paths: median %7.2f ms, "
        "worst %7.2f ms\n",
        what, f.longest[f.longest.size() / 2], f.longest.back(), f.whole[f.whole.size() / 2],
        f.whole.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int names = argc > 1 ? std::max(std::atoi(argv[1]), kSlots * 7) : 100000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::TempDir dir;
    const QString root = QString::fromStdString(dir.path());
    const QString folder = root + QStringLiteral("/disque-c/Jingles");
    QDir().mkpath(folder);
    // The palette's 28 files are short sounds; the others are empty.
    std::vector<int> used;
    for (int slot = 0; slot < kSlots; ++slot) used.push_back(slot * (names / kSlots) + 3);
    for (int i = 0, next = 0; i < names; ++i) {
        const QString path = folder + u'/' + jingle(i);
        if (next < kSlots && i == used[static_cast<size_t>(next)]) {
            ++next;
            if (!testing::writeAudio(path.toStdString(), testing::FileKind::Wav16, 44100, 2, 44100,
                                     testing::staircase)) {
                return 1;
            }
        } else if (QFile f(path); !f.open(QIODevice::WriteOnly)) {
            return 1;
        }
    }
    // As a jingle folder is: unchanged for long.
    const timespec old[2] = {{1700000000, 0}, {1700000000, 0}};
    if (::utimensat(AT_FDCWD, QFile::encodeName(folder).constData(), old, 0) != 0) return 1;
    const QByteArray mapping = "C:\\=" + QFile::encodeName(root) + "/disque-c\r\n";

    platform::DriveMapping drives(root);
    if (!drives.read(mapping).empty()) return 1;
    std::array<QString, kSlots> paths;
    for (int slot = 0; slot < kSlots; ++slot) {
        paths[static_cast<size_t>(slot)] =
            (QStringLiteral("C:\\Jingles\\") + jingle(used[static_cast<size_t>(slot)])).toUpper();
    }

    std::printf("A folder of %d names, 28 paths in other letter cases (C:\\JINGLES\\JINGLE ...)\n",
                names);
    int found = 0;
    for (const bool cold : {true, false}) {
        Figures f;
        for (int round = 0; round < kRounds; ++round) {
            if (cold) dropIndexes();
            double longest = 0;
            const auto start = Clock::now();
            for (const QString& path : paths) {
                const auto one = Clock::now();
                found += platform::nameTaken(drives.locate(path)) ? 1 : 0;
                longest = std::max(longest, msSince(one));
            }
            f.whole.push_back(msSince(start));
            f.longest.push_back(longest);
        }
        print(cold ? "lookups, cold:" : "lookups, warm:", f);
    }
    const platform::CaseLookupCache held = platform::caseLookupCache();
    std::printf("found %d of %d; indexes kept: %d folders, %.2f MB (bound %.0f MB); %lld reads\n",
                found, 2 * kRounds * kSlots, held.folders, held.bytes / 1048576.0,
                platform::kCaseLookupBound / 1048576.0, held.reads);

    // The window's turn: the operator picks the palette in the list.
    std::ofstream(dir.file("Lecteurs.ini"), std::ios::binary) << mapping.toStdString();
    std::array<int32_t, kSlots> volumes;
    volumes.fill(16384);
    QByteArray palette;
    QString error;
    if (!palettes::writePalette(paths, volumes, palette, error)) return 1;
    std::ofstream(dir.file("Lourde.Bnk"), std::ios::binary) << palette.toStdString();
    playback::AudioHost audio{std::make_unique<audio::NullBackend>(std::vector<std::string>{"A"})};
    audio.loadWait = std::chrono::seconds(5);  // each file loaded as it is given
    testing::FakeSystem system;
    system.folder = root;
    testing::ScriptedDialogs dialogs;
    const std::unique_ptr<app::F1a> window = app::Main(system, dialogs, audio);
    for (const bool cold : {true, false}) {
        std::vector<double> turns;
        for (int round = 0; round < kRounds; ++round) {
            if (cold) dropIndexes();
            window->ComboBank->setText(QStringLiteral("Lourde.Bnk"));
            const auto start = Clock::now();
            window->ComboBank_Click();
            turns.push_back(msSince(start));
            for (int16_t slot = 0; slot < kSlots; ++slot) {
                if (window->Player[slot]->Length() <= 0 || !dialogs.asked.empty()) {
                    std::fprintf(stderr, "slot %d not loaded\n", slot);
                    return 1;
                }
            }
        }
        std::sort(turns.begin(), turns.end());
        std::printf("window turn, palette load, %s     median %7.2f ms, worst %7.2f ms\n",
                    cold ? "cold:" : "warm:", turns[turns.size() / 2], turns.back());
    }
    return 0;
}
