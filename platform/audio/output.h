#pragma once

// Where a mixer's sound goes: a device of the sound system, or, for tests
// and benchmarks, a null output whose clock the caller drives.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tambrel::audio {

class Mixer;

// An open device pulling sound from one mixer on its own real-time thread
// (or, for the null output, on the caller's). Closing it, by destroying it,
// guarantees that the mixer is not called any more.
class AudioOutput {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~AudioOutput() = default;
    // True once the device has gone away (unplugged, server gone).
    virtual bool lost() const = 0;
    // Whether a start would sound now: false while the server has yet to
    // open the device, waiting for that `wait` at most, and while it has
    // stopped asking for sound. A start queued then would sound late.
    virtual bool ready(std::chrono::milliseconds /*wait*/) { return true; }
    // Control thread, several times a second: an output whose queue can
    // follow the machine grows it when the device ran short, and shrinks it
    // again after a long clean stretch. `silent`: nothing has sounded on the
    // device for a while, so it could even be closed and opened again.
    virtual void adapt(Clock::time_point /*now*/, bool /*silent*/) {}
    // Frames a start waits behind before the device plays it; 0 when the
    // output cannot tell.
    virtual int queuedFrames() const { return 0; }
    // Frames mixed ahead and queued at the device beyond those, as a reserve
    // against a machine that does not run this program for a while: a start
    // does not wait behind them, as the output mixes them again with it.
    virtual int reserveFrames() const { return 0; }
    // Control thread: commands were sent to the mixer. An output that mixes
    // ahead mixes them in at once; the others take them at the next period.
    virtual void commandsSent() {}
    // Time its thread spent mixing again what it had mixed ahead.
    virtual std::chrono::nanoseconds remixTime() const { return {}; }
    // How long after the press a start may still begin: one the device
    // takes up later (a server frozen, then going on) is dropped, as a
    // jingle late is worse than none. Zero: never dropped, for a device
    // whose clock the caller drives.
    static constexpr std::chrono::milliseconds kLateStart{250};
    virtual std::chrono::milliseconds lateStartLimit() const { return kLateStart; }
};

// When a device asked for sound. One that had been asking for a while, and
// then not for kStalled, has stopped: its server hangs, or the machine holds
// it. A fresh one may take longer to start (a null sink that was idle wakes
// up to two seconds later).
class PullWatch {
  public:
    static constexpr std::chrono::milliseconds kStalled{500};

    // The device's thread, at each request.
    void pulled() {
        const int64_t now = nanos();
        if (first_.load(std::memory_order_relaxed) == 0)
            first_.store(now, std::memory_order_relaxed);
        last_.store(now, std::memory_order_relaxed);
    }
    // Any thread: the device has been asking for a while. Before, it may be
    // waking up, and a late first request is not yet the server's hang.
    bool steady() const {
        constexpr int64_t kSpan = std::chrono::nanoseconds(kStalled).count();
        const int64_t first = first_.load(std::memory_order_relaxed);
        return first != 0 && last_.load(std::memory_order_relaxed) - first >= kSpan;
    }
    // Any thread.
    bool stalled() const {
        constexpr int64_t kSpan = std::chrono::nanoseconds(kStalled).count();
        const int64_t first = first_.load(std::memory_order_relaxed);
        const int64_t last = last_.load(std::memory_order_relaxed);
        return first != 0 && last - first >= kSpan && nanos() - last > kSpan;
    }

  private:
    static int64_t nanos() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    std::atomic<int64_t> first_{0};
    std::atomic<int64_t> last_{0};
};

class OutputBackend {
  public:
    virtual ~OutputBackend() = default;
    // The devices present now, in the sound system's order.
    virtual std::vector<std::string> deviceNames() = 0;
    // True when the devices may have changed since the last call (one
    // plugged in or out, the sound server gone or back): the caller then
    // asks deviceNames() again. Cheap, never a round trip to a server, so it
    // can be asked several times a second from the window's thread.
    // Backends that cannot tell say true every time.
    virtual bool devicesMayHaveChanged() { return true; }
    // Why no sound can be played at all, or the empty text.
    virtual std::string problem() {
        return deviceNames().empty() ? "aucune sortie audio trouvée" : std::string();
    }
    // The rate the devices play at without resampling, or 0 when any will do.
    virtual int preferredRate() { return 0; }
    // The device the system's default plays on now, by its name in
    // deviceNames(); nullopt when this backend cannot tell (or not yet).
    // Never waits on a server: what the link already knows.
    virtual std::optional<std::string> defaultDeviceName() { return std::nullopt; }
    // Opens the named device (nullopt: the system's default) and starts it
    // pulling from `mixer`; null when it cannot be opened. A sound server's
    // backend does not wait for the server: the device may still be opening
    // (see AudioOutput::ready).
    virtual std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                              int sampleRate, int periodFrames) = 0;
};

}  // namespace tambrel::audio
