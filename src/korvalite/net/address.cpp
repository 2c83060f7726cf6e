#include "korvalite/net/address.hpp"

#include <arpa/inet.h>

namespace korvalite::net {

std::optional<Ipv4Address> Ipv4Address::parse(std::string_view text) {
    std::string s(text);
    in_addr addr{};
    if (::inet_pton(AF_INET, s.c_str(), &addr) != 1) return std::nullopt;
    return Ipv4Address{ntohl(addr.s_addr)};
}

std::string Ipv4Address::to_string() const {
    return std::to_string((value >> 24) & 0xFF) + "." + std::to_string((value >> 16) & 0xFF) + "." +
           std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF);
}

sockaddr_in Endpoint::to_sockaddr() const {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address.value);
    return sa;
}

Endpoint Endpoint::from_sockaddr(const sockaddr_in& sa) {
    return Endpoint{Ipv4Address{ntohl(sa.sin_addr.s_addr)}, ntohs(sa.sin_port)};
}

std::string Endpoint::to_string() const { return address.to_string() + ":" + std::to_string(port); }

}  // namespace korvalite::net
