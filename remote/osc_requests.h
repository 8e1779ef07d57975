#pragma once

// The OSC address space, and what each message asks of the remote core:
//   /tambrel/press i        press slot i (0 to 27)
//   /tambrel/fade i         fade slot i out (Maj with a click)
//   /tambrel/cue i          pre-listen slot i, or stop its pre-listen
//   /tambrel/stopall        fade everything out; again during that fade: cut
//   /tambrel/loop i         toggle slot i's loop
//   /tambrel/loop ii        set slot i's loop to 0 or 1
//   /tambrel/palette s      load the palette of that name
//   /tambrel/subscribe i    be told the state, at the sender's host on port i
// State going out, under a prefix of its own that is never a request, so
// that two copies subscribed to each other only tell each other:
//   /tambrel/etat/slot issii  slot, state, short name, remaining ms, loop
//   /tambrel/etat/palette s   the loaded palette's name
// and the answer to a refused request:
//   /tambrel/error s          why it was refused

#include <netinet/in.h>

#include <QString>
#include <optional>
#include <variant>

#include "remote/osc_codec.h"

namespace tambrel::remote {

struct Request {
    enum class Kind { Press, Fade, Cue, StopAll, ToggleLoop, SetLoop, Palette, Subscribe };
    Kind kind = Kind::Press;
    int slot = 0;
    bool on = false;
    QString name;  // a palette's
    int port = 0;  // a subscriber's
};

// The request, or why there is none (French, for /tambrel/error).
std::variant<Request, QString> readRequest(const OscMessage& message);

// A packet as the reading thread queues it for the window's thread.
struct Incoming {
    std::variant<Request, QString> request;  // or why there is none
    sockaddr_in from{};
    size_t size = 0;  // the packet's, which bounds the answer's
};

inline constexpr char kStatePrefix[] = "/tambrel/etat/";

// Nothing for what is not OSC, a bundle, or what only this program sends
// (the state, /tambrel/error, and an older copy's /tambrel/slot): answering
// those would answer answers, another copy's or its own, forever.
std::optional<Incoming> readPacket(const char* data, size_t size, const sockaddr_in& from);

// The messages that carry the state out.
std::vector<char> slotMessage(int index, const char* state, const QString& name,
                              int32_t remainingMs, bool loop);
// A slot's loudness figures, as its tool tip gives them.
std::vector<char> loudnessMessage(int index, const QString& figures);
std::vector<char> paletteMessage(const QString& name);
std::vector<char> errorMessage(const QString& text);

// A refusal is never more than its request's size and this many bytes, so
// that no sender can have Tambrel send much more than it sent.
inline constexpr size_t kAnswerSlack = 96;
// The refusal as sent back to a request of `requestSize` bytes: the text
// loses its middle when it would not fit (what was refused leads, the name
// it ends with stays).
std::vector<char> errorAnswer(const QString& text, size_t requestSize);

}  // namespace tambrel::remote
