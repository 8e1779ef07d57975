// Trigger to sound: how long after a start call the first sample of a file
// reaches a sink, for Tambrel's player and for the players a Linux desktop
// offers (Qt Multimedia on GStreamer and on FFmpeg, QSoundEffect, paplay,
// and pw-play on PipeWire), and whether all of the file came out. Runs its
// own sound server with one null sink and records the sink's monitor:
// PulseAudio, recorded through libpulse, or PipeWire as a desktop runs it
// (with its server for PulseAudio clients), recorded as a native stream.
// Prints a table, then each figure as `name value` for scripts. Nothing here
// passes or fails.
//
//   latency_bench [--server pulse|pipewire] [--period FRAMES]
//                 [--output pipewire|pulse|sdl] [--trials N] [--seed N]
//                 [--tambrel-only] [--hold-quantum] [--load N] [--warm-up SECONDS]
//                 [--free-sink]
//
// --server picks the sound server (PulseAudio by default). --period sets the
// frames per device period of Tambrel's engine (its PulseAudio and SDL
// outputs), --output the adapter it plays through (by default PipeWire's own
// on PipeWire, the sound server's through libpulse on PulseAudio; on
// PipeWire, Tambrel through libpulse is measured beside it as a peer);
// --hold-quantum keeps Tambrel's PipeWire quantum where --period asks it,
// however many cycles the machine misses, to measure one quantum; --trials the trials per peer
// and per row of Tambrel's table (at least); --tambrel-only leaves the peers out, for trying
// periods quickly.
// --load runs the same trials on a busy machine, as on air: N threads kept
// busy (even ones computing, odd ones streaming through 64 MB buffers), and
// stress_bench, from beside this program, churning 28 voices through the
// same server into two sinks of their own. --warm-up: how long Tambrel's
// device is open before its first trial, as the window opens its output at
// start and lets its queue fit the machine while nothing sounds (20 s by
// default; 0 opens the device at the first start). --free-sink: the
// recorder asks PulseAudio for 100 ms fragments, so that the sink's buffer
// is set by the players alone, not by the recorder's wish for a short one.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/figures.h"
#include "bench/latency/candidates.h"
#include "bench/latency/clips.h"
#include "bench/latency/load.h"
#include "bench/latency/pipewire_probe.h"
#include "bench/latency/pulse_probe.h"
#include "bench/latency/trial.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/pipewire_output.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_audio.h"

extern char** environ;

