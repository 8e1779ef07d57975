#pragma once

// The MIDI endpoint: an ALSA sequencer client with one input port, which
// pads and keyboards are connected to, and one output port, whose
// subscribers are sent the pads' lights. One thread of its own owns the
// sequencer: it reads what arrives into a bounded queue for the window's
// thread (which `wake` is called to drain) and sends what that thread
// queued, so the window never waits on the sequencer. Its own events (its
// lights connected back to its input) and the pads' echoes of its lights
// are not taken as presses.

#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "remote/midi_map.h"

// ALSA's own opaque handle, named by ALSA, kept out of this header.
struct _snd_seq;  // NOLINT(bugprone-reserved-identifier)

namespace tambrel::remote {

class MidiSequencer {
  public:
    struct Event {
        enum class Kind { NoteOn, Subscribed };
        Kind kind = Kind::NoteOn;
        int channel = 0;  // 1 to 16
        int note = 0;
        int velocity = 0;
    };
    static constexpr size_t kMostWaiting = 256;
    static constexpr size_t kMostToSend = 512;  // a few whole states

    // Opens the sequencer and makes the ports at once; problem() says why
    // when it could not (no sequencer on the machine, most often).
    MidiSequencer(const char* clientName, std::function<void()> wake);
    ~MidiSequencer();
    MidiSequencer(const MidiSequencer&) = delete;
    MidiSequencer& operator=(const MidiSequencer&) = delete;

    const QString& problem() const { return problem_; }
    int client() const { return client_; }
    int inputPort() const { return inputPort_; }
    int outputPort() const { return outputPort_; }

    // What arrived since the last call, oldest first.
    std::deque<Event> take();
    // Queued for the sequencer's thread: a note-on to every subscriber of
    // the output port. When too much waits, the newest is dropped.
    void sendNoteOn(int channel, int note, int velocity);
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    void run();
    void read();
    void flush();

    _snd_seq* seq_ = nullptr;
    int client_ = -1;
    int inputPort_ = -1;
    int outputPort_ = -1;
    int wakeFd_ = -1;  // an eventfd: something to send, or time to stop
    QString problem_;
    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<Event> waiting_;
    std::deque<Event> toSend_;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> stopping_{false};
    LightEchoes echoes_;  // the sequencer's thread's
    std::thread thread_;
};

}  // namespace tambrel::remote
