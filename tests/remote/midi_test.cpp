// The MIDI ports on the ALSA sequencer, where the machine has one: a pad
// connected to "Tambrel" is sent every light when it subscribes, presses a
// slot with a note-on and sees its light change. Without a sequencer the
// window starts all the same, with OSC, and says why there is no MIDI.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "remote/remote_hub.h"
#include "remote/remote_settings.h"
#include "remote/window_panel.h"
#include "tests/app/window_rig.h"
#include "tests/support/event_wait.h"

namespace tambrel::remote {
namespace {

bool machineHasSequencer() {
    struct stat info {};
    return stat("/dev/snd/seq", &info) == 0;
}

struct HubRig : app::WindowRig {
    std::unique_ptr<RemoteHub> hub;
    HubRig() {
        start();
        RemoteSettings settings;
        settings.port = 0;
        hub = std::make_unique<RemoteHub>(std::make_unique<WindowPanel>(*window), settings, 500);
    }
};

// A pad controller as the sequencer sees one: a client with a port that
// sends to Tambrel's input and listens to its lights.
class Pad {
  public:
    explicit Pad(const MidiSequencer& tambrel) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq_ = nullptr;
            return;
        }
        port_ = snd_seq_create_simple_port(
            seq_, "pad",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        connected_ = snd_seq_connect_to(seq_, port_, tambrel.client(), tambrel.inputPort()) == 0 &&
                     snd_seq_connect_from(seq_, port_, tambrel.client(), tambrel.outputPort()) == 0;
    }
    ~Pad() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }
    Pad(const Pad&) = delete;
    Pad& operator=(const Pad&) = delete;
    bool connected() const { return connected_; }

    void press(int channel, int note) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, port_);
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_noteon(&event, channel - 1, note, 100);
        snd_seq_event_output_direct(seq_, &event);
    }
    // The lights received, note by note, the window's events turning
    // meanwhile, until `done` or two seconds.
    template <typename Done>
    bool receiveUntil(Done done) {
        return testing::turnEventsUntil([&] {
            snd_seq_event_t* event = nullptr;
            while (snd_seq_event_input(seq_, &event) >= 0 && event != nullptr) {
                if (event->type == SND_SEQ_EVENT_NOTEON) {
                    lights[event->data.note.note] = event->data.note.velocity;
                }
                event = nullptr;
            }
            return done();
        });
    }
    std::map<int, int> lights;  // note to its last velocity

  private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    bool connected_ = false;
};

TEST(Midi, WithoutASequencerTheWindowStartsAndSaysWhyThereIsNoMidi) {
    if (machineHasSequencer()) GTEST_SKIP() << "this machine has a sequencer: see the next test";
    HubRig rig;
    EXPECT_TRUE(rig.hub->problem().isEmpty()) << "OSC goes on without MIDI";
    EXPECT_EQ(rig.hub->sequencer(), nullptr);
    EXPECT_TRUE(rig.hub->midiProblem().contains(QStringLiteral("séquenceur")))
        << rig.hub->midiProblem().toStdString();
}

TEST(Midi, APadIsSentEveryLightThenPressesASlotAndSeesItPlay) {
    if (!machineHasSequencer()) {
        GTEST_SKIP() << "no ALSA sequencer on this machine (/dev/snd/seq): the MIDI ports are "
                        "not tested here, the note map and the lights are (remote_tests)";
    }
    HubRig rig;
    ASSERT_NE(rig.hub->sequencer(), nullptr) << rig.hub->midiProblem().toStdString();
    rig.assign(0, rig.wav("Intro.wav", 3000));
    Pad pad(*rig.hub->sequencer());
    ASSERT_TRUE(pad.connected());

    ASSERT_TRUE(pad.receiveUntil([&] { return pad.lights.size() == 28; }))
        << pad.lights.size() << " lights of 28 on subscribing";
    EXPECT_EQ(pad.lights[36], 1);  // ready
    EXPECT_EQ(pad.lights[37], 0);  // empty

    pad.press(3, 37);  // an empty slot: nothing sounds, nothing opens
    pad.press(3, 36);
    EXPECT_TRUE(pad.receiveUntil([&] { return pad.lights[36] == 3; })) << "slot A's light";
    EXPECT_EQ(rig.onAir(), "A");
}

}  // namespace
}  // namespace tambrel::remote
