#pragma once

// An output with no sound card: it produces sound only when its owner asks,
// so tests and benchmarks decide exactly when each period is mixed. Devices
// can be made to vanish and come back, as a USB interface does.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/output.h"

namespace tambrel::audio {

class NullOutput final : public AudioOutput {
  public:
    explicit NullOutput(Mixer& mixer) : mixer_(mixer) {}
    ~NullOutput() override;
    bool lost() const override { return lost_.load(std::memory_order_acquire); }
    // The caller's clock is its own: a start is never late by it, unless a
    // test says how late is too late.
    std::chrono::milliseconds lateStartLimit() const override { return lateStartLimit_; }
    void setLateStartLimit(std::chrono::milliseconds limit) { lateStartLimit_ = limit; }

    // Mixes `frames` frames now, on the calling thread, into `stereo`.
    void render(float* stereo, int frames);
    // Convenience for tests: the next `frames` frames, interleaved stereo.
    std::vector<float> render(int frames);

    // Its queue is the caller's; it only keeps what the engine last said.
    void adapt(Clock::time_point /*now*/, bool silent) override {
        silent_.store(silent ? 1 : 0, std::memory_order_relaxed);
    }
    // Whether the last look found the device silent; nullopt before any.
    std::optional<bool> silent() const {
        const int said = silent_.load(std::memory_order_relaxed);
        return said < 0 ? std::nullopt : std::optional<bool>(said == 1);
    }

  private:
    friend class NullBackend;
    Mixer& mixer_;
    std::atomic<bool> lost_{false};
    std::atomic<int> silent_{-1};
    std::chrono::milliseconds lateStartLimit_{0};
    class NullBackend* backend_ = nullptr;
};

class NullBackend final : public OutputBackend {
  public:
    // The default device is called "" here; `names` are the other devices.
    explicit NullBackend(std::vector<std::string> names) : names_(std::move(names)) {}
    ~NullBackend() override;

    std::vector<std::string> deviceNames() override;
    // True at first, then after each unplug, plugIn or addDevice.
    bool devicesMayHaveChanged() override;
    // The default's own device, "", until a test says it is another or
    // that it cannot be told.
    std::optional<std::string> defaultDeviceName() override;
    void setDefaultDeviceName(std::optional<std::string> name);
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

    // The open output of a device (nullopt: the default), or null.
    NullOutput* output(const std::optional<std::string>& name);
    // The device goes away: its output reports lost and it cannot be opened.
    void unplug(const std::string& name);
    void plugIn(const std::string& name);
    // A device not seen before appears, present at once, as a USB interface
    // plugged in while the program runs.
    void addDevice(const std::string& name);

  private:
    friend class NullOutput;
    std::mutex mutex_;  // device list and open outputs; never touched while mixing
    std::vector<std::string> names_;
    std::vector<std::string> unplugged_;
    std::map<std::string, NullOutput*> open_;  // "" is the default device
    std::optional<std::string> defaultName_ = std::string();
    bool changed_ = true;  // the first list is news too
};

}  // namespace tambrel::audio
