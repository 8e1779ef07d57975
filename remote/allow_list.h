#pragma once

// Who may speak to the remote control over the network: IPv4 hosts
// ("192.168.10.31") and networks ("192.168.10.0/24"). This machine's
// loopback addresses always may. What comes from anyone else is dropped
// unanswered on the reading thread, before it costs the window anything.

#include <netinet/in.h>

#include <QString>
#include <cstdint>
#include <vector>

namespace tambrel::remote {

class AllowList {
  public:
    // False, and nothing added, for an entry that is neither a host nor a network.
    bool add(const QString& entry);
    bool empty() const { return networks_.empty(); }
    bool allows(const in_addr& address) const;

  private:
    struct Network {
        uint32_t address = 0;  // host order, masked
        uint32_t mask = 0;
    };
    std::vector<Network> networks_;
};

// 127.0.0.0/8.
bool isLoopback(const in_addr& address);

}  // namespace tambrel::remote
