#include "korvalite/gige/network_adapter.hpp"

#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>
#include <optional>

namespace korvalite::gige {

namespace {

std::optional<net::Ipv4Address> ipv4_of(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) return std::nullopt;
    return net::Endpoint::from_sockaddr(*reinterpret_cast<const sockaddr_in*>(address)).address;
}

// The broadcast address the interface reports, if it reports a real one. The C library fills
// the broadcast slot with the interface's own address when the address was configured without
// a broadcast, and the same slot holds the peer of a point-to-point link; neither counts.
std::optional<net::Ipv4Address> reported_broadcast(const ifaddrs& entry, net::Ipv4Address ip) {
    if ((entry.ifa_flags & IFF_BROADCAST) == 0) return std::nullopt;
    auto broadcast = ipv4_of(entry.ifa_broadaddr);
    if (!broadcast || *broadcast == net::Ipv4Address::any() || *broadcast == ip) return std::nullopt;
    return broadcast;
}

}  // namespace

std::vector<NetworkAdapter> adapters_from(const ifaddrs* list) {
    std::vector<NetworkAdapter> adapters;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const auto ip = ipv4_of(entry->ifa_addr);
        if (!ip || *ip == net::Ipv4Address::any() || ip->is_loopback()) continue;
        const net::Ipv4Address netmask = ipv4_of(entry->ifa_netmask).value_or(net::Ipv4Address::any());
        NetworkAdapter adapter{entry->ifa_name ? entry->ifa_name : "", *ip, netmask, {}};
        adapter.broadcast = reported_broadcast(*entry, *ip).value_or(directed_broadcast(*ip, netmask));
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

CameraResult<std::vector<NetworkAdapter>> host_adapters() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return std::unexpected(CameraError::io_errno(errno));
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    return adapters_from(list.get());
}

}  // namespace korvalite::gige