namespace {

using namespace tambrel::bench;
using tambrel::testing::PulseServer;
using namespace std::chrono_literals;

constexpr const char* kSink = "Bench";
constexpr int kPulseRate = 44100;
constexpr int kGraphRate = 48000;  // PipeWire's, as a desktop's graph runs
constexpr const char* kFfmpegCandidate = "qmediaplayer-ffmpeg";
constexpr const char* kGstName = "QMediaPlayer (GStreamer)";
constexpr const char* kFfmpegName = "QMediaPlayer (FFmpeg)";
constexpr const char* kSoundEffectName = "QSoundEffect";
constexpr const char* kPaplayName = "paplay";
constexpr const char* kPwPlayName = "pw-play";
constexpr const char* kTambrelPulsePath = "Tambrel through libpulse";
// stress_bench's devices, the only ones it uses on a server it is given.
constexpr const char* kChurnSink = "Studio";
constexpr const char* kChurnOtherSink = "Cue";
constexpr auto kChurnStartLimit = std::chrono::seconds(180);
constexpr auto kChildLimit = 150s;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Options {
    int period = tambrel::audio::kPeriodFrames;
    std::string server = "pulse";
    std::string output;  // by default the server's own
    bool tambrelOnly = false;
    bool holdQuantum = false;
    bool freeSink = false;
    int trials = 15;
    std::optional<int> load;  // busy threads; none for a quiet run
    int warmUp = 20;          // seconds Tambrel's device is open before its first trial
    unsigned seed = 20240611;
    std::string candidate;  // set in the child process only
    std::string clips;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "latency_bench: %s\nusage: latency_bench [--server pulse|pipewire] "
                 "[--period FRAMES] [--output pipewire|pulse|sdl] [--trials N] [--seed N] "
                 "[--tambrel-only] [--hold-quantum] [--load N] [--warm-up SECONDS] "
                 "[--free-sink]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tambrel-only") {
            options.tambrelOnly = true;
            continue;
        }
        if (arg == "--hold-quantum") {
            options.holdQuantum = true;
            continue;
        }
        if (arg == "--free-sink") {
            options.freeSink = true;
            continue;
        }
        if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
        const std::string value = argv[++i];
        try {
            if (arg == "--period") {
                options.period = std::stoi(value);
            } else if (arg == "--output") {
                options.output = value;
            } else if (arg == "--server") {
                options.server = value;
            } else if (arg == "--trials") {
                options.trials = std::stoi(value);
            } else if (arg == "--load") {
                options.load = std::stoi(value);
            } else if (arg == "--warm-up") {
                options.warmUp = std::stoi(value);
            } else if (arg == "--seed") {
                options.seed = static_cast<unsigned>(std::stoul(value));
            } else if (arg == "--candidate") {
                options.candidate = value;
            } else if (arg == "--clips") {
                options.clips = value;
            } else {
                usage(("unknown option " + arg).c_str());
            }
        } catch (const std::logic_error&) {
            usage(("not a number: " + value).c_str());
        }
    }
    if (options.period < 16 || options.period > 8192) usage("--period must be 16 to 8192");
    if (options.trials < 1) usage("--trials must be at least 1");
    if (options.warmUp < 0 || options.warmUp > 3600) usage("--warm-up must be 0 to 3600");
    if (options.load && (*options.load < 0 || *options.load > 64)) usage("--load must be 0 to 64");
    if (options.server != "pulse" && options.server != "pipewire") {
        usage("--server must be pulse or pipewire");
    }
    if (options.output.empty()) options.output = options.server;
    if (options.output != "pulse" && options.output != "sdl" && options.output != "pipewire") {
        usage("--output must be pipewire, pulse or sdl");
    }
    if (options.output == "pipewire" && options.server != "pipewire") {
        usage("--output pipewire needs --server pipewire");
    }
    if (options.holdQuantum && options.output != "pipewire") {
        usage("--hold-quantum is for --output pipewire");
    }
    if (options.freeSink && options.server != "pulse") usage("--free-sink is for --server pulse");
    return options;
}

const Clock::time_point runStart = Clock::now();

bool onPipeWire(const Options& options) {
    return options.server == "pipewire";
}

int sinkRate(const Options& options) {
    return onPipeWire(options) ? kGraphRate : kPulseRate;
}

std::unique_ptr<SinkProbe> recordSink(const Options& options) {
    if (onPipeWire(options)) return std::make_unique<PipeWireProbe>(kSink, kGraphRate);
    return std::make_unique<PulseProbe>(std::string(kSink) + ".monitor", kPulseRate,
                                        options.freeSink ? 100'000 : 1000);
}

// ---- The FFmpeg backend, in a child ---------------------------------------
//
// Qt Multimedia picks its backend once per process, from QT_MEDIA_BACKEND
// as it starts, so the FFmpeg candidate runs in a copy of this program whose
// trials come back as lines on its standard output.

int runChild(const Options& options) {
    int argc = 1;
    char name[] = "latency_bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const std::unique_ptr<SinkProbe> probe = recordSink(options);
    const std::vector<Clip> clips = makeClips(options.clips, false);
    TrialRunner runner(*probe, options.seed);
    const std::vector<Record> records = runQMediaPlayer(runner, clips, options.trials, kFfmpegName);
    std::printf("backend\t%s\n", loadedMediaBackend().c_str());
    for (const auto& record : records) std::printf("%s\n", record.toLine().c_str());
    std::fflush(stdout);
    return 0;
}

std::vector<Record> runFfmpegChild(const Options& options, const std::string& clipsFolder,
                                   std::string& backend) {
    std::vector<std::string> args = {"latency_bench",
                                     "--candidate",
                                     kFfmpegCandidate,
                                     "--trials",
                                     std::to_string(options.trials),
                                     "--seed",
                                     std::to_string(options.seed + 1),
                                     "--server",
                                     options.server,
                                     "--clips",
                                     clipsFolder};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string(*entry).rfind("QT_MEDIA_BACKEND=", 0) != 0)
            environment.emplace_back(*entry);
    }
    environment.emplace_back("QT_MEDIA_BACKEND=ffmpeg");
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start the FFmpeg child");
    }

    std::string text;
    const auto deadline = Clock::now() + kChildLimit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            kill(pid, SIGKILL);
            progress("the FFmpeg child ran out of time and was killed");
            break;
        }
        pollfd watch{out[0], POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    waitpid(pid, nullptr, 0);

    std::vector<Record> records;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        Record record;
        if (line.rfind("backend\t", 0) == 0) backend = line.substr(8);
        if (Record::fromLine(line, record)) records.push_back(record);
    }
    return records;
}

