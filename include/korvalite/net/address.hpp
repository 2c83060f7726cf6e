#pragma once
// IPv4 addresses and UDP endpoints as plain values (host byte order inside).
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalite::net {

struct Ipv4Address {
    std::uint32_t value = 0;  // host order: 127.0.0.1 is 0x7F000001

    // Strict dotted-quad decimal ("10.0.0.300" and "1.2.3" are rejected).
    static std::optional<Ipv4Address> parse(std::string_view text);
    static constexpr Ipv4Address any() { return {0}; }
    static constexpr Ipv4Address broadcast() { return {0xFFFFFFFF}; }
    std::string to_string() const;
    bool is_loopback() const { return (value >> 24) == 127; }
    bool operator==(const Ipv4Address&) const = default;
    auto operator<=>(const Ipv4Address&) const = default;
};

struct Endpoint {
    Ipv4Address address;
    std::uint16_t port = 0;

    sockaddr_in to_sockaddr() const;
    static Endpoint from_sockaddr(const sockaddr_in& sa);
    std::string to_string() const;  // "a.b.c.d:port"
    bool operator==(const Endpoint&) const = default;
};

}  // namespace korvalite::net
