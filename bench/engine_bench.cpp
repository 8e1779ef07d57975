// Figures for the audio engine on a null output: how soon a start sounds,
// what mixing 28 voices costs, CPU while they play, how long loading 28 slots
// takes and how much memory 28 long sounds hold. Prints a table, then each
// figure as `name value` for scripts. Nothing here passes or fails.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/figures.h"
#include "bench/process_figures.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/null_output.h"
#include "platform/audio/sound.h"
#include "platform/slot_count.h"
#include "tests/support/test_audio.h"

namespace {

using tambrel::audio::AudioEngine;
using tambrel::audio::NullBackend;
using tambrel::audio::NullOutput;
using tambrel::audio::Sound;
using tambrel::testing::FileKind;
using tambrel::testing::programme;
using tambrel::testing::TempDir;
using tambrel::testing::writeAudio;
using Clock = std::chrono::steady_clock;
using SoundPtr = std::shared_ptr<Sound>;
using namespace std::chrono_literals;
using tambrel::kSlots;
using tambrel::bench::format;
using tambrel::bench::median;
using tambrel::bench::processCpuSeconds;
using tambrel::bench::progress;
using tambrel::bench::residentMb;
using tambrel::bench::secondsSince;

constexpr int kRate = 44100;
constexpr int kPeriod = 256;
constexpr int64_t kShortFrames = kRate;           // 1 s: wholly in the head
constexpr int64_t kJingleFrames = 180LL * kRate;  // 3 min
constexpr int64_t kLongFrames = 1800LL * kRate;   // 30 min
constexpr int kLatencyTrials = 24;
constexpr double kMixSeconds = 30.0;
constexpr auto kCpuSettle = 1s;
constexpr auto kCpuWindow = 10s;
constexpr auto kPeriodTime = std::chrono::nanoseconds(int64_t{kPeriod} * 1'000'000'000 / kRate);

// Targets the figures are held against.
constexpr double kLatencyTarget = 256;
constexpr double kMixTarget = 200;
constexpr double kCpuTarget = 15;
constexpr double kLoadTarget = 150;
constexpr double kRssTarget = 200;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int64_t threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// Makes the next read of `path` come from the disk; dirty pages cannot be
// dropped, hence the sync first.
void dropFromPageCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

double minimum(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// Thrown rather than exiting, so that the temporary folder is removed.
[[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why);
}

// A DC offset under the programme, so the very first frame of the file sounds.
float loudStart(int64_t frame, int channel) {
    return 0.3f + programme(frame, channel);
}

void makeFile(const std::string& path, FileKind kind, int64_t frames,
              float (*sample)(int64_t, int)) {
    if (!writeAudio(path, kind, kRate, 2, frames, sample)) fail("cannot write " + path);
}

// An engine on a null backend, with the backend kept at hand for its outputs.
struct Rig {
    NullBackend* backend = nullptr;
    std::unique_ptr<AudioEngine> engine;

    Rig() {
        auto owned = std::make_unique<NullBackend>(std::vector<std::string>{});
        backend = owned.get();
        AudioEngine::Options options;
        options.sampleRate = kRate;
        options.periodFrames = kPeriod;
        engine = std::make_unique<AudioEngine>(std::move(owned), options);
    }
    NullOutput& output() {
        NullOutput* open = backend->output(std::nullopt);
        if (open == nullptr) fail("the default output is not open");
        return *open;
    }
};

// Plays the null output the way a sound card pulls it: one period every 5.8 ms
// of wall time, on a thread of its own. It remembers when each period started
// and, once armed, where the first non-silent frame came out.
class RealtimeRenderer {
  public:
    explicit RealtimeRenderer(NullOutput& output) : output_(output), thread_([this] { run(); }) {}
    ~RealtimeRenderer() {
        quit_.store(true);
        thread_.join();
    }
    RealtimeRenderer(const RealtimeRenderer&) = delete;
    RealtimeRenderer& operator=(const RealtimeRenderer&) = delete;

    // Call only while the output is silent.
    void arm() {
        found_.store(-1, std::memory_order_relaxed);
        armed_.store(true, std::memory_order_release);
    }
    // The output frame of the first non-silent frame since arm(), or -1.
    int64_t foundFrame() const { return found_.load(std::memory_order_acquire); }
    float foundLeft() const { return foundLeft_.load(std::memory_order_relaxed); }
    float foundRight() const { return foundRight_.load(std::memory_order_relaxed); }
    // Wall time at which `period` went into render(); valid for recent periods.
    int64_t periodStartNs(int64_t period) const {
        return starts_[static_cast<size_t>(period) % starts_.size()].load(
            std::memory_order_relaxed);
    }
    int64_t lateWakeups() const { return late_.load(std::memory_order_relaxed); }
    double maxLatenessUs() const { return maxLateNs_.load(std::memory_order_relaxed) / 1000.0; }

  private:
    void run() {
        std::vector<float> buffer(kPeriod * 2);
        auto due = Clock::now();
        for (int64_t period = 0; !quit_.load(std::memory_order_relaxed); ++period) {
            std::this_thread::sleep_until(due);
            const auto started = Clock::now();
            const int64_t lateNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(started - due).count();
            if (lateNs > maxLateNs_.load(std::memory_order_relaxed)) maxLateNs_.store(lateNs);
            if (lateNs > kPeriodTime.count()) late_.fetch_add(1, std::memory_order_relaxed);
            starts_[static_cast<size_t>(period) % starts_.size()].store(
                std::chrono::duration_cast<std::chrono::nanoseconds>(started.time_since_epoch())
                    .count(),
                std::memory_order_relaxed);
            due += kPeriodTime;

            output_.render(buffer.data(), kPeriod);
            if (armed_.load(std::memory_order_acquire)) scan(buffer, period);
        }
    }

    void scan(const std::vector<float>& buffer, int64_t period) {
        for (int i = 0; i < kPeriod; ++i) {
            const float left = buffer[static_cast<size_t>(i) * 2];
            const float right = buffer[static_cast<size_t>(i) * 2 + 1];
            if (left == 0.0f && right == 0.0f) continue;
            foundLeft_.store(left, std::memory_order_relaxed);
            foundRight_.store(right, std::memory_order_relaxed);
            armed_.store(false, std::memory_order_relaxed);
            found_.store(period * kPeriod + i, std::memory_order_release);
            return;
        }
    }

    NullOutput& output_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> armed_{false};
    std::atomic<int64_t> found_{-1};
    std::atomic<float> foundLeft_{0.0f};
    std::atomic<float> foundRight_{0.0f};
    std::atomic<int64_t> late_{0};
    std::atomic<int64_t> maxLateNs_{0};
    std::array<std::atomic<int64_t>, 4096> starts_{};
    std::thread thread_;  // last: it starts running in the constructor
};

// ---- 1. Trigger latency -------------------------------------------------

struct LatencyRow {
    std::string label;
    int64_t lead = 0;  // frames of silence the engine's decoding puts first
    std::vector<double> frames;
    int64_t maxOffset = 0;  // where in its period the file started, at worst
    int mismatches = 0;     // first sounding frame differs from the decoded one
    int timeouts = 0;
};

LatencyRow measureLatency(AudioEngine& engine, RealtimeRenderer& renderer, int voice,
                          const std::string& label, const std::string& path, std::mt19937& random) {
    LatencyRow row;
    row.label = label;

    // Where the file's first sound is, as the engine decodes it (MP3 decoders
    // may put priming silence first); read from a sound of our own.
    SoundPtr reference = Sound::load(path, kRate);
    std::vector<float> head(static_cast<size_t>(Sound::kChunkFrames) * 2);
    const int64_t got = reference->read(0, head.data(), Sound::kChunkFrames);
    while (row.lead < got && head[static_cast<size_t>(row.lead) * 2] == 0.0f &&
           head[static_cast<size_t>(row.lead) * 2 + 1] == 0.0f) {
        ++row.lead;
    }
    if (row.lead == got) fail(path + " is silent at its start");
    const float expectLeft = head[static_cast<size_t>(row.lead) * 2];
    const float expectRight = head[static_cast<size_t>(row.lead) * 2 + 1];

    std::uniform_int_distribution<int> pauseUs(15'000, 45'000);
    SoundPtr sound;
    for (int trial = 0; trial < kLatencyTrials; ++trial) {
        // Long enough for the last stop's fade to end, random against the periods.
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        if (trial % 2 == 0) sound = engine.load(path);  // the first play right after loading
        renderer.arm();
        const int64_t asked = nowNs();
        if (!engine.play(voice, sound, std::nullopt, 1.0f)) fail("play refused " + path);

        const auto deadline = Clock::now() + 1s;
        int64_t frame = -1;
        while ((frame = renderer.foundFrame()) < 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(200us);
        }
        if (frame < 0) {
            ++row.timeouts;
        } else {
            // The file's frame 0 went out `lead` frames before its first sound.
            const int64_t first = frame - row.lead;
            const int64_t period = first / kPeriod;
            const int64_t offset = first % kPeriod;
            const double waited = static_cast<double>(renderer.periodStartNs(period) - asked);
            row.frames.push_back(waited * kRate / 1e9 + static_cast<double>(offset));
            row.maxOffset = std::max(row.maxOffset, offset);
            if (renderer.foundLeft() != expectLeft || renderer.foundRight() != expectRight) {
                ++row.mismatches;
            }
        }
        engine.stop(voice);
        engine.pump();
    }
    return row;
}

// ---- 2. Mixing cost -----------------------------------------------------

struct MixFigures {
    double audioSeconds = 0;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    int64_t waits = 0;  // times the read-ahead was awaited before a period
    uint64_t underruns = 0;
    float peak = 0;  // proof that the voices really sounded
};

// True when `sound` holds the period that starts at `frame`. Probes single
// frames so that the mix does not find its data already cached.
bool periodReady(Sound& sound, int64_t frame) {
    const int64_t end = sound.endFrame();
    if (frame >= end) return true;
    float probe[2];
    const int64_t last = std::min(frame + kPeriod, end) - 1;
    return sound.read(frame, probe, 1) == 1 && sound.read(last, probe, 1) == 1;
}

// Renders as fast as the read-ahead allows, on this thread, and times only
// the render calls. Waiting for the stream worker keeps its speed out of the
// figure, which is the mixer's.
MixFigures measureMix(AudioEngine& engine, NullOutput& output, const std::vector<SoundPtr>& sounds,
                      const std::vector<int>& voices) {
    MixFigures figures;
    const uint64_t underrunsBefore = engine.underruns();
    const int64_t periods = static_cast<int64_t>(kMixSeconds * kRate / kPeriod);
    std::vector<float> buffer(kPeriod * 2);
    int64_t cpuNs = 0;
    const auto start = Clock::now();
    for (int64_t p = 0; p < periods; ++p) {
        for (size_t i = 0; i < voices.size(); ++i) {
            while (!periodReady(*sounds[i], engine.position(voices[i]))) {
                ++figures.waits;
                std::this_thread::sleep_for(200us);
            }
        }
        const int64_t before = threadCpuNs();
        output.render(buffer.data(), kPeriod);
        cpuNs += threadCpuNs() - before;
        for (float sample : buffer) figures.peak = std::max(figures.peak, std::fabs(sample));
    }
    figures.wallSeconds = secondsSince(start);
    figures.audioSeconds = static_cast<double>(periods * kPeriod) / kRate;
    figures.cpuSeconds = static_cast<double>(cpuNs) / 1e9;
    figures.underruns = engine.underruns() - underrunsBefore;
    return figures;
}

// ---- 3. CPU while playing -----------------------------------------------

struct CpuFigures {
    double percent = 0;
    uint64_t underruns = 0;
    int64_t lateWakeups = 0;
};

// Whole-process CPU (render thread, stream worker and all) while the voices
// already started play on in real time.
CpuFigures measurePlayingCpu(AudioEngine& engine, NullOutput& output) {
    CpuFigures figures;
    RealtimeRenderer renderer(output);
    std::this_thread::sleep_for(kCpuSettle);  // let the read-ahead settle first
    const uint64_t underrunsBefore = engine.underruns();
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kCpuWindow);
    const double cpu = processCpuSeconds() - cpuBefore;
    figures.percent = 100.0 * cpu / secondsSince(start);
    figures.underruns = engine.underruns() - underrunsBefore;
    figures.lateWakeups = renderer.lateWakeups();
    return figures;
}

// ---- 4. Loading 28 slots ------------------------------------------------

struct LoadRun {
    double totalMs = 0;
    double slowestMs = 0;
};

LoadRun timeLoads(AudioEngine& engine, const std::vector<std::string>& paths,
                  std::vector<SoundPtr>& sounds) {
    LoadRun run;
    sounds.clear();
    for (const auto& path : paths) {
        const auto start = Clock::now();
        sounds.push_back(engine.load(path));
        const double ms = secondsSince(start) * 1000.0;
        run.totalMs += ms;
        run.slowestMs = std::max(run.slowestMs, ms);
    }
    for (const auto& sound : sounds) {
        if (!sound->playable()) fail("cannot load a slot: " + sound->error());
    }
    return run;
}

// Seconds until the worker has freed every sound nobody holds any more.
double awaitFreed(AudioEngine& engine) {
    const auto start = Clock::now();
    while (engine.liveSounds() > 0 && Clock::now() < start + 10s) {
        std::this_thread::sleep_for(5ms);
    }
    return secondsSince(start);
}

// ---- 5. Memory of 28 long sounds ----------------------------------------

struct MemoryFigures {
    double baselineMb = 0;
    double loadedMb = 0;
    double samplesMb = 0;  // what the sounds say they hold
    double loadSeconds = 0;
    double fillSeconds = 0;
    bool filled = false;
};

// True once the worker has filled the sound's whole read-ahead ring (it fills
// idle sounds nearest chunk first, all sounds alike, so the last is the test).
bool readAheadFull(Sound& sound) {
    const int64_t last = std::min(sound.endFrame(),
                                  (Sound::kHeadChunks + Sound::kRingChunks) * Sound::kChunkFrames) -
                         1;
    float probe[2];
    return sound.read(last, probe, 1) == 1;
}

MemoryFigures measureMemory(const std::vector<std::string>& paths) {
    MemoryFigures figures;
    Rig rig;
    figures.baselineMb = residentMb();
    std::vector<SoundPtr> sounds;
    sounds.reserve(paths.size());
    const auto loading = Clock::now();
    for (const auto& path : paths) sounds.push_back(rig.engine->load(path));
    figures.loadSeconds = secondsSince(loading);

    const auto filling = Clock::now();
    const auto deadline = filling + 20s;
    while (!figures.filled && Clock::now() < deadline) {
        figures.filled = std::all_of(sounds.begin(), sounds.end(),
                                     [](const SoundPtr& sound) { return readAheadFull(*sound); });
        if (!figures.filled) std::this_thread::sleep_for(20ms);
    }
    figures.fillSeconds = secondsSince(filling);
    std::this_thread::sleep_until(filling + 1s);
    figures.loadedMb = residentMb();
    for (const auto& sound : sounds) {
        figures.samplesMb += static_cast<double>(sound->sampleBytes()) / (1024.0 * 1024.0);
    }
    return figures;
}

// ---- Report -------------------------------------------------------------

double ms(double frames) {
    return frames * 1000.0 / kRate;
}

// One line of the table: what, how much, against what, and a remark.
void line(const char* label, const std::string& value, const std::string& target = "",
          const std::string& note = "") {
    std::string text =
        format("  %-40s %18s  %-18s %s", label, value.c_str(), target.c_str(), note.c_str());
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

std::string verdict(bool met) {
    return met ? "met" : "MISSED";
}

int run() {
    const auto runStart = Clock::now();
    TempDir dir;
    if (dir.path().empty()) fail("cannot make a temporary folder");

    progress("writing test files");
    const auto writing = Clock::now();
    const std::string jingle = dir.file("jingle.mp3");
    const std::string hour = dir.file("long.mp3");
    const std::string shortWav = dir.file("short.wav");
    const std::string shortMp3 = dir.file("short.mp3");
    const std::string jingleWav = dir.file("jingle.wav");
    makeFile(jingle, FileKind::Mp3, kJingleFrames, programme);
    makeFile(hour, FileKind::Mp3, kLongFrames, programme);
    makeFile(shortWav, FileKind::Wav16, kShortFrames, loudStart);
    makeFile(shortMp3, FileKind::Mp3, kShortFrames, loudStart);
    makeFile(jingleWav, FileKind::Wav16, kJingleFrames, loudStart);
    std::vector<std::string> slots;
    std::vector<std::string> longSlots;
    for (int i = 0; i < kSlots; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "slot_%02d.mp3", i);
        slots.push_back(dir.file(name));
        std::filesystem::copy_file(jingle, slots.back());
        // Links, not copies: memory does not depend on it and it spares the disk.
        std::snprintf(name, sizeof name, "long_%02d.mp3", i);
        longSlots.push_back(dir.file(name));
        std::filesystem::create_hard_link(hour, longSlots.back());
    }
    const double writeSeconds = secondsSince(writing);

    // Memory first, while the heap is still fresh.
    progress("loading 28 thirty-minute MP3s (memory)");
    const MemoryFigures memory = measureMemory(longSlots);

    Rig rig;
    AudioEngine& engine = *rig.engine;

    progress("loading 28 three-minute MP3s (cold, then warm)");
    for (const auto& path : slots) dropFromPageCache(path);
    std::vector<SoundPtr> sounds;
    const LoadRun cold = timeLoads(engine, slots, sounds);
    sounds.clear();
    const double freeSeconds = awaitFreed(engine);
    const LoadRun warm = timeLoads(engine, slots, sounds);

    progress("mixing 28 voices as fast as the read-ahead allows");
    std::vector<int> voices;
    for (const auto& sound : sounds) {
        voices.push_back(engine.createVoice());
        if (!engine.play(voices.back(), sound, std::nullopt, 1.0f / kSlots)) fail("play refused");
    }
    const MixFigures mix = measureMix(engine, rig.output(), sounds, voices);

    progress("playing 28 voices in real time");
    const CpuFigures cpu = measurePlayingCpu(engine, rig.output());
    for (int voice : voices) engine.stop(voice);
    engine.pump();

    progress("trigger latency");
    std::vector<LatencyRow> latency;
    int64_t lateWakeups = 0;
    double maxLatenessUs = 0;
    {
        Rig single;
        const int voice = single.engine->createVoice();
        // The device opens on the first play, and the renderer needs it open.
        SoundPtr opener = single.engine->load(shortWav);
        single.engine->play(voice, opener, std::nullopt, 1.0f);
        single.engine->stop(voice);
        single.output().render(4 * kPeriod);
        single.engine->pump();

        std::mt19937 random(20240611);
        RealtimeRenderer renderer(single.output());
        const std::pair<const char*, std::string> files[] = {
            {"WAV, 1 s", shortWav},
            {"WAV, 3 min", jingleWav},
            {"MP3, 1 s", shortMp3},
            {"MP3, 3 min", jingle},
        };
        for (const auto& [label, path] : files) {
            latency.push_back(measureLatency(*single.engine, renderer, voice, label, path, random));
        }
        lateWakeups = renderer.lateWakeups();
        maxLatenessUs = renderer.maxLatenessUs();
    }

    std::vector<double> allLatency;
    int mismatches = 0;
    int timeouts = 0;
    for (const auto& row : latency) {
        allLatency.insert(allLatency.end(), row.frames.begin(), row.frames.end());
        mismatches += row.mismatches;
        timeouts += row.timeouts;
    }
    const double latencyMax = maximum(allLatency);
    const double latencyMedian = median(allLatency);
    const double mixFactor = mix.audioSeconds / mix.cpuSeconds;
    const double periodCpuUs = mix.cpuSeconds * 1e6 / (mix.audioSeconds * kRate / kPeriod);
    const uint64_t underruns = mix.underruns + cpu.underruns;

    std::printf(
        "\nTambrel audio engine on the null output: %d Hz, %d-frame periods, %d slots, "
        "%u cores\n\n",
        kRate, kPeriod, kSlots, std::thread::hardware_concurrency());
    line("figure", "value", "target");

    std::printf(
        "Trigger latency, play() to the file's first frame out (%d trials per file, "
        "half of them right after load)\n",
        kLatencyTrials);
    for (const auto& row : latency) {
        line(row.label.c_str(),
             format("%.0f / %.0f / %.0f fr", minimum(row.frames), median(row.frames),
                    maximum(row.frames)),
             "min / median / max",
             format("decoded lead %lld fr, offset in period <= %lld fr, wrong data %d, "
                    "never sounded %d",
                    static_cast<long long>(row.lead), static_cast<long long>(row.maxOffset),
                    row.mismatches, row.timeouts));
    }
    line("max, all files", format("%.0f fr", latencyMax), format("<= %.0f fr", kLatencyTarget),
         verdict(latencyMax <= kLatencyTarget));
    line("max, all files", format("%.2f ms", ms(latencyMax)),
         format("<= %.2f ms", ms(kLatencyTarget)));
    line("median, all files", format("%.0f fr", latencyMedian), "",
         format("%.2f ms", ms(latencyMedian)));
    line("render thread's worst wake-up", format("%.0f us late", maxLatenessUs), "",
         format("%lld wake-ups a whole period late", static_cast<long long>(lateWakeups)));

    std::printf("Mixing 28 voices of 3-min MP3, %.0f s of audio, CPU of the render calls only\n",
                kMixSeconds);
    line("mix speed", format("%.0f x rt", mixFactor), format(">= %.0f x rt", kMixTarget),
         verdict(mixFactor >= kMixTarget));
    line("render CPU per period", format("%.1f us", periodCpuUs), "",
         format("%.2f %% of a %.1f ms period", 100.0 * periodCpuUs * kRate / 1e6 / kPeriod,
                ms(kPeriod)));
    line("wall time of the run", format("%.2f s", mix.wallSeconds), "",
         format("%lld waits for the read-ahead", static_cast<long long>(mix.waits)));
    line("output peak", format("%.3f", mix.peak));
    line("underruns", format("%llu", static_cast<unsigned long long>(mix.underruns)));

    std::printf("Playing 28 MP3 voices in real time for %lld s, CPU of the whole process\n",
                static_cast<long long>(kCpuWindow.count()));
    line("CPU", format("%.1f %%", cpu.percent), format("< %.0f %% of a core", kCpuTarget),
         verdict(cpu.percent < kCpuTarget));
    line("underruns", format("%llu", static_cast<unsigned long long>(cpu.underruns)), "",
         format("%lld render wake-ups a whole period late",
                static_cast<long long>(cpu.lateWakeups)));

    std::printf("Loading 28 three-minute MP3 slots in a row, engine.load() on one thread\n");
    line("first run, cold", format("%.1f ms", cold.totalMs), "",
         format("files dropped from the page cache; slowest load %.1f ms", cold.slowestMs));
    line("second run, warm", format("%.1f ms", warm.totalMs), format("< %.0f ms", kLoadTarget),
         format("%s; slowest load %.1f ms", verdict(warm.totalMs < kLoadTarget).c_str(),
                warm.slowestMs));
    line("first run's sounds freed after", format("%.2f s", freeSeconds), "",
         "by the stream worker, once released");

    std::printf("Memory with 28 thirty-minute MP3 sounds loaded (VmRSS)\n");
    line("resident before loading", format("%.1f MB", memory.baselineMb));
    line("resident after loading", format("%.1f MB", memory.loadedMb),
         format("< %.0f MB", kRssTarget), verdict(memory.loadedMb < kRssTarget));
    line("samples the sounds hold", format("%.1f MB", memory.samplesMb));
    line("loading took", format("%.2f s", memory.loadSeconds), "",
         format("read-ahead %s after %.2f s", memory.filled ? "full" : "NOT full",
                memory.fillSeconds));

    std::printf("Run\n");
    line("writing the test files", format("%.2f s", writeSeconds));
    line("whole run", format("%.2f s", secondsSince(runStart)));
    if (mismatches > 0 || timeouts > 0) {
        std::printf("WARNING: %d latency trials sounded other data, %d never sounded\n", mismatches,
                    timeouts);
    }
    if (underruns > 0) std::printf("WARNING: underruns make the mix and CPU figures suspect\n");

    std::printf("\n");
    std::printf("trigger_latency_frames %.1f\n", latencyMax);
    std::printf("mix_realtime_factor %.1f\n", mixFactor);
    std::printf("cpu_percent_28_mp3 %.2f\n", cpu.percent);
    std::printf("filename_28_mp3_ms %.1f\n", warm.totalMs);
    std::printf("rss_28_slots_mb %.1f\n", memory.loadedMb);
    std::printf("underruns %llu\n", static_cast<unsigned long long>(underruns));
    return 0;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "engine_bench: %s\n", error.what());
        return 1;
    }
}
