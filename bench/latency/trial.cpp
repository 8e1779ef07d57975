#include "bench/latency/trial.h"

#include "bench/figures.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

// Onset threshold: the ramp's first sample is 0.05, silence is 0.
constexpr float kLoud = 0.02f;
constexpr auto kNeverSounded = 2000ms;
constexpr double kEndToleranceMs = 20;
// Followed past the file's end, to see a sound that runs on.
constexpr auto kTail = 45ms;
constexpr auto kQuiet = 30ms;  // silence wanted at the sink before a trigger
constexpr double kSkipLimitMs = 3;
constexpr double kMinLevelRatio = 0.9;
constexpr double kMinPeakRatio = 0.8;
// Longest silence allowed inside the tone: its zero crossings last a few
// frames at 0.05, a dropout at least one engine or server period (half a ms).
constexpr int kDropoutPerSecond = 2000;
constexpr auto kPoll = 1ms;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

int64_t framesOf(std::chrono::milliseconds time, int rate) {
    return time.count() * rate / 1000;
}

void addProblem(Outcome& outcome, const std::string& problem, const std::string& detail) {
    if (outcome.problem.empty()) outcome.problem = problem;
    if (!outcome.detail.empty()) outcome.detail += "; ";
    outcome.detail += detail;
}

}  // namespace

TrialRunner::TrialRunner(SinkProbe& probe, unsigned seed) : probe_(probe), random_(seed) {}

bool TrialRunner::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

void TrialRunner::pause(std::chrono::microseconds time) {
    const auto until = Clock::now() + time;
    while (Clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::min<Clock::duration>(kPoll, until - Clock::now()));
    }
}

bool TrialRunner::waitForSilence(std::chrono::milliseconds limit) {
    return waitUntil(
        [this] {
            const int64_t end = probe_.frames();
            return probe_.findLoud(end - framesOf(kQuiet, probe_.rate()), end, kLoud) < 0;
        },
        limit);
}

bool TrialRunner::waitForSound(std::chrono::milliseconds limit) {
    const int64_t from = probe_.frames();
    return waitUntil([&] { return probe_.findLoud(from, probe_.frames(), kLoud) >= 0; }, limit);
}

