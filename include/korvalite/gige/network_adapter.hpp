#pragma once
// Local IPv4 adapters as discovery sees them: name, address, mask and the address that reaches
// every host on the adapter's network.
#include <ifaddrs.h>

#include <string>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::gige {

struct NetworkAdapter {
    std::string name;
    net::Ipv4Address ip;
    net::Ipv4Address netmask;
    // The interface's broadcast address when it has one, otherwise ip OR (NOT netmask).
    net::Ipv4Address broadcast;

    bool operator==(const NetworkAdapter&) const = default;
};

// ip OR (NOT netmask): 192.168.1.10/24 gives 192.168.1.255.
inline net::Ipv4Address directed_broadcast(net::Ipv4Address ip, net::Ipv4Address netmask) {
    return net::Ipv4Address{ip.value | ~netmask.value};
}

// Every IPv4 entry of an interface address list that is neither 0.0.0.0 nor in 127.0.0.0/8,
// in list order. Link state is not looked at.
std::vector<NetworkAdapter> adapters_from(const ifaddrs* list);

// The host's adapters (getifaddrs), filtered as above; the enumeration's own failure is an error.
[[nodiscard]] CameraResult<std::vector<NetworkAdapter>> host_adapters();

}  // namespace korvalite::gige
