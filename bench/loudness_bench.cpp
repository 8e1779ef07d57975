// Figures for the loudness measure: how many times faster than real time one
// core measures a 44.1 kHz stereo file (WAV, and MP3, which costs its
// decoding), and how long the meter's one low-priority thread takes for a
// palette of 28 three-minute files never measured before, then again from
// the figures it kept. Prints a table, then `name value` lines. Nothing here
// passes or fails.

#include <time.h>
#include <unistd.h>

#include <QString>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/figures.h"
#include "platform/audio/loudness.h"
#include "platform/slot_count.h"
#include "playback/loudness_meter.h"
#include "tests/support/test_audio.h"

namespace {

using tambrel::bench::format;
using tambrel::bench::progress;
using tambrel::bench::secondsSince;
using tambrel::playback::LoudnessMeter;
using tambrel::testing::FileKind;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr double kSeconds = 180.0;

double cpuSeconds(clockid_t clock = CLOCK_THREAD_CPUTIME_ID) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Times real time one core measures `path` at, on this thread.
double speed(const std::string& path) {
    const double cpu = cpuSeconds();
    const tambrel::audio::Loudness loudness = tambrel::audio::measureLoudness(path);
    const double spent = cpuSeconds() - cpu;
    std::printf("  %-5s %6.1f LUFS  LRA %4.1f LU  crête %5.1f dBTP  %6.2f s CPU\n",
                std::filesystem::path(path).extension().c_str(), loudness.lufs, loudness.lra,
                loudness.peak, spent);
    return kSeconds / spent;
}

// Seconds the meter takes to answer for every file, and the CPU seconds it spent.
double meterSeconds(const std::string& folder, const std::vector<std::string>& files, int& measures,
                    double& cpu) {
    const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    LoudnessMeter meter;
    meter.setFolder(QString::fromStdString(folder));
    const auto start = Clock::now();
    for (const std::string& file : files) {
        meter.submit(QByteArray::fromStdString(file),
                     {static_cast<int64_t>(std::filesystem::file_size(file)), 1});
    }
    size_t answered = 0;
    while (answered < files.size() || !meter.idle()) {
        answered += meter.take().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    measures = meter.measures();
    cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    return secondsSince(start);
}

}  // namespace

int main() {
    tambrel::testing::TempDir dir;
    const auto frames = static_cast<int64_t>(kSeconds * kRate);
    progress("writing a three-minute WAV and MP3");
    const std::string wav = dir.file("jingle.wav"), mp3 = dir.file("jingle.mp3");
    if (!tambrel::testing::writeAudio(wav, FileKind::Wav16, kRate, 2, frames,
                                      tambrel::testing::programme) ||
        !tambrel::testing::writeAudio(mp3, FileKind::Mp3, kRate, 2, frames,
                                      tambrel::testing::programme)) {
        std::fprintf(stderr, "cannot write the files\n");
        return 1;
    }
    progress("measuring one of each");
    std::printf("One three-minute file, 44.1 kHz stereo, on one core:\n");
    const double wavSpeed = speed(wav);
    const double mp3Speed = speed(mp3);

    // 28 names for the WAV's data: the page cache holds it, as it would a
    // palette just loaded; the meter cannot tell them apart but by name.
    std::vector<std::string> files;
    for (int i = 0; i < tambrel::kSlots; ++i) {
        files.push_back(dir.file("slot" + std::to_string(i) + ".wav"));
        std::filesystem::create_hard_link(wav, files.back());
    }
    progress("a palette of 28 files through the meter");
    int measured = 0, again = 0;
    double firstCpu = 0, keptCpu = 0;
    const double first = meterSeconds(dir.path(), files, measured, firstCpu);
    const double kept = meterSeconds(dir.path(), files, again, keptCpu);
    // At the lowest priority the time depends on what else the machine runs.
    std::printf(
        "28 three-minute WAV files through the meter's thread: %.1f s, %.1f s CPU "
        "(%d measured); loaded again: %.3f s (%d measured)\n",
        first, firstCpu, measured, kept, again);
    std::printf("%s\n", format("loudness_wav_times_real_time %.0f", wavSpeed).c_str());
    std::printf("%s\n", format("loudness_mp3_times_real_time %.0f", mp3Speed).c_str());
    std::printf("%s\n", format("loudness_palette_28_seconds %.2f", first).c_str());
    std::printf("%s\n", format("loudness_palette_28_cpu_seconds %.2f", firstCpu).c_str());
    std::printf("%s\n", format("loudness_palette_28_kept_seconds %.3f", kept).c_str());
    return 0;
}
