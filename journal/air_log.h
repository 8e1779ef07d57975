#pragma once

// The as-run log as the window keeps it: each slot's play from its start to
// its end, completed with what the engine says really went on the air (the
// time its first and last frames were handed to the device, the frames that
// sounded, the gaps), written by the log's own thread. About once a second
// the plays still sounding are recorded aside, so that a crash loses none.
// Everything here runs on the window's thread.

#include <QDateTime>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "journal/as_run.h"
#include "journal/journal_writer.h"
#include "platform/audio/audio_engine.h"
#include "platform/slot_count.h"

namespace tambrel::journal {

class AirLog {
  public:
    using Clock = std::chrono::steady_clock;
    // What the engine says the slot's current or last play put on the air.
    using AiredOf = std::function<audio::AudioEngine::Aired(int slot)>;
    // The local time and the steady clock, read together.
    struct Now {
        QDateTime wall;
        Clock::time_point steady;
    };

    AirLog(std::unique_ptr<JournalWriter> writer, AiredOf airedOf, int sampleRate,
           std::function<Now()> now);

    // A play began: the fields the window knows (slot, palette, file, title,
    // the file's length, the output).
    void started(int slot, Play play);
    // The loop marker took it back to the start.
    void lapped(int slot);
    // The play ended, for that reason; it is written when any of it sounded.
    void ended(int slot, EndReason reason);
    bool sounding(int slot) const { return plays_[static_cast<size_t>(slot)].has_value(); }
    // Every play still sounding ends so (the program's end).
    void endAll(EndReason reason);
    // Records the plays sounding now; the window calls it about once a second.
    void keepInProgress();

    JournalWriter& writer() { return *writer_; }

  private:
    // The play as it would be written now.
    std::optional<Play> complete(int slot, EndReason reason) const;

    std::unique_ptr<JournalWriter> writer_;
    AiredOf airedOf_;
    int sampleRate_;
    std::function<Now()> now_;
    std::array<std::optional<Play>, kSlots> plays_;
    std::array<int64_t, kSlots> lapsByMarker_{};
    bool recorded_ = false;  // the record aside holds plays
};

}  // namespace tambrel::journal
