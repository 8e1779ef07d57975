#include <QString>
#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

#include "bench/latency/candidates.h"
#include "platform/audio/pipewire_output.h"
#include "platform/audio/pulse_output.h"
#include "platform/audio/sdl_output.h"
#include "platform/path_form.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;
using playback::MMAudioPlayerX;

// A slot of the palette, with what the bench needs to know of its history.
struct Slot {
    std::unique_ptr<MMAudioPlayerX> player;
    bool ended = true;  // OnStop came for the last playback
    int clip = -1;
    bool ranToEnd = false;  // the last playback of this file ended by itself
};

class TambrelRig {
  public:
    TambrelRig(TrialRunner& runner, const std::vector<Clip>& clips, const std::string& output,
               int period)
        : runner_(runner), clips_(clips), host_(backend(output), options(output, period)) {
        const std::string problem = host_.engine().backendProblem();
        if (!problem.empty()) throw std::runtime_error("Tambrel's output: " + problem);
        host_.loadWait = std::chrono::seconds(5);  // each file loaded as it is given
        for (int16_t i = 0; i < 2; ++i) {
            Slot& slot = slots_[static_cast<size_t>(i)];
            slot.player = std::make_unique<MMAudioPlayerX>(host_, i);
            slot.player->setDeviceID(-1);  // the system's default: the benchmark's sink
            slot.player->OnStop = [&slot](int16_t) { slot.ended = true; };
        }
    }

    Slot& slotFor(int clip) {
        return slots_[clips_[static_cast<size_t>(clip)].shape == Shape::Loud ? 0 : 1];
    }

    void load(Slot& slot, int clip) {
        const QString native = QString::fromStdString(clips_[static_cast<size_t>(clip)].path);
        slot.player->setFileName(platform::toSystemPath(native));
        slot.clip = clip;
        slot.ranToEnd = false;
    }

    Record measure(Slot& slot, const char* mode) {
        Record record{kTambrel, mode, slot.clip, {}};
        std::string refused;
        slot.ended = false;
        record.outcome = runner_.run(
            clips_[static_cast<size_t>(slot.clip)],
            [&] {
                try {
                    slot.player->Play();
                } catch (const std::exception& error) {
                    refused = error.what();
                    slot.ended = true;
                }
            },
            [&] { return slot.ended; });
        if (!refused.empty()) record.outcome.detail = "Play refused: " + refused;
        slot.ranToEnd = record.outcome.sounded && slot.ended;
        lastQueueMs_ = host_.engine().queuedMs(std::nullopt);
        lastReserveMs_ = host_.engine().reserveMs(std::nullopt);
        longestQueueMs_ = std::max(longestQueueMs_, lastQueueMs_);
        return record;
    }

    // The slot stopped once it sounds, as the operator's second press does.
    StopOutcome measureStop(Slot& slot) {
        slot.ended = false;
        const StopOutcome outcome = runner_.runStop(
            [&] {
                try {
                    slot.player->Play();
                } catch (const std::exception&) {
                    slot.ended = true;  // never sounds: the trial says so
                }
            },
            [&] { slot.player->Stop(); });
        runner_.waitUntil([&] { return slot.ended; }, 1000ms);
        slot.ranToEnd = false;
        return outcome;
    }

    // Leaves the slot as a Stop leaves it: sounding, then stopped mid-way.
    void playAndStop(Slot& slot) {
        slot.ended = false;
        try {
            slot.player->Play();
        } catch (const std::exception&) {
            return;  // the trial that follows reports it
        }
        runner_.waitForSound(1000ms);
        runner_.pause(50ms);
        slot.player->Stop();
        runner_.waitUntil([&] { return slot.ended; }, 1000ms);
        slot.ranToEnd = false;
    }

    // Leaves the slot as a playback that ran out leaves it.
    void playToEnd(Slot& slot) { measure(slot, "priming"); }

    // The device open and silent for a while, as the window keeps it.
    void warmUp(std::chrono::seconds time) {
        if (!host_.engine().prepare(std::nullopt)) {
            throw std::runtime_error("Tambrel's output: the default device does not open");
        }
        runner_.pause(time);
        warmUpUnderruns_ = host_.engine().underruns();
    }

