#include "remote/midi_map.h"

namespace tambrel::remote {

std::optional<int> MidiMap::slotOf(int noteChannel, int note, int velocity) const {
    if (velocity <= 0) return std::nullopt;
    if (channel != 0 && noteChannel != channel) return std::nullopt;
    const int slot = note - firstNote;
    if (slot < 0 || slot >= kSlots) return std::nullopt;
    return slot;
}

int padVelocity(const SlotView& view) {
    switch (view.state) {
        case SlotState::Empty:
            return 0;
        case SlotState::Missing:
            return 4;
        case SlotState::Fading:
            return 7;
        case SlotState::Cue:
            return 2;
        case SlotState::Playing:
            return view.loop ? 5 : 3;
        case SlotState::Ready:
            return view.loop ? 6 : 1;
    }
    return 0;
}

std::vector<PadLights::Note> PadLights::update(const std::vector<std::pair<int, SlotView>>& views,
                                               bool all) {
    std::vector<Note> notes;
    for (const auto& [slot, view] : views) {
        if (slot < 0 || slot >= kSlots) continue;
        const int velocity = padVelocity(view);
        auto& lit = lit_[static_cast<size_t>(slot)];
        if (!all && lit == velocity) continue;
        lit = velocity;
        notes.push_back({map_.channel != 0 ? map_.channel : 1, map_.noteOf(slot), velocity});
    }
    return notes;
}

void LightEchoes::sent(const PadLights::Note& light, Clock::time_point at) {
    sent_[next_] = {light, at, false};
    next_ = (next_ + 1) % sent_.size();
}

bool LightEchoes::isEcho(const PadLights::Note& noteOn, Clock::time_point at) {
    for (Sent& light : sent_) {
        if (!light.echoed && light.light == noteOn && at >= light.at && at - light.at < kWithin) {
            light.echoed = true;
            return true;
        }
    }
    return false;
}

}  // namespace tambrel::remote
