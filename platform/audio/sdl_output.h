#pragma once

// The sound system's devices through SDL2: one SDL audio device per output,
// float stereo, its callback running the mixer.
//
// SDL's drivers connect to a sound server themselves, and one that takes the
// connection and never answers holds the caller for a minute. So every SDL
// call is made on a thread of the backend's own: it starts SDL, lists the
// devices, opens, reopens and closes them; the caller (the window's thread)
// only reads what that thread already knows, as with the servers' links.

#include <chrono>
#include <memory>

#include "platform/audio/output.h"

namespace tambrel::audio {

class SdlBackend final : public OutputBackend {
  public:
    using Clock = std::chrono::steady_clock;
    // How often the thread lists the devices again, and starts SDL again
    // when it failed.
    static constexpr std::chrono::milliseconds kLook{100};
    static constexpr std::chrono::seconds kListAgain{1};
    static constexpr std::chrono::seconds kRetryPause{2};

    // Starts the thread and waits `firstWait` at most for SDL to start.
    explicit SdlBackend(Clock::duration firstWait = std::chrono::seconds(3));
    // Waits a little for SDL to stop; one that hangs is left to the end of
    // the program.
    ~SdlBackend() override;
    SdlBackend(const SdlBackend&) = delete;
    SdlBackend& operator=(const SdlBackend&) = delete;

    // False while SDL has not started, or could not.
    bool usable() const;

    // These three never wait on SDL.
    std::vector<std::string> deviceNames() override;
    bool devicesMayHaveChanged() override;
    std::string problem() override;
    // Returned before the device is open; null at once when SDL has not
    // started. A device SDL refuses says lost().
    std::unique_ptr<AudioOutput> open(const std::optional<std::string>& name, Mixer& mixer,
                                      int sampleRate, int periodFrames) override;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace tambrel::audio