    uint64_t underruns() { return host_.engine().underruns(); }
    uint64_t warmUpUnderruns() const { return warmUpUnderruns_; }
    // The default device's queue right after the latest trial.
    double lastQueueMs() const { return lastQueueMs_; }
    double lastReserveMs() const { return lastReserveMs_; }
    double longestQueueMs() const { return longestQueueMs_; }

  private:
    static std::unique_ptr<audio::OutputBackend> backend(const std::string& output) {
        if (output == "sdl") return std::make_unique<audio::SdlBackend>();
        if (output == "pipewire") return std::make_unique<audio::PipeWireBackend>();
        if (output == kPipeWireHeld) return std::make_unique<audio::PipeWireBackend>(0);
        return std::make_unique<audio::PulseBackend>();
    }
    // As the program does: mixed at the graph's rate on PipeWire.
    static audio::AudioEngine::Options options(const std::string& output, int period) {
        audio::AudioEngine::Options options;
        options.periodFrames = period;
        if (output == "pipewire" || output == kPipeWireHeld) {
            options.sampleRate = audio::PipeWireBackend().preferredRate();
        }
        return options;
    }

    TrialRunner& runner_;
    const std::vector<Clip>& clips_;
    playback::AudioHost host_;
    std::array<Slot, 2> slots_;  // one per shape, like two slots of the palette
    double lastQueueMs_ = 0;
    double lastReserveMs_ = 0;
    double longestQueueMs_ = 0;
    uint64_t warmUpUnderruns_ = 0;
};

}  // namespace

std::vector<Record> runTambrel(TrialRunner& runner, const std::vector<Clip>& clips,
                               const std::string& output, int period, int perCell,
                               std::chrono::seconds warmUp, TambrelFigures& figures) {
    TambrelRig rig(runner, clips, output, period);
    std::vector<Record> records;
    if (warmUp.count() > 0) rig.warmUp(warmUp);

    // The very first start opens the device unless the warm-up did.
    const int first = clipIndex(1, Shape::Loud);
    rig.load(rig.slotFor(first), first);
    records.push_back(rig.measure(rig.slotFor(first), kColdStart));
    figures.queueStartMs = rig.lastQueueMs();
    figures.reserveStartMs = rig.lastReserveMs();

    // Shapes take turns across all cells, so every row holds both.
    int turn = 0;
    auto next = [&turn](int format) {
        return clipIndex(format, turn++ % 2 == 0 ? Shape::Loud : Shape::Ramp);
    };
    for (int format = 0; format < kFormats; ++format) {
        for (int t = 0; t < perCell; ++t) {
            const int clip = next(format);
            Slot& slot = rig.slotFor(clip);
            rig.load(slot, clip);
            records.push_back(rig.measure(slot, kAfterFileName));
        }
        // Right after the cell above, each slot's last playback ran out.
        for (int t = 0; t < perCell; ++t) {
            const int clip = next(format);
            Slot& slot = rig.slotFor(clip);
            if (slot.clip != clip) rig.load(slot, clip);
            if (!slot.ranToEnd) rig.playToEnd(slot);
            records.push_back(rig.measure(slot, kAfterEnd));
        }
        for (int t = 0; t < perCell; ++t) {
            const int clip = next(format);
            Slot& slot = rig.slotFor(clip);
            if (slot.clip != clip) rig.load(slot, clip);
            rig.playAndStop(slot);
            records.push_back(rig.measure(slot, kAfterStop));
        }
    }
    const int loud = clipIndex(1, Shape::Loud);  // WAV 44.1k: the tone as written
    Slot& stopped = rig.slotFor(loud);
    rig.load(stopped, loud);
    for (int t = 0; t < perCell * kFormats; ++t) {
        const StopOutcome outcome = rig.measureStop(stopped);
        if (!outcome.problem.empty()) {
            figures.stopProblems.push_back(outcome.problem);
            continue;
        }
        figures.stopFadeMs.push_back(outcome.fadeMs);
        figures.stopSilentMs.push_back(outcome.silentMs);
    }
    figures.underruns = rig.underruns() - rig.warmUpUnderruns();
    figures.warmUpUnderruns = rig.warmUpUnderruns();
    figures.queueEndMs = rig.lastQueueMs();
    figures.reserveEndMs = rig.lastReserveMs();
    figures.queueMaxMs = rig.longestQueueMs();
    return records;
}

}  // namespace tambrel::bench