// ---- Report ---------------------------------------------------------------

using Filter = std::function<bool(const Record&)>;

struct Summary {
    int trials = 0;
    int complete = 0;
    // Trials whose start came out whole: a skipped start is no win, while an
    // end cut later does not make the start any faster.
    std::vector<double> latencies;
    std::map<std::string, int> problems;
    std::map<std::string, int> streams;
    std::vector<double> buffers;

    int incomplete() const { return trials - complete; }
    double min() const {
        return latencies.empty() ? kNan : *std::min_element(latencies.begin(), latencies.end());
    }
    double max() const {
        return latencies.empty() ? kNan : *std::max_element(latencies.begin(), latencies.end());
    }
    double med() const { return median(latencies); }
};

Summary summarize(const std::vector<Record>& records, const Filter& filter) {
    Summary summary;
    for (const auto& record : records) {
        if (!filter(record)) continue;
        const Outcome& outcome = record.outcome;
        ++summary.trials;
        if (outcome.startWhole) summary.latencies.push_back(outcome.latencyMs);
        if (outcome.complete()) {
            ++summary.complete;
        } else {
            ++summary.problems[outcome.problem];
        }
        if (!outcome.stream.empty()) ++summary.streams[outcome.stream];
        if (outcome.bufferMs >= 0) summary.buffers.push_back(outcome.bufferMs);
    }
    return summary;
}

Filter byCandidate(const std::string& candidate, const std::string& mode) {
    return [=](const Record& r) { return r.candidate == candidate && r.mode == mode; };
}

bool tambrelCase(const Record& r) {
    return r.candidate == kTambrel && r.mode != kColdStart;
}

std::string number(double value, const char* pattern = "%.1f") {
    return std::isnan(value) ? "-" : format(pattern, value);
}

std::string problemsOf(const Summary& summary) {
    std::string text;
    for (const auto& [problem, count] : summary.problems) {
        if (!text.empty()) text += ", ";
        text += format("%d %s", count, problem.c_str());
    }
    return text;
}

void header() {
    std::printf("  %-46s %6s %8s  %7s %7s %7s  %9s  %s\n", "what", "trials", "complete", "min",
                "median", "max", "peer/Tamb", "notes");
}

void row(const std::string& label, const Summary& summary, double tambrelMedian = kNan,
         const std::string& note = "") {
    std::string notes = problemsOf(summary);
    if (!note.empty()) notes += (notes.empty() ? "" : "; ") + note;
    const double ratio = summary.med() / tambrelMedian;
    std::printf("  %-46s %6d %8d  %7s %7s %7s  %9s  %s\n", label.c_str(), summary.trials,
                summary.complete, number(summary.min()).c_str(), number(summary.med()).c_str(),
                number(summary.max()).c_str(), number(ratio, "%.2fx").c_str(), notes.c_str());
}

// Medians by format, for the peers whose trials go round the formats.
std::string byFormat(const std::vector<Record>& records, const Filter& filter) {
    std::string text;
    for (int format = 0; format < kFormats; ++format) {
        const Summary summary = summarize(
            records, [&](const Record& r) { return filter(r) && formatOf(r.clip) == format; });
        if (summary.trials == 0) continue;
        if (!text.empty()) text += ", ";
        text += formatName(format) + " " + number(summary.med());
    }
    return text;
}

