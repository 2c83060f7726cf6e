#pragma once
// Finding the largest stream packet size the path to the device passes: the device is asked
// to fire single test packets of chosen sizes (do not fragment) at the stream socket, and the
// sizes that arrive bound a bisection search.
#include <cstdint>
#include <functional>
#include <optional>

#include "korvalite/device/layers.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/net/udp_socket.hpp"

namespace korvalite::device {

// The largest size probed, the size used when no probe passes, and the smallest size chosen.
inline constexpr std::uint32_t kLargestProbe = 9152;
inline constexpr std::uint32_t kFallbackPacketSize = 1500;
inline constexpr std::uint32_t kSmallestPacketSize = 560;

// One probe of size s: nullopt when it failed, else the largest size (at most s) that arrived.
using PacketSizeProbe = std::function<std::optional<std::uint32_t>(std::uint32_t size)>;

// The search alone, over any probe: 9152 first; then 1488, 1008, 560 until one passes, and a
// bisection in steps of 16 bytes above it. The result is the largest size actually seen (never
// below 560), or 1500 (with a WARN) when nothing passed.
std::uint32_t search_packet_size(const PacketSizeProbe& probe);

// Where the test packets go and come from.
struct FireTestPath {
    const ControlPort& port;
    std::uint32_t scps_address;  // the channel's packet size register
    net::UdpSocket& socket;      // the stream socket (blocking); its receive time-out is changed
    net::Ipv4Address device;     // only datagrams from this address count
};

// Fires one test packet of `size` and receives up to three datagrams, 25 ms each.
std::optional<std::uint32_t> fire_test_probe(const FireTestPath& path, std::uint32_t size);

// Searches over fire_test_probe, writes the size found to the packet size register, then drops
// every test packet still queued on the socket. A failed final write fails the negotiation.
[[nodiscard]] CameraResult<std::uint16_t> negotiate_packet_size(const FireTestPath& path);

}  // namespace korvalite::device
