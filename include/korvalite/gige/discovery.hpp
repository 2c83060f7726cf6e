#pragma once
// Finding devices by broadcast: the discovery command goes out on every usable local IPv4
// adapter and the acknowledges that come back within a time-out are collected, one entry per
// device. Runs on the calling thread; touches no camera state.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/gige/network_adapter.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::gige {

struct DiscoveryConfig {
    // Adapters to use; absent means the host's adapters (host_adapters()).
    std::optional<std::vector<NetworkAdapter>> adapters;
    // How long answers are collected.
    std::chrono::steady_clock::duration timeout = std::chrono::seconds(1);
    // Port each adapter socket binds to (0: any free port).
    std::uint16_t local_port = 0;
    // Port the command is sent to.
    std::uint16_t device_port = proto::kGvcpPort;
    // Also send to 255.255.255.255.
    bool limited_broadcast = true;
    // Asked after every receive pass; when it answers true the run ends early with the devices
    // found so far (a host's interrupt, say). Absent: the run lasts its time-out.
    std::function<bool()> stop_early;
};

struct DiscoveredDevice {
    proto::DeviceInfo info;
    NetworkAdapter adapter;  // the adapter the answer arrived on
    net::Endpoint source;    // where the answer came from
};

// One receive attempt per adapter socket and pass waits at most this long.
inline constexpr std::chrono::milliseconds kDiscoveryReceivePass{20};

// The devices that answered, in order of first arrival (one per MAC address, the first answer
// wins). Fails only when the adapters cannot be enumerated or no adapter could send.
[[nodiscard]] CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config);

// Where the command goes for one adapter: its broadcast address and, unless that already is
// the limited broadcast or the config turns it off, 255.255.255.255; both at the device port.
std::vector<net::Endpoint> discovery_destinations(const NetworkAdapter& adapter, const DiscoveryConfig& config);

// The identity carried by a datagram if it is an acceptable discovery acknowledge: at least 8
// bytes, status below 0x8000, acknowledge code 0x0003, a length field that fits the datagram,
// and an identity block from offset 8 on.
std::optional<proto::DeviceInfo> parse_discovery_answer(proto::ByteView datagram);

}  // namespace korvalite::gige
