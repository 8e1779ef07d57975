#include "remote/midi_sequencer.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tambrel::remote {
namespace {
// alsa-lib writes its own line when there is no sequencer; ours says it.
void quiet(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
           const char* /*format*/, ...) {}
}  // namespace

MidiSequencer::MidiSequencer(const char* clientName, std::function<void()> wake)
    : wake_(std::move(wake)) {
    // Non-blocking both ways: a stuck subscriber never holds the thread.
    snd_lib_error_set_handler(quiet);
    const int error = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    snd_lib_error_set_handler(nullptr);
    if (error < 0) {
        seq_ = nullptr;
        problem_ = QStringLiteral("pas de séquenceur MIDI (%1)").arg(snd_strerror(error));
        return;
    }
    snd_seq_set_client_name(seq_, clientName);
    client_ = snd_seq_client_id(seq_);
    inputPort_ = snd_seq_create_simple_port(
        seq_, "Entrée", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    outputPort_ = snd_seq_create_simple_port(
        seq_, "Voyants", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inputPort_ < 0 || outputPort_ < 0 || wakeFd_ < 0) {
        problem_ = QStringLiteral("ports MIDI impossibles (%1)")
                       .arg(snd_strerror(inputPort_ < 0    ? inputPort_
                                         : outputPort_ < 0 ? outputPort_
                                                           : -errno));
        if (wakeFd_ >= 0) close(wakeFd_);
        wakeFd_ = -1;
        snd_seq_close(seq_);
        seq_ = nullptr;
        return;
    }
    // The system's announcements tell when a device subscribes to the lights,
    // so that it can be sent the whole state; without them it gets the changes.
    snd_seq_connect_from(seq_, inputPort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    thread_ = std::thread([this] { run(); });
}

MidiSequencer::~MidiSequencer() {
    if (thread_.joinable()) {
        stopping_ = true;
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
    if (seq_ != nullptr) snd_seq_close(seq_);
}

std::deque<MidiSequencer::Event> MidiSequencer::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(waiting_, {});
}

void MidiSequencer::sendNoteOn(int channel, int note, int velocity) {
    if (seq_ == nullptr) return;
    {
        std::lock_guard lock(mutex_);
        if (toSend_.size() >= kMostToSend) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        toSend_.push_back({Event::Kind::NoteOn, channel, note, velocity});
    }
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void MidiSequencer::run() {
    pthread_setname_np(pthread_self(), "midi");
    const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
    fds[0] = {wakeFd_, POLLIN, 0};
    snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
    while (!stopping_) {
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t ignored = 0;
            (void)!::read(wakeFd_, &ignored, sizeof ignored);
        }
        if (stopping_) break;
        flush();
        read();
    }
}

void MidiSequencer::read() {
    bool woken = false;
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int left = snd_seq_event_input(seq_, &event);
        if (left == -ENOSPC) continue;  // the kernel's queue overflowed: read on
        if (left < 0 || event == nullptr) break;
        Event got;
        if (event->type == SND_SEQ_EVENT_NOTEON) {
            got = {Event::Kind::NoteOn, event->data.note.channel + 1, event->data.note.note,
                   event->data.note.velocity};
            if (event->source.client == client_ ||
                echoes_.isEcho({got.channel, got.note, got.velocity}, LightEchoes::Clock::now())) {
                continue;
            }
        } else if (event->type == SND_SEQ_EVENT_PORT_SUBSCRIBED &&
                   event->data.connect.sender.client == client_ &&
                   event->data.connect.sender.port == outputPort_) {
            got.kind = Event::Kind::Subscribed;
        } else {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (waiting_.size() >= kMostWaiting) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        woken = woken || waiting_.empty();
        waiting_.push_back(got);
    }
    if (woken && wake_) wake_();
}

void MidiSequencer::flush() {
    std::deque<Event> sending;
    {
        std::lock_guard lock(mutex_);
        sending.swap(toSend_);
    }
    for (const Event& note : sending) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, outputPort_);
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_noteon(&event, note.channel - 1, note.note, note.velocity);
        if (snd_seq_event_output_direct(seq_, &event) < 0) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
        } else {
            echoes_.sent({note.channel, note.note, note.velocity}, LightEchoes::Clock::now());
        }
    }
}

}  // namespace tambrel::remote
