#include "remote/osc_service.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <algorithm>

#include "remote/time_slice.h"

namespace tambrel::remote {

bool isThisMachine(const in_addr& address) {
    const uint32_t host = ntohl(address.s_addr);
    if ((host >> 24) == 127 || host == INADDR_ANY) return true;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return true;  // cannot tell: refused, to be safe
    bool found = false;
    for (const ifaddrs* i = interfaces; i != nullptr && !found; i = i->ifa_next) {
        found =
            i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address.s_addr;
    }
    freeifaddrs(interfaces);
    return found;
}

void OscService::receive(std::deque<Incoming> arrived) {
    dropped_ += queueArrived(waiting_, std::move(arrived), kMostWaiting, [](const Incoming& item) {
        const auto* request = std::get_if<Request>(&item.request);
        return request != nullptr && request->kind == Request::Kind::Palette;
    });
}

bool OscService::carryOut(Clock::time_point until) {
    return carryOutUntil(
        waiting_, until, [this](const Incoming& incoming) { carryOut(incoming); }, now);
}

void OscService::carryOut(const Incoming& incoming) {
    std::optional<QString> refused;
    if (const auto* why = std::get_if<QString>(&incoming.request)) {
        refused = *why;
    } else {
        const Request& request = std::get<Request>(incoming.request);
        switch (request.kind) {
            case Request::Kind::Press:
                refused = control_.press(request.slot);
                break;
            case Request::Kind::Fade:
                refused = control_.fade(request.slot);
                break;
            case Request::Kind::Cue:
                refused = control_.cue(request.slot);
                break;
            case Request::Kind::StopAll:
                control_.stopAll();
                break;
            case Request::Kind::ToggleLoop:
                refused = control_.toggleLoop(request.slot);
                break;
            case Request::Kind::SetLoop:
                refused = control_.setLoop(request.slot, request.on);
                break;
            case Request::Kind::Palette:
                refused = control_.loadPalette(request.name);
                break;
            case Request::Kind::Subscribe:
                refused = subscribe(request, incoming.from);
                break;
        }
    }
    if (refused && mayAnswer(ntohl(incoming.from.sin_addr.s_addr))) {
        send_(incoming.from, errorAnswer(*refused, incoming.size));
    }
}

std::optional<QString> OscService::subscribe(const Request& request, const sockaddr_in& from) {
    if (request.port == ownPort_ && thisMachine(from.sin_addr)) {
        return QStringLiteral("Abonnement refusé : le port %1 est celui de Tambrel")
            .arg(request.port);
    }
    const Subscribers::Address address{ntohl(from.sin_addr.s_addr),
                                       static_cast<uint16_t>(request.port)};
    switch (subscribers_.renew(address, now())) {
        case Subscribers::Renewal::Refused:
            return QStringLiteral("Trop d'abonnés");
        case Subscribers::Renewal::RefusedForHost:
            return QStringLiteral("Trop d'abonnements pour cette machine (%1 au plus)")
                .arg(Subscribers::kMostPerHost);
        case Subscribers::Renewal::Renewed: {
            const auto found = subscribed_.find(address);
            if (found != subscribed_.end()) found->second.spent = 0;
            break;
        }
        case Subscribers::Renewal::New: {
            if (publishPending) publishPending();
            forgetGone();  // a stale place it took, too
            Subscriber& subscriber = subscribed_[address];
            subscriber = Subscriber{};
            subscriber.to = from;
            subscriber.to.sin_port = htons(address.port);
            subscriber.at = now();
            for (int entry = 0; entry <= kSlots; ++entry) wait(subscriber, entry);
            tell(subscriber);
            break;
        }
    }
    return std::nullopt;
}

void OscService::wait(Subscriber& subscriber, int entry) {
    uint64_t& since = subscriber.waiting.at(static_cast<size_t>(entry));
    if (since == 0) since = ++waited_;
}

void OscService::tell(Subscriber& subscriber) {
    const Clock::time_point at = now();
    const std::chrono::duration<double> elapsed = at - subscriber.at;
    subscriber.allowance =
        std::min(kStateBurst, subscriber.allowance + elapsed.count() * kStateBytesPerSecond);
    subscriber.at = at;
    // What waits, as it stands now, the longest waiting first.
    struct Entry {
        uint64_t since = 0;
        int index = 0;
        bool tick = false;  // only the remaining time changed
    };
    std::vector<Entry> entries;
    for (int i = 0; i <= kSlots; ++i) {
        uint64_t& waiting = subscriber.waiting.at(static_cast<size_t>(i));
        if (waiting == 0) continue;
        bool tick = false;
        if (i == kSlots) {
            if (subscriber.toldPalette == panel_.paletteName()) waiting = 0;
        } else if (const auto& told = subscriber.told.at(static_cast<size_t>(i))) {
            SlotView timeless = panel_.slot(i);
            if (timeless == *told) waiting = 0;  // changed back meanwhile
            timeless.remainingMs = told->remainingMs;
            tick = timeless == *told;
        }
        if (waiting != 0) entries.push_back({waiting, i, tick});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.since < b.since; });
    int sent = 0;
    for (const Entry& entry : entries) {
        if (sent == kFirstStateLot) break;
        if (entry.tick && at < subscriber.nextTick) continue;
        const auto index = static_cast<size_t>(entry.index);
        const bool slot = entry.index < kSlots;
        const SlotView view = slot ? panel_.slot(entry.index) : SlotView{};
        const QString palette = slot ? QString() : panel_.paletteName();
        const std::vector<char> message = slot ? slotMessage(entry.index, stateName(view.state),
                                                             view.name, view.remainingMs, view.loop)
                                               : paletteMessage(palette);
        // The loudness figures follow their slot's state when they changed.
        std::vector<char> figures;
        if (slot) {
            const std::optional<SlotView>& told = subscriber.told.at(index);
            if (told ? told->loudness != view.loudness : !view.loudness.isEmpty()) {
                figures = loudnessMessage(entry.index, view.loudness);
            }
        }
        const size_t size = message.size() + figures.size();
        if (entry.tick && subscriber.spent + size > kTicksUntil) continue;
        // The rest waits in its order: none overtakes what does not fit.
        if (static_cast<double>(size) > subscriber.allowance ||
            subscriber.spent + size > kStatePerPeriod) {
            break;
        }
        send_(subscriber.to, message);
        if (!figures.empty()) send_(subscriber.to, figures);
        subscriber.allowance -= static_cast<double>(size);
        subscriber.spent += size;
        subscriber.waiting.at(index) = 0;
        if (slot) {
            subscriber.told.at(index) = view;
        } else {
            subscriber.toldPalette = palette;
        }
        if (entry.tick) subscriber.nextTick = at + kTickEvery;
        ++sent;
    }
}

