#pragma once

// One trial: wait for a silent sink, wait a random 0-20 ms, trigger, then
// follow the sound on the sink from its first sample to its end, and judge
// whether all of the file came out: the start not skipped nor faded in, no
// dropout, the end not cut. A trial that skips its start is incomplete, not
// fast; a player that never sounds gives an incomplete trial with no time.

#include <chrono>
#include <functional>
#include <random>
#include <string>

#include "bench/idle_probe.h"
#include "bench/latency/clips.h"
#include "bench/latency/sink_probe.h"

namespace tambrel::bench {

struct Outcome {
    bool sounded = false;
    bool startWhole = false;  // the first sample heard was the file's first, at its level
    double latencyMs = 0;     // trigger to the first sample at the sink
    double durationMs = 0;
    double startMs = 0;   // ramp only: how far into the file the first sample was
    std::string problem;  // what made it incomplete, in short; empty when complete
    std::string detail;
    std::string stream;    // what the player sent the sink: rate, format, resampler
    double bufferMs = -1;  // the stream's own buffering as the server saw it

    bool complete() const { return sounded && problem.empty(); }
};

// A trial as reported: which candidate, which case, which clip.
struct Record {
    std::string candidate;
    std::string mode;
    int clip = 0;
    Outcome outcome;

    // One line without newlines, for a child process to hand its trials over.
    std::string toLine() const;
    static bool fromLine(const std::string& line, Record& record);
};

// A sound stopped while it sounds: from the stop to the fade under way (its
// level below 90 % of the tone's) and to silence at the sink.
struct StopOutcome {
    double fadeMs = -1;  // -1: not measured (`problem` says why)
    double silentMs = -1;
    std::string problem;
};

class TrialRunner {
  public:
    TrialRunner(SinkProbe& probe, unsigned seed);

    // `trigger` starts the player; `ended` (may be empty) tells when the
    // player itself is done, so the next trial finds it idle.
    Outcome run(const Clip& clip, const std::function<void()>& trigger,
                const std::function<bool()>& ended);

    // `start` starts the loud clip; once it sounds, after a random 200-220
    // ms, `stop` is called.
    StopOutcome runStop(const std::function<void()>& start, const std::function<void()>& stop);

    // These keep Qt's events flowing while they wait, and are all bounded.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    void pause(std::chrono::microseconds time);
    bool waitForSilence(std::chrono::milliseconds limit);
    // True once anything sounds at the sink (used to prime players).
    bool waitForSound(std::chrono::milliseconds limit);

    SinkProbe& probe() { return probe_; }
    // An incomplete trial then also tells how late the machine woke an idle
    // thread while it ran: a hole as long as that is the machine's.
    void watchMachine(const IdleProbe* idle) { idle_ = idle; }

  private:
    void judge(const Clip& clip, int64_t onset, int64_t until, Outcome& outcome) const;
    void describeStream(Outcome& outcome);

    SinkProbe& probe_;
    const IdleProbe* idle_ = nullptr;
    std::mt19937 random_;
};

}  // namespace tambrel::bench