Outcome TrialRunner::run(const Clip& clip, const std::function<void()>& trigger,
                         const std::function<bool()>& ended) {
    const int rate = probe_.rate();
    Outcome outcome;
    if (!waitForSilence(3000ms)) {
        addProblem(outcome, "sink busy", "the sink never fell silent before the trigger");
        return outcome;
    }
    std::uniform_int_distribution<int> delay(0, 20'000);
    pause(std::chrono::microseconds(delay(random_)));

    const int64_t from = probe_.frames();
    const auto triggered = Clock::now();
    trigger();

    int64_t onset = -1;
    int64_t scanned = from;
    waitUntil(
        [&] {
            const int64_t end = probe_.frames();
            onset = probe_.findLoud(scanned, end, kLoud);
            scanned = end;
            return onset >= 0;
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(kNeverSounded -
                                                              (Clock::now() - triggered)));
    if (onset < 0) {
        addProblem(outcome, "never sounded", "nothing at the sink within 2 s");
        if (ended) waitUntil(ended, 1000ms);
        return outcome;
    }
    outcome.sounded = true;
    outcome.latencyMs = msBetween(triggered, probe_.timeOf(onset));
    describeStream(outcome);

    const int64_t expected = clip.frames * rate / clip.rate;
    const int64_t until = onset + expected + framesOf(kTail, rate);
    waitUntil([&] { return probe_.frames() >= until; }, 3000ms);
    if (ended && !waitUntil(ended, 2000ms)) {
        outcome.detail += outcome.detail.empty() ? "" : "; ";
        outcome.detail += "player did not report its end";
    }
    judge(clip, onset, until, outcome);
    if (idle_ && !outcome.problem.empty()) {
        char text[96];
        std::snprintf(text, sizeof text, "; an idle %sthread woke %.1f ms late meanwhile",
                      idle_->realtime() ? "real-time " : "",
                      idle_->lateDuringMs(triggered, Clock::now()));
        outcome.detail += text;
    }
    return outcome;
}

StopOutcome TrialRunner::runStop(const std::function<void()>& start,
                                 const std::function<void()>& stop) {
    const int rate = probe_.rate();
    StopOutcome outcome;
    if (!waitForSilence(3000ms)) {
        outcome.problem = "the sink never fell silent";
        return outcome;
    }
    start();
    if (!waitForSound(1000ms)) {
        outcome.problem = "never sounded";
        return outcome;
    }
    std::uniform_int_distribution<int> delay(200'000, 220'000);
    pause(std::chrono::microseconds(delay(random_)));
    const int64_t from = probe_.frames();
    const auto stopped = Clock::now();
    stop();
    waitUntil([&] { return probe_.frames() >= from + framesOf(200ms, rate); }, 3000ms);
    const std::vector<float> heard = probe_.samples(from, probe_.frames());
    // Millisecond windows: the tone's cycle peaks at kLoudPeak in each.
    const auto window = static_cast<size_t>(rate / 1000) + 1;
    for (size_t at = 0; at + window <= heard.size(); ++at) {
        if (peakOf(heard.data() + at, window) < 0.9 * kLoudPeak) {
            outcome.fadeMs = msBetween(stopped, probe_.timeOf(from + static_cast<int64_t>(at)));
            break;
        }
    }
    for (size_t at = heard.size(); at-- > 0;) {
        if (std::fabs(heard[at]) > kLoud) {
            outcome.silentMs = msBetween(stopped, probe_.timeOf(from + static_cast<int64_t>(at)));
            break;
        }
    }
    if (outcome.fadeMs < 0 || outcome.silentMs < 0) outcome.problem = "no fade found";
    return outcome;
}

void TrialRunner::judge(const Clip& clip, int64_t onset, int64_t until, Outcome& outcome) const {
    const int rate = probe_.rate();
    const std::vector<float> heard = probe_.samples(onset, until);
    const size_t tenMs = rate / 100;
    const size_t oneMs = rate / 1000;
    if (heard.size() < tenMs) {
        addProblem(outcome, "capture short", "the capture stopped");
        return;
    }

    // The start: all of it, at its own level.
    outcome.startWhole = true;
    const double level = toneLevel(heard.data(), tenMs);
    if (clip.shape == Shape::Ramp) {
        const double slopePerMs = (kRampTo - kRampFrom) / (kClipSeconds * 1000.0);
        outcome.startMs = (level - clip.startLevel) / slopePerMs;
        if (outcome.startMs > kSkipLimitMs) {
            outcome.startWhole = false;
            addProblem(outcome, "start skipped",
                       format("started %.1f ms into the file", outcome.startMs));
        } else if (outcome.startMs < -kSkipLimitMs) {
            outcome.startWhole = false;
            addProblem(
                outcome, "start faded",
                format("start %.0f %% of the file's level", 100.0 * level / clip.startLevel));
        }
    } else {
        const double peak = peakOf(heard.data(), oneMs);
        if (level < kMinLevelRatio * clip.startLevel || peak < kMinPeakRatio * kLoudPeak) {
            outcome.startWhole = false;
            addProblem(outcome, "start faded",
                       format("first ms peak %.2f, first 10 ms at %.0f %% of the file's level",
                              peak, 100.0 * level / clip.startLevel));
        }
    }

    // The end, and any hole on the way.
    int64_t last = 0;
    int64_t quiet = 0;
    int holes = 0;
    int64_t longest = 0;
    int64_t longestAt = 0;
    for (size_t i = 0; i < heard.size(); ++i) {
        if (std::fabs(heard[i]) <= kLoud) {
            ++quiet;
            continue;
        }
        const auto at = static_cast<int64_t>(i);
        if (quiet > rate / kDropoutPerSecond) {
            ++holes;
            if (quiet > longest) {
                longest = quiet;
                longestAt = at - quiet;
            }
        }
        quiet = 0;
        last = at;
    }
    outcome.durationMs = static_cast<double>(last + 1) * 1000.0 / rate;
    const double expectedMs = static_cast<double>(clip.frames) * 1000.0 / clip.rate;
    if (outcome.durationMs < expectedMs - kEndToleranceMs) {
        addProblem(outcome, "end cut",
                   format("sounded %.0f ms of %.0f", outcome.durationMs, expectedMs));
    } else if (outcome.durationMs > expectedMs + kEndToleranceMs) {
        addProblem(outcome, "runs long",
                   format("sounded %.0f ms of %.0f", outcome.durationMs, expectedMs));
    }
    if (holes > 0) {
        addProblem(outcome, "dropout",
                   format("%d silence(s) inside the sound, the longest %.1f ms at %.0f ms", holes,
                          static_cast<double>(longest) * 1000.0 / rate,
                          static_cast<double>(longestAt) * 1000.0 / rate));
        if (const int64_t missed = probe_.missedFrames(onset, until); missed > 0) {
            outcome.detail += format("; the capture itself missed %.1f ms of it",
                                     static_cast<double>(missed) * 1000.0 / rate);
        }
    }
}

// The newest stream still playing is the candidate's.
void TrialRunner::describeStream(Outcome& outcome) {
    const int rate = probe_.rate();
    const std::vector<SinkInput> inputs = probe_.sinkInputs();
    const SinkInput* chosen = nullptr;
    for (const auto& input : inputs) {
        if (input.corked) continue;
        if (chosen == nullptr || input.index > chosen->index) chosen = &input;
    }
    if (chosen == nullptr) return;
    const bool resampled = static_cast<int>(chosen->rate) != rate;
    outcome.stream =
        format("%u Hz %s, %s", chosen->rate, chosen->format.c_str(),
               resampled ? ("resampled by the server (" + chosen->resampler + ")").c_str()
                         : "no resampling at the server");
    outcome.bufferMs = chosen->bufferMs;
}

namespace {

// Tabs separate fields; none may hold one.
std::string clean(std::string text) {
    std::replace(text.begin(), text.end(), '\t', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

std::string Record::toLine() const {
    std::ostringstream line;
    line.precision(17);
    line << "record\t" << clean(candidate) << '\t' << clean(mode) << '\t' << clip << '\t'
         << (outcome.sounded ? 1 : 0) << (outcome.startWhole ? 1 : 0) << '\t' << outcome.latencyMs
         << '\t' << outcome.durationMs << '\t' << outcome.startMs << '\t' << outcome.bufferMs
         << '\t' << clean(outcome.stream) << '\t' << clean(outcome.problem) << '\t'
         << clean(outcome.detail);
    return line.str();
}

bool Record::fromLine(const std::string& line, Record& record) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    if (fields.size() != 12 || fields[0] != "record") return false;
    try {
        record.candidate = fields[1];
        record.mode = fields[2];
        record.clip = std::stoi(fields[3]);
        record.outcome.sounded = fields[4].size() == 2 && fields[4][0] == '1';
        record.outcome.startWhole = fields[4].size() == 2 && fields[4][1] == '1';
        record.outcome.latencyMs = std::stod(fields[5]);
        record.outcome.durationMs = std::stod(fields[6]);
        record.outcome.startMs = std::stod(fields[7]);
        record.outcome.bufferMs = std::stod(fields[8]);
        record.outcome.stream = fields[9];
        record.outcome.problem = fields[10];
        record.outcome.detail = fields[11];
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace tambrel::bench
