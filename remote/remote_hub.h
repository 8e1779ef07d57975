#pragma once

// Remote control of the running window: the OSC, MIDI and web endpoints' requests
// carried out on the window's thread, a slice of its time a turn of its
// event loop, and the state sent to every OSC subscriber when it changes and
// at each refresh tick while a slot plays, and to the MIDI pads as lights
// when a colour changes, and to every web page.

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <deque>
#include <memory>

#include "remote/midi_map.h"
#include "remote/midi_sequencer.h"
#include "remote/osc_server.h"
#include "remote/osc_service.h"
#include "remote/queued_wake.h"
#include "remote/remote_control.h"
#include "remote/web_server.h"
#include "remote/web_service.h"

namespace tambrel::app {
class F1a;
}

namespace tambrel::remote {

struct RemoteSettings;

// Reads "Telecommande.ini" in the program folder (native, ending in "/") and
// starts the remote control of the window; what it cannot do is said on
// standard error, one line each, never in a box.
std::unique_ptr<class RemoteHub> startRemote(app::F1a& window, const QString& programFolder);

class RemoteHub {
  public:
    // The window's thread gives requests this much at a time; what is left
    // waits for the next turn, after the window's own events.
    static constexpr std::chrono::milliseconds kSlice{8};

    RemoteHub(std::unique_ptr<Panel> panel, const RemoteSettings& settings, int refreshMs);
    ~RemoteHub();
    RemoteHub(const RemoteHub&) = delete;
    RemoteHub& operator=(const RemoteHub&) = delete;

    // Empty when listening, otherwise why not (or that OSC is off).
    QString problem() const;
    int oscPort() const { return server_ ? server_->port() : 0; }
    uint64_t droppedMessages() const {
        return server_ ? server_->dropped() + service_->dropped() : 0;
    }
    // The same for the MIDI ports; the sequencer when they are open.
    const QString& midiProblem() const { return midiProblem_; }
    const MidiSequencer* sequencer() const { return sequencer_.get(); }
    // The same for the web page.
    const QString& webProblem() const { return webProblem_; }
    int webPort() const { return web_ ? web_->port() : 0; }
    const WebServer* web() const { return web_.get(); }

    // Carries out what arrived; the endpoint's wake-up calls it on the window's thread.
    void drain();
    void drainMidi();
    void drainWeb();
    // Sends what changed to the subscribers: a new state at once (the hub
    // looks ten times a second), a playing slot's time once a refresh.
    void publish();

  private:
    void carryOut(const MidiSequencer::Event& event);
    void startWeb(const RemoteSettings& settings);
    void light(const std::vector<std::pair<int, SlotView>>& views, bool all);

    std::unique_ptr<Panel> panel_;
    RemoteControl control_;
    std::deque<MidiSequencer::Event> midiWaiting_;
    QObject context_;  // queued calls die with it
    QueuedWake oscWake_{[this] { drain(); }};
    QueuedWake midiWake_{[this] { drainMidi(); }};
    QueuedWake webWake_{[this] { drainWeb(); }};
    QTimer tick_;
    QTimer pageLook_;
    int refreshMs_;
    MidiMap midiMap_;
    PadLights lights_;
    std::unique_ptr<OscService> service_;  // with the server
    std::unique_ptr<WebService> webService_;
    // Last: their threads end before the rest goes.
    std::unique_ptr<OscServer> server_;
    std::unique_ptr<MidiSequencer> sequencer_;
    std::unique_ptr<WebServer> web_;
    QString problem_;
    QString midiProblem_;
    QString webProblem_;
};

}  // namespace tambrel::remote