void streamsOf(const std::string& label, const Summary& summary) {
    for (const auto& [stream, count] : summary.streams) {
        std::printf("  %-34s %3d x %s\n", label.c_str(), count, stream.c_str());
    }
    if (!summary.buffers.empty()) {
        std::printf("  %-34s       stream buffer at the server, median %.1f ms\n", label.c_str(),
                    median(summary.buffers));
    }
}

struct Peer {
    std::string label;
    Filter filter;
    const char* key;  // for the `name value` lines; null when none
};

// The figures depend on what else the machine is doing: say so.
std::string loadAverage() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return "unknown";
    return format("%.2f %.2f %.2f", load[0], load[1], load[2]);
}

int runParent(const Options& options) {
    const std::string loadBefore = loadAverage();
    unsetenv("QT_MEDIA_BACKEND");  // the parent measures Qt's default backend
    tambrel::testing::TempDir dir;
    if (dir.path().empty()) throw std::runtime_error("cannot make a temporary folder");

    const bool loaded = options.load.has_value();
    const std::string churnProgram = besideThisProgram("stress_bench");
    if (loaded && access(churnProgram.c_str(), X_OK) != 0) {
        throw std::runtime_error("--load needs stress_bench beside this program, at " +
                                 churnProgram);
    }
    const bool pipewire = onPipeWire(options);
    const int rate = sinkRate(options);
    progress(pipewire ? "starting a private PipeWire" : "starting a private PulseAudio server");
    // Ours first, as in a quiet run: QSoundEffect went to the first sink
    // even with ours made the server's default.
    const std::vector<std::string> churnSinks =
        loaded ? std::vector<std::string>{kChurnSink, kChurnOtherSink} : std::vector<std::string>{};
    std::unique_ptr<tambrel::testing::SoundServer> server;
    if (pipewire) {
        server =
            std::make_unique<tambrel::testing::PipeWireServer>(dir.path(), kSink, rate, churnSinks);
    } else {
        server = std::make_unique<PulseServer>(dir.path(), kSink, rate, churnSinks);
    }
    progress("writing the test sounds");
    const std::vector<Clip> clips = makeClips(dir.path(), true);

    int argc = 1;
    char name[] = "latency_bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const std::unique_ptr<SinkProbe> recorder = recordSink(options);
    SinkProbe& probe = *recorder;
    const IdleProbe idle;
    TrialRunner runner(probe, options.seed);
    runner.watchMachine(&idle);
    const int perCell = (options.trials + 2) / 3;

    std::optional<ChurnChild> churn;
    std::optional<BusyThreads> busy;
    if (loaded) {
        progress("stress_bench: 28 voices through this server into " + std::string(kChurnSink) +
                 " and " + kChurnOtherSink);
        const char* address = std::getenv("PULSE_SERVER");
        churn.emplace(churnProgram, address != nullptr ? address : "", dir.path());
        if (!churn->waitUntilPlaying(kChurnSink, kChurnStartLimit)) {
            throw std::runtime_error("stress_bench did not start playing: " + churn->stop());
        }
        progress(format("%d busy threads", *options.load));
        busy.emplace(*options.load);
    }

    std::vector<Record> records;
    auto add = [&records](const std::vector<Record>& more) {
        records.insert(records.end(), more.begin(), more.end());
    };
    TambrelFigures tambrel;
    progress(format("Tambrel on %s, period %d frames, %d trials per case and format",
                    options.output.c_str(), options.period, perCell));
    add(runTambrel(runner, clips, options.holdQuantum ? kPipeWireHeld : options.output,
                   options.period, perCell, std::chrono::seconds(options.warmUp), tambrel));
    std::string parentBackend = "none";
    if (pipewire && !options.tambrelOnly) {
        progress("Tambrel through libpulse, on PipeWire's server for PulseAudio clients");
        TambrelFigures throughPulse;
        std::vector<Record> more = runTambrel(runner, clips, "pulse", options.period, perCell,
                                              std::chrono::seconds(options.warmUp), throughPulse);
        for (Record& record : more) record.candidate = kTambrelPulsePath;
        add(more);
    }
    if (!options.tambrelOnly) {
        progress("QMediaPlayer on Qt's default backend");
        add(runQMediaPlayer(runner, clips, options.trials, kGstName));
        parentBackend = loadedMediaBackend();
        progress("QSoundEffect");
        add(runQSoundEffect(runner, clips, options.trials));
        progress("paplay");
        add(runCommand(runner, clips, options.trials, kPaplayName));
        if (pipewire) {
            progress("pw-play");
            add(runCommand(runner, clips, options.trials, kPwPlayName));
        }
    }

    const QString ffmpegPlugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                 QStringLiteral("/multimedia/libffmpegmediaplugin.so");
    std::string childBackend;
    std::string ffmpegNote;
    if (options.tambrelOnly) {
        ffmpegNote = "peers not measured (--tambrel-only)";
    } else if (QFileInfo::exists(ffmpegPlugin)) {
        progress("QMediaPlayer on the FFmpeg backend, in a child process");
        add(runFfmpegChild(options, dir.path(), childBackend));
        if (childBackend != "ffmpeg") {
            ffmpegNote = "the child loaded the '" + childBackend + "' backend, not FFmpeg";
        }
    } else {
        ffmpegNote = "no FFmpeg backend for Qt Multimedia here (" + ffmpegPlugin.toStdString() +
                     " missing): skipped";
    }
    const double captureLow = probe.minLatencyMs();
    const double captureHigh = probe.maxLatencyMs();
    const double fragment = probe.fragmentMs();
    std::string loadNote;
    if (loaded) {
        loadNote = format(
            "%d busy threads (%d computing, %d streaming through memory), stress_bench churning "
            "28 voices into %s and %s of this server",
            *options.load, busy->arithmetic(), busy->memory(), kChurnSink, kChurnOtherSink);
        busy.reset();
        const std::string churnEnd = churn->stop();
        churn.reset();
        if (!churnEnd.empty()) {
            loadNote += "; stress_bench ended before the trials did, " + churnEnd;
            progress("stress_bench ended early");
        }
    }
    server->stop();

    // ---- The table
    std::printf(
        "\nTrigger to the first sample at the sink, in ms, over the trials whose start came out "
        "whole\n");
    if (pipewire) {
        std::printf(
            "  private PipeWire (daemon, session manager, server for PulseAudio clients), null "
            "sink \"%s\" at %d Hz; recorded by a native stream, timed by the graph's clock; "
            "graph cycle at the end %.2f ms\n",
            kSink, rate, fragment);
    } else {
        std::printf(
            "  private PulseAudio, null sink \"%s\" at %d Hz; capture fragment %.2f ms, "
            "capture latency reported %.2f to %.2f ms\n",
            kSink, rate, fragment, captureLow, captureHigh);
    }
    std::printf(
        "  sounds: 1 kHz, 1 s, loud from the first sample (-6 dBFS) or rising 0.05 -> 0.5; "
        "WAV and MP3 at 48 and 44.1 kHz; random 0-20 ms before each trigger\n");
    std::printf(
        "  complete: start neither skipped (> %.0f ms) nor faded, no dropout, length within "
        "20 ms of the file\n",
        3.0);
    std::printf("  Qt Multimedia backend: %s in this process, %s in the child\n",
                parentBackend.c_str(), childBackend.empty() ? "none" : childBackend.c_str());
    std::printf("  %u cores; load average %s before the run, %s after\n",
                std::thread::hardware_concurrency(), loadBefore.c_str(), loadAverage().c_str());
    std::printf("  load: %s\n\n", loaded ? loadNote.c_str() : "none, a quiet run");

    const Summary tambrelAll = summarize(records, tambrelCase);
    const double tambrelMedian = tambrelAll.med();

    if (options.output == "pipewire") {
        std::printf(
            "Tambrel, MMAudioPlayerX on PipeWire's own stream, quantum asked %d frames "
            "(%.1f ms), %s\n",
            tambrel::audio::PipeWireBackend::quantumFor(options.period),
            tambrel::audio::PipeWireBackend::quantumFor(options.period) * 1000.0 / rate,
            options.holdQuantum ? "held" : "following the machine");
    } else {
        std::printf("Tambrel, MMAudioPlayerX on %s, %d-frame period (%.1f ms)\n",
                    options.output == "sdl" ? "SDL2" : "the sound server's stream", options.period,
                    options.period * 1000.0 / rate);
    }
    header();
    row(options.warmUp > 0 ? "first start of the session (device open " +
                                 std::to_string(options.warmUp) + " s before)"
                           : std::string("first start of the session (opens the device)"),
        summarize(records, byCandidate(kTambrel, kColdStart)));
    for (const char* mode : {kAfterFileName, kAfterEnd, kAfterStop}) {
        for (int f = 0; f < kFormats; ++f) {
            row(std::string(mode) + ", " + formatName(f), summarize(records, [&](const Record& r) {
                    return r.candidate == kTambrel && r.mode == mode && formatOf(r.clip) == f;
                }));
        }
    }
    for (const char* mode : {kAfterFileName, kAfterEnd, kAfterStop}) {
        row(std::string(mode) + ", all formats", summarize(records, byCandidate(kTambrel, mode)));
    }
    for (int f = 0; f < kFormats; ++f) {
        row(formatName(f) + ", all cases", summarize(records, [&](const Record& r) {
                return tambrelCase(r) && formatOf(r.clip) == f;
            }));
    }
    row("all cases", tambrelAll, kNan,
        format("engine underruns %llu (%llu in the warm-up)",
               static_cast<unsigned long long>(tambrel.underruns),
               static_cast<unsigned long long>(tambrel.warmUpUnderruns)));
    std::printf(
        "  a start waits behind: %.1f ms at the first trial, %.1f ms at the last, "
        "%.1f ms at most\n",
        tambrel.queueStartMs, tambrel.queueEndMs, tambrel.queueMaxMs);
    std::printf(
        "  mixed ahead at the server beyond it, mixed again at each command: %.1f ms at the "
        "first trial, %.1f ms at the last\n",
        tambrel.reserveStartMs, tambrel.reserveEndMs);
    const double stopFade = median(tambrel.stopFadeMs);
    const double stopSilent = median(tambrel.stopSilentMs);
    std::printf(
        "  stops of a sounding slot: %zu measured, %zu not (%s); from the stop to the fade under "
        "way %s ms median (%s to %s), to silence %s ms median\n",
        tambrel.stopFadeMs.size(), tambrel.stopProblems.size(),
        tambrel.stopProblems.empty() ? "-" : tambrel.stopProblems.front().c_str(),
        number(stopFade).c_str(),
        number(tambrel.stopFadeMs.empty()
                   ? kNan
                   : *std::min_element(tambrel.stopFadeMs.begin(), tambrel.stopFadeMs.end()))
            .c_str(),
        number(tambrel.stopFadeMs.empty()
                   ? kNan
                   : *std::max_element(tambrel.stopFadeMs.begin(), tambrel.stopFadeMs.end()))
            .c_str(),
        number(stopSilent).c_str());

    std::vector<Peer> peers = {
        {std::string(kGstName) + ", fresh", byCandidate(kGstName, kFresh), "qmediaplayer"},
        {std::string(kGstName) + ", reused", byCandidate(kGstName, kReused), nullptr},
        {std::string(kFfmpegName) + ", fresh", byCandidate(kFfmpegName, kFresh),
         "qmediaplayer_ffmpeg"},
        {std::string(kFfmpegName) + ", reused", byCandidate(kFfmpegName, kReused), nullptr},
        {std::string(kSoundEffectName) + ", reused (WAV)", byCandidate(kSoundEffectName, kReused),
         "qsoundeffect"},
        {std::string(kPaplayName) + ", new process", byCandidate(kPaplayName, kNewProcess),
         "paplay"},
    };
    if (pipewire) {
        peers.push_back({std::string(kPwPlayName) + ", new process",
                         byCandidate(kPwPlayName, kNewProcess), "pw_play"});
        peers.insert(peers.begin(), {std::string(kTambrelPulsePath) + ", all cases",
                                     [](const Record& r) {
                                         return r.candidate == kTambrelPulsePath &&
                                                r.mode != kColdStart;
                                     },
                                     "tambrel_pulse_path"});
    }
    std::printf("\nPeers (peer/Tamb: peer median / Tambrel median over all cases)\n");
    header();
    for (const auto& peer : peers) {
        const Summary summary = summarize(records, peer.filter);
        std::string note = byFormat(records, peer.filter);
        if (summary.trials == 0 && !ffmpegNote.empty() && peer.label.rfind(kFfmpegName, 0) == 0) {
            note = ffmpegNote;
        }
        row(peer.label, summary, tambrelMedian, note);
    }
    if (!ffmpegNote.empty()) std::printf("  note: %s\n", ffmpegNote.c_str());

    std::printf("\nWhat reached the sink (%d Hz), per candidate\n", rate);
    streamsOf("Tambrel", tambrelAll);
    for (const auto& peer : peers) streamsOf(peer.label, summarize(records, peer.filter));

    std::vector<const Record*> incomplete;
    for (const auto& record : records) {
        if (!record.outcome.complete()) incomplete.push_back(&record);
    }
    std::printf("\nIncomplete trials: %zu\n", incomplete.size());
    for (const Record* record : incomplete) {
        const Clip& clip = clips[static_cast<size_t>(record->clip)];
        std::printf("  %s, %s, %s %s: %s: %s\n", record->candidate.c_str(), record->mode.c_str(),
                    clip.format().c_str(), clip.shapeName(), record->outcome.problem.c_str(),
                    record->outcome.detail.c_str());
    }

    const double runSeconds = secondsSince(runStart);
    std::printf(
        "\nThe machine: an idle %sthread asking to sleep 1 ms woke up to %.1f ms late; "
        "%d times over 10 ms\n",
        idle.realtime() ? "real-time " : "", idle.worstLateMs(), idle.countLaterThan(10));
    std::printf("\nRun took %.0f s\n\n", runSeconds);

    std::printf("tambrel_period_frames %d\n", options.period);
    std::printf("tambrel_median_ms %.2f\n", tambrelMedian);
    std::printf("tambrel_incomplete %d\n", tambrelAll.incomplete());
    std::printf("tambrel_cold_start_ms %.2f\n",
                summarize(records, byCandidate(kTambrel, kColdStart)).med());
    if (loaded) {
        std::printf("tambrel_incomplete_loaded %d\n", tambrelAll.incomplete());
        std::printf("tambrel_median_loaded_ms %.2f\n", tambrelMedian);
    }
    if (options.output == "pipewire") {
        std::printf("tambrel_pipewire_median_ms %.2f\n", tambrelMedian);
        std::printf("tambrel_pipewire_incomplete %d\n", tambrelAll.incomplete());
    }
    if (options.freeSink) std::printf("tambrel_median_ms_free_sink %.2f\n", tambrelMedian);
    // What is queued ahead of the sink: the reserve where the output keeps one.
    std::printf("tambrel_queue_start_ms %.2f\n",
                tambrel.reserveStartMs > 0 ? tambrel.reserveStartMs : tambrel.queueStartMs);
    std::printf("tambrel_queue_end_ms %.2f\n",
                tambrel.reserveEndMs > 0 ? tambrel.reserveEndMs : tambrel.queueEndMs);
    std::printf("tambrel_start_wait_end_ms %.2f\n", tambrel.queueEndMs);
    std::printf("tambrel_stop_median_ms %.2f\n", stopFade);
    std::printf("tambrel_stop_silent_median_ms %.2f\n", stopSilent);
    std::printf("tambrel_stop_unmeasured %zu\n", tambrel.stopProblems.size());
    for (const auto& peer : peers) {
        if (peer.key != nullptr) {
            std::printf("%s_median_ms %.2f\n", peer.key, summarize(records, peer.filter).med());
        }
    }
    for (const auto& peer : peers) {
        if (peer.key != nullptr) {
            std::printf("ratio_%s %.2f\n", peer.key,
                        summarize(records, peer.filter).med() / tambrelMedian);
        }
    }
    std::printf("idle_probe_worst_late_ms %.1f\n", idle.worstLateMs());
    std::printf("run_seconds %.0f\n", runSeconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    try {
        if (options.candidate == kFfmpegCandidate) return runChild(options);
        if (!options.candidate.empty()) usage("unknown candidate");
        return runParent(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency_bench: %s\n", error.what());
        return 1;
    }
}
