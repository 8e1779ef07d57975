#pragma once

// What MIDI notes mean to the palette, apart from the sequencer that carries
// them: a note-on (velocity above 0) of notes 36 to 63 presses slots A to \,
// on any channel unless one is set, and the stop-all note, when one is set,
// stops everything as Échap does; and the velocity of the note-on sent
// back for a slot, which lights its pad. The velocities follow the colours of
// the common pad controllers (0 off, 1 green, 3 red, 5 yellow; the even
// numbers after them blink):
//   vide 0 (off)    pret 1 (green)    joue 3 (red)
//   joue en boucle 5 (yellow)    pret en boucle 6 (yellow, blinking)
//   absent 4 (red, blinking)    ecoute 2 (green, blinking: in the headphones only)
//   fondu 7 (the first colour past those six, so that it stays its own)

#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "remote/remote_control.h"

namespace tambrel::remote {

struct MidiMap {
    int firstNote = 36;    // slot A's
    int channel = 0;       // 1 to 16; 0 for any
    int stopAllNote = -1;  // none unless set

    // Whether a note-on is the stop-all note, which wins over a slot's.
    bool stopsAll(int noteChannel, int note, int velocity) const {
        return velocity > 0 && note == stopAllNote && (channel == 0 || noteChannel == channel);
    }

    // The slot a note-on presses; none for a note outside the 28, another
    // channel, or a velocity of 0 (a note-off by another name).
    std::optional<int> slotOf(int noteChannel, int note, int velocity) const;
    int noteOf(int slot) const { return firstNote + slot; }
};

int padVelocity(const SlotView& view);

// The lights last sent to the pads, so that only a change of colour goes
// out: a playing slot's time changes every refresh, its pad does not. They
// are sent on the channel listened to, or on channel 1 when any is.
class PadLights {
  public:
    struct Note {
        int channel = 1;
        int note = 0;
        int velocity = 0;
        bool operator==(const Note&) const = default;
    };
    explicit PadLights(const MidiMap& map) : map_(map) { lit_.fill(-1); }

    // The notes to send for these views: those whose colour changed since
    // the last call, or every one of them with `all` (a new subscriber).
    std::vector<Note> update(const std::vector<std::pair<int, SlotView>>& views, bool all = false);

  private:
    MidiMap map_;
    std::array<int, kSlots> lit_{};  // -1 before anything was sent
};

// The lights just sent, so that a pad that echoes what it is sent (or a
// port connected back to the input) does not press the slots with them. A
// note-on of the same channel, note and velocity as a light sent less than
// kWithin before is that light's echo, not a press; each light is taken for
// one echo at most. A real press is never one: the lights' velocities are 1
// to 6 (0 is no press), and a light goes out when its slot changes, which
// a press of that pad does; no finger presses the same pad again within
// 20 ms, and one that changed at the same moment for another reason (its
// jingle ended) would need that exact, softest velocity as well.
class LightEchoes {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kWithin{20};

    void sent(const PadLights::Note& light, Clock::time_point at);
    bool isEcho(const PadLights::Note& noteOn, Clock::time_point at);

  private:
    struct Sent {
        PadLights::Note light;
        Clock::time_point at;
        bool echoed = true;  // an empty place
    };
    std::array<Sent, 4 * kSlots> sent_{};  // the newest, in turn
    size_t next_ = 0;
};

}  // namespace tambrel::remote
