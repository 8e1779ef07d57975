#include "remote/remote_control.h"

#include <algorithm>
#include <cstdlib>

namespace tambrel::remote {
namespace {
QString letter(int index) {
    return QChar(u'A' + index);
}
}  // namespace

const char* stateName(SlotState state) {
    switch (state) {
        case SlotState::Empty:
            return "vide";
        case SlotState::Ready:
            return "pret";
        case SlotState::Playing:
            return "joue";
        case SlotState::Missing:
            return "absent";
        case SlotState::Fading:
            return "fondu";
        case SlotState::Cue:
            return "ecoute";
    }
    return "vide";
}

QString echoed(const QString& text) {
    QString shown = text.size() > kEchoed ? text.left(kEchoed - 1) + u'…' : text;
    for (QChar& c : shown) {
        if (!c.isPrint()) c = u'?';
    }
    return shown;
}

std::optional<QString> RemoteControl::badSlot(int index) {
    if (index >= 0 && index < kSlots) return std::nullopt;
    return QStringLiteral("Touche inconnue : %1 (de 0 à 27)").arg(index);
}

std::optional<QString> RemoteControl::press(int index) {
    return act(index, [&] { panel_.press(index); });
}

std::optional<QString> RemoteControl::fade(int index) {
    return act(index, [&] { panel_.fade(index); });
}

std::optional<QString> RemoteControl::cue(int index) {
    return act(index, [&] { panel_.cue(index); });
}

template <typename Gesture>
std::optional<QString> RemoteControl::act(int index, Gesture gesture) {
    if (auto bad = badSlot(index)) return bad;
    // From afar no file dialog may open: an empty slot is refused.
    if (panel_.wouldAskForFile(index)) {
        return QStringLiteral("Touche vide : ") + letter(index);
    }
    const SlotState before = panel_.slot(index).state;
    gesture();
    const SlotState after = panel_.slot(index).state;
    const auto sounds = [](SlotState state) {
        return state == SlotState::Playing || state == SlotState::Fading || state == SlotState::Cue;
    };
    if (sounds(before) || sounds(after)) return std::nullopt;
    const QString why = panel_.notice(index);
    return QStringLiteral("Touche ") + letter(index) + QStringLiteral(" : ") +
           (why.isEmpty() ? QStringLiteral("lecture impossible") : why);
}

std::optional<QString> RemoteControl::toggleLoop(int index) {
    if (auto bad = badSlot(index)) return bad;
    panel_.toggleLoop(index);
    return std::nullopt;
}

std::optional<QString> RemoteControl::setLoop(int index, bool on) {
    if (auto bad = badSlot(index)) return bad;
    if (panel_.slot(index).loop != on) panel_.toggleLoop(index);
    return std::nullopt;
}

std::optional<QString> RemoteControl::loadPalette(const QString& name) {
    for (const QString& entry : panel_.palettes()) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0 ||
            entry.compare(name + QStringLiteral(".Bnk"), Qt::CaseInsensitive) == 0) {
            panel_.loadPalette(entry);
            return std::nullopt;
        }
    }
    return QStringLiteral("Palette inconnue : ") + echoed(name);
}

std::vector<std::pair<int, SlotView>> RemoteControl::changedSlots(bool all, int32_t step) {
    std::vector<std::pair<int, SlotView>> changed;
    for (int i = 0; i < kSlots; ++i) {
        SlotView view = panel_.slot(i);
        const auto last = sent_.find(i);
        bool differs = all || last == sent_.end();
        if (!differs) {
            SlotView timeless = last->second;
            timeless.remainingMs = view.remainingMs;
            differs = !(timeless == view) ||
                      std::abs(last->second.remainingMs - view.remainingMs) >= step;
        }
        if (differs) {
            changed.emplace_back(i, view);
            sent_[i] = view;
        }
    }
    return changed;
}

std::optional<QString> RemoteControl::changedPalette(bool always) {
    const QString name = panel_.paletteName();
    if (!always && sentPalette_ == name) return std::nullopt;
    sentPalette_ = name;
    return name;
}

Subscribers::Renewal Subscribers::renew(Address address, Clock::time_point now) {
    const auto found = until_.find(address);
    if (found != until_.end() && found->second > now) {
        found->second = now + kLasting;
        return Renewal::Renewed;
    }
    const auto machine = [](uint32_t host) { return (host >> 24) == 127 ? 0x7f000001 : host; };
    const std::vector<Address> still = current(now);  // the gone ones make room first
    if (std::count_if(still.begin(), still.end(), [&](const Address& other) {
            return machine(other.host) == machine(address.host);
        }) >= static_cast<std::ptrdiff_t>(kMostPerHost)) {
        return Renewal::RefusedForHost;
    }
    if (until_.size() >= kMost) {
        const auto stalest =
            std::min_element(until_.begin(), until_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        if (stalest->second - kLasting > now - kStale) return Renewal::Refused;
        until_.erase(stalest);
    }
    until_[address] = now + kLasting;
    return Renewal::New;
}

std::vector<Subscribers::Address> Subscribers::current(Clock::time_point now) {
    std::vector<Address> still;
    for (auto it = until_.begin(); it != until_.end();) {
        if (it->second <= now) {
            it = until_.erase(it);
        } else {
            still.push_back(it->first);
            ++it;
        }
    }
    return still;
}

}  // namespace tambrel::remote