void OscService::pace() {
    for (auto& [address, subscriber] : subscribed_) tell(subscriber);
}

void OscService::forgetGone() {
    const std::vector<Subscribers::Address> current = subscribers_.current(now());
    std::erase_if(subscribed_, [&](const auto& entry) {
        return std::find(current.begin(), current.end(), entry.first) == current.end();
    });
}

void OscService::publish(const std::vector<std::pair<int, SlotView>>& changed,
                         const std::optional<QString>& palette) {
    forgetGone();
    for (auto& [address, subscriber] : subscribed_) {
        for (const auto& [index, view] : changed) wait(subscriber, index);
        if (palette) wait(subscriber, kSlots);
        if (!changed.empty() || palette) tell(subscriber);
    }
}

bool OscService::mayAnswer(uint32_t host) {
    const Clock::time_point at = now();
    const auto answers = [&](const Allowance& allowance) {
        const std::chrono::duration<double> since = at - allowance.at;
        return std::min(kErrorBurst, allowance.answers + since.count() * kErrorsPerSecond);
    };
    auto found = answered_.find(host);
    if (found == answered_.end()) {
        // Hosts back to their whole allowance need no counting.
        if (answered_.size() >= kMostAnswered) {
            std::erase_if(answered_,
                          [&](const auto& entry) { return answers(entry.second) >= kErrorBurst; });
        }
        if (answered_.size() >= kMostAnswered) return false;
        found = answered_.emplace(host, Allowance{kErrorBurst, at}).first;
    }
    Allowance& allowance = found->second;
    allowance = {answers(allowance), at};
    if (allowance.answers < 1) return false;
    allowance.answers -= 1;
    return true;
}

}  // namespace tambrel::remote
