#pragma once

// Remote control: requests from afar turned into the operator's own gestures,
// and the window's state turned into what remote surfaces show. Both
// transports (OSC over UDP, MIDI) speak through this core, on the window's
// thread. Nothing from afar can do more than these requests: press a slot
// that holds a file, set or toggle its loop marker, load a palette of the
// list, fade a slot out, stop everything, pre-listen a slot. No path, no
// file dialog, no save, no deletion, no settings.

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/slot_count.h"

namespace tambrel::remote {

enum class SlotState { Empty, Ready, Playing, Missing, Fading, Cue };

// The state's name as remote surfaces read it: "vide", "pret", "joue",
// "absent", "fondu" (fading out, on air still), "ecoute" (pre-listened, not on air).
const char* stateName(SlotState state);

// A part of a request repeated in a refusal: its printable characters, the
// others as "?", and no more than kEchoed of them.
inline constexpr qsizetype kEchoed = 32;
QString echoed(const QString& text);

struct SlotView {
    SlotState state = SlotState::Empty;
    QString name;             // the short name the button shows
    int32_t remainingMs = 0;  // while playing: to the end; otherwise the length
    bool loop = false;
    int32_t lengthMs = 0;  // the file's, for a progress bar
    QString loudness{};    // its figures as the slot's tool tip gives them; empty until measured
    bool operator==(const SlotView&) const = default;
};

// What the window offers to remote requests; the window's adapter implements
// it with the window's own handlers.
class Panel {
  public:
    virtual ~Panel() = default;
    virtual SlotView slot(int index) const = 0;
    // A press would ask for a file: the slot is silent and holds none.
    virtual bool wouldAskForFile(int index) const = 0;
    virtual void press(int index) = 0;  // as a click on the slot's button
    virtual void fade(int index) = 0;   // as Maj with a click
    virtual void cue(int index) = 0;    // as a right click
    virtual void stopAll() = 0;         // as Échap
    // Why the slot's last press did not play, as the slot shows it; empty if nothing.
    virtual QString notice(int index) const = 0;
    virtual void toggleLoop(int index) = 0;              // as a click on its loop marker
    virtual QStringList palettes() const = 0;            // the palette list's entries
    virtual void loadPalette(const QString& entry) = 0;  // as picking it in the list
    virtual QString paletteName() const = 0;             // the loaded palette, empty if none
    // The seven lines' colours as 0xRRGGBB; none: the usual ones.
    virtual std::vector<uint32_t> lineColours() const { return {}; }
    // The slot the window's countdown follows (-1: none), and how long
    // before its end it turns red.
    virtual int countdownSlot() const { return -1; }
    virtual int warnMs() const { return 0; }
};

class RemoteControl {
  public:
    explicit RemoteControl(Panel& panel) : panel_(panel) {}

    // Each answers the error to send back (French), or nothing when done. A
    // press that leaves its slot silent answers why, as the slot shows it.
    std::optional<QString> press(int index);
    // A sounding slot fades out (cut when it fades already); a silent one is pressed.
    std::optional<QString> fade(int index);
    // Pre-listens a slot, or stops its pre-listen; a refusal says why.
    std::optional<QString> cue(int index);
    void stopAll() { panel_.stopAll(); }
    std::optional<QString> toggleLoop(int index);
    std::optional<QString> setLoop(int index, bool on);
    // By the list entry's name, with or without ".Bnk", letter case ignored.
    std::optional<QString> loadPalette(const QString& name);

    // The slots whose view changed since the last call, by index (all of
    // them with `all`), and the palette's name when it changed. A playing
    // slot's remaining time counts as a change once it moved by `step` ms.
    std::vector<std::pair<int, SlotView>> changedSlots(bool all = false, int32_t step = 1);
    std::optional<QString> changedPalette(bool always = false);

  private:
    static std::optional<QString> badSlot(int index);
    // The gesture on a slot that holds a file, and why it left the slot
    // silent when it started nothing and stopped nothing.
    template <typename Gesture>
    std::optional<QString> act(int index, Gesture gesture);

    Panel& panel_;
    std::map<int, SlotView> sent_;
    std::optional<QString> sentPalette_;
};

// Who asked to be told of the state, each for a while: a subscription lasts
// a minute and is renewed by asking again, so that clients gone away fall out.
// The loopback addresses are one host: one machine cannot take the list by
// sending from 127.0.0.2, 127.0.0.3...
class Subscribers {
  public:
    using Clock = std::chrono::steady_clock;
    struct Address {
        uint32_t host = 0;  // IPv4, host order
        uint16_t port = 0;
        // NOLINTNEXTLINE(modernize-use-nullptr): the check mistakes the defaulted comparison
        auto operator<=>(const Address&) const = default;
    };
    static constexpr std::chrono::seconds kLasting{60};
    static constexpr size_t kMost = 64;        // a flood of addresses cannot grow it
    static constexpr size_t kMostPerHost = 4;  // nor can one host fill it
    // A full list gives a newcomer the place renewed longest ago, once it
    // has not been renewed for this long.
    static constexpr std::chrono::seconds kStale{30};

    // A new address gets the whole state; a full list with no stale place,
    // or a host with its share, is refused more.
    enum class Renewal { New, Renewed, Refused, RefusedForHost };
    Renewal renew(Address address, Clock::time_point now);
    // Those still subscribed at `now`; the others are forgotten.
    std::vector<Address> current(Clock::time_point now);

  private:
    std::map<Address, Clock::time_point> until_;
};

}  // namespace tambrel::remote
