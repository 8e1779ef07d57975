#include "remote/allow_list.h"

#include <arpa/inet.h>

namespace tambrel::remote {

bool AllowList::add(const QString& entry) {
    const qsizetype slash = entry.indexOf(u'/');
    const QString host = slash < 0 ? entry : entry.left(slash);
    int bits = 32;
    if (slash >= 0) {
        const QString prefix = entry.mid(slash + 1);
        bool ok = false;
        bits = prefix.toInt(&ok);
        // Digits only: toInt would take "+8" or " 8".
        if (!ok || prefix.isEmpty() || prefix.size() > 2 || !prefix[0].isDigit() || bits < 0 ||
            bits > 32) {
            return false;
        }
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, host.toStdString().c_str(), &parsed) != 1) return false;
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    networks_.push_back({ntohl(parsed.s_addr) & mask, mask});
    return true;
}

bool AllowList::allows(const in_addr& address) const {
    if (isLoopback(address)) return true;
    const uint32_t host = ntohl(address.s_addr);
    for (const Network& network : networks_) {
        if ((host & network.mask) == network.address) return true;
    }
    return false;
}

bool isLoopback(const in_addr& address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace tambrel::remote
