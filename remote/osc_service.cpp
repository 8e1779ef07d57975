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
        case Subscribers::Renewal::Renewed:
            break;
        case Subscribers::Renewal::New: {
            if (publishPending) publishPending();
            Subscriber& subscriber = subscribed_[address];
            subscriber = {from, 0};
            subscriber.to.sin_port = htons(address.port);
            sendWholeState(subscriber);
            break;
        }
    }
    return std::nullopt;
}

void OscService::sendWholeState(Subscriber& subscriber) {
    for (int n = 0; n < kFirstStateLot && subscriber.sent <= kSlots; ++n, ++subscriber.sent) {
        if (subscriber.sent == kSlots) {
            send_(subscriber.to, paletteMessage(panel_.paletteName()));
            continue;
        }
        const SlotView view = panel_.slot(subscriber.sent);
        send_(subscriber.to, slotMessage(subscriber.sent, stateName(view.state), view.name,
                                         view.remainingMs, view.loop));
    }
}

void OscService::pace() {
    for (auto& [address, subscriber] : subscribed_) sendWholeState(subscriber);
}

void OscService::publish(const std::vector<std::pair<int, SlotView>>& changed,
                         const std::optional<QString>& palette) {
    const std::vector<Subscribers::Address> current = subscribers_.current(now());
    // The addresses of those gone are forgotten with them.
    std::erase_if(subscribed_, [&](const auto& entry) {
        return std::find(current.begin(), current.end(), entry.first) == current.end();
    });
    if (subscribed_.empty() || (changed.empty() && !palette)) return;
    std::vector<std::pair<int, std::vector<char>>> messages;
    messages.reserve(changed.size() + 1);
    for (const auto& [index, view] : changed) {
        messages.emplace_back(index, slotMessage(index, stateName(view.state), view.name,
                                                 view.remainingMs, view.loop));
    }
    if (palette) messages.emplace_back(kSlots, paletteMessage(*palette));
    // A newcomer is told only of what it was sent: the rest of its whole
    // state goes out as it stands when its turn comes.
    for (const auto& [address, subscriber] : subscribed_) {
        for (const auto& [index, message] : messages) {
            if (index < subscriber.sent) send_(subscriber.to, message);
        }
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
