#include "remote/web_gate.h"

#include <QCryptographicHash>
#include <algorithm>

namespace tambrel::remote {
namespace {
QByteArray digest(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256);
}

// Digests of equal length compared in full, so that the time taken tells
// nothing of how much of a guess was right.
bool same(const QByteArray& a, const QByteArray& b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i) {
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return differ == 0;
}
}  // namespace

CodeGate::CodeGate(const QString& code) : digest_(code.isEmpty() ? QByteArray() : digest(code)) {}

CodeGate::Answer CodeGate::check(uint32_t host, const QString& given, Clock::time_point now) {
    const auto seconds = [&](Clock::time_point until) {
        return static_cast<int>(
            std::chrono::ceil<std::chrono::seconds>(std::max(until - now, Clock::duration{}))
                .count());
    };
    auto found = hosts_.find(host);
    if (found == hosts_.end()) {
        if (hosts_.size() >= kMostHosts) {
            // Those quiet for a long wait past their own are let go.
            std::erase_if(hosts_, [&](const auto& entry) {
                return std::max(entry.second.last, entry.second.next) + kLongestWait <= now;
            });
        }
        if (hosts_.size() >= kMostHosts) return {Verdict::Wait, seconds(now + kFirstWait)};
        found = hosts_.emplace(host, Tries{}).first;
    }
    Tries& tries = found->second;
    if (now < tries.next) return {Verdict::Wait, seconds(tries.next)};
    tries.last = now;
    if (!digest_.isEmpty() && same(digest(given), digest_)) {
        hosts_.erase(found);
        return {Verdict::Right};
    }
    if (++tries.wrong >= kFreeTries) {
        const int doublings = std::min(tries.wrong - kFreeTries, 5);
        tries.next = now + std::min<Clock::duration>(kFirstWait * (1 << doublings), kLongestWait);
    }
    return {Verdict::Wrong, seconds(tries.next)};
}

bool Pace::allows(Clock::time_point now) {
    if (started_) {
        const std::chrono::duration<double> since = now - at_;
        tokens_ = std::min(kBurst, tokens_ + since.count() * kPerSecond);
    }
    started_ = true;
    at_ = now;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
}

}  // namespace tambrel::remote
