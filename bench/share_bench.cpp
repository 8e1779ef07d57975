// A palette on the station's share, on the real window with a null output
// pulled in real time. Its 27 jingles are on a FUSE share of the tests'
// (tests/support/slow_share.h), slot 28's on the local disk. For each call
// of the share delayed 0, 100 and 300 ms, then every call held:
//   share_<case>_worst_turn_ms    the window's longest turn from the pick
//                                 until every slot is ready (held: 4 s)
//   share_<case>_ready_ms         the pick to the last slot ready
//   share_<case>_local_press_ms   a press on the local slot, made while the
//                                 palette loads, to the engine's start
// and, with --memory, the memory of a palette of 28 three-minute files read
// whole from the share:
//   share_memory_whole_mb         what the files read whole hold
//   share_memory_rss_growth_mb    the process's growth while they load
//   share_bench [--memory]

#include <sys/stat.h>

#include <QApplication>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "bench/process_figures.h"
#include "bench/remote_rig.h"
#include "palettes/palette_file.h"
#include "platform/audio/decoder.h"
#include "platform/path_form.h"
#include "playback/mm_audio_player.h"
#include "tests/support/slow_share.h"

using namespace tambrel;
using Call = testing::SlowShare::Call;
using Clock = std::chrono::steady_clock;

namespace {

constexpr Call kEveryCall[] = {Call::GetAttr, Call::Open, Call::Read, Call::ReadDir, Call::Write};

double msSince(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

QByteArray paletteOf(const std::array<QString, kSlots>& files) {
    std::array<QString, kSlots> paths;
    for (size_t i = 0; i < files.size(); ++i) paths[i] = platform::toSystemPath(files[i]);
    std::array<int32_t, kSlots> volumes;
    volumes.fill(16384);
    QByteArray bytes;
    QString error;
    palettes::writePalette(paths, volumes, bytes, error);
    return bytes;
}

bool allReady(app::F1a& window) {
    for (int16_t i = 0; i < kSlots; ++i) {
        if (!window.Player[i]->Ready()) return false;
    }
    return true;
}

// One case: the palette picked anew, the local slot pressed 50 ms later.
void measure(const char* name, bench::BenchWindow& rig, testing::SlowShare& share,
             const std::function<void()>& steer, bool held) {
    app::F1a& window = *rig.window;
    window.ComboBank->setText(QStringLiteral("Vide.Bnk"));
    window.ComboBank_Click();
    share.release();
    steer();
    const auto picked = Clock::now();
    window.ComboBank->setText(QStringLiteral("Matin.Bnk"));
    window.ComboBank_Click();
    double pressMs = -1;
    double readyMs = -1;
    bool pressed = false;
    Clock::time_point pressAt;
    const double worst = bench::worstStallWhile(
        [&] {
            if (!pressed && msSince(picked) > 50) {
                pressed = true;
                pressAt = Clock::now();
                window.Touche_Click(kSlots - 1);
            }
            if (pressed && pressMs < 0 && rig.playing(kSlots - 1)) pressMs = msSince(pressAt);
            if (readyMs < 0 && allReady(window)) readyMs = msSince(picked);
            return held ? msSince(picked) < 4000 : readyMs < 0 || pressMs < 0;
        },
        20000);
    if (rig.playing(kSlots - 1)) window.Touche_Click(kSlots - 1);
    std::printf("share_%s_worst_turn_ms %.1f\n", name, worst);
    std::printf("share_%s_ready_ms %.0f%s\n", name, readyMs, readyMs < 0 ? " (never)" : "");
    std::printf("share_%s_local_press_ms %.2f\n", name, pressMs);
    share.release();
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const bool memory = argc > 1 && std::strcmp(argv[1], "--memory") == 0;
    bench::BenchWindow rig;
    if (!rig.start("share_bench")) return 1;
    rig.host.loadWait = {};  // as the program: nothing waits on a file
    const std::string source = rig.dir.file("source");
    const std::string mount = rig.dir.file("mount");
    ::mkdir(source.c_str(), 0755);
    ::mkdir(mount.c_str(), 0755);
    testing::SlowShare share(source, mount);
    if (!share.ok()) {
        std::fprintf(stderr, "share_bench: no share: %s\n", share.problem().c_str());
        return 1;
    }
    const int seconds = memory ? 180 : 2;
    std::array<QString, kSlots> files;
    for (int i = 0; i + 1 < kSlots; ++i) {
        const std::string name = "j" + std::to_string(i) + ".wav";
        testing::writeAudio(source + "/" + name, testing::FileKind::Wav16, 44100, 2,
                            int64_t{44100} * seconds, testing::programme);
        files[static_cast<size_t>(i)] = QString::fromStdString(mount + "/" + name);
    }
    files[kSlots - 1] = QString::fromStdString(rig.wav);
    std::ofstream(rig.dir.file("Matin.Bnk"), std::ios::binary) << paletteOf(files).toStdString();
    std::ofstream(rig.dir.file("Vide.Bnk"), std::ios::binary) << paletteOf({}).toStdString();
    rig.window->File1.Refresh();
    rig.window->File1_PathChange();

    if (memory) {
        const double before = bench::residentMb();
        rig.window->ComboBank->setText(QStringLiteral("Matin.Bnk"));
        rig.window->ComboBank_Click();
        bench::turnUntil([&] { return allReady(*rig.window); }, 120000);
        std::printf("share_memory_whole_mb %.0f\n", audio::bytesHeldWhole() / 1048576.0);
        std::printf("share_memory_rss_growth_mb %.0f\n", bench::residentMb() - before);
        return 0;
    }
    // A first press warms the window's path up.
    rig.window->Touche_Click(kSlots - 1);
    bench::turnUntil([&] { return rig.playing(kSlots - 1); }, 2000);
    rig.window->Touche_Click(kSlots - 1);
    for (const int ms : {0, 100, 300}) {
        const std::string name = "delay" + std::to_string(ms);
        measure(
            name.c_str(), rig, share,
            [&] {
                for (const Call call : kEveryCall) share.delay(call, std::chrono::milliseconds(ms));
            },
            false);
    }
    measure(
        "held", rig, share,
        [&] {
            for (const Call call : kEveryCall) share.hang(call);
        },
        true);
    return 0;
}
