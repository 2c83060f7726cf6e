#include "korvalite/gige/discovery.hpp"

#include <cerrno>
#include <cstring>

#include "korvalite/log.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/saturating_time.hpp"
#include "korvalite/try.hpp"

namespace korvalite::gige {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveBufferSize = 65535;

struct AdapterSocket {
    NetworkAdapter adapter;
    net::UdpSocket socket;
};

// The operating system's text of an I/O error; the full message for any other kind.
std::string error_text(const CameraError& error) {
    return error.kind() == CameraError::Kind::Io ? error.text() : error.message();
}

// A socket bound to the adapter's address, allowed to broadcast, with the pass's receive time-out.
CameraResult<net::UdpSocket> open_adapter_socket(const NetworkAdapter& adapter, std::uint16_t local_port) {
    auto socket = net::UdpSocket::bind({adapter.ip, local_port});
    if (!socket) return socket;
    KORVALITE_TRY(socket->set_broadcast(true));
    const auto pass_ms = static_cast<int>(kDiscoveryReceivePass.count());
    KORVALITE_TRY(socket->set_receive_timeout(pass_ms));
    return socket;
}

// Sends the command to every destination; true when at least one send went out.
bool send_discovery(const net::UdpSocket& socket, const std::vector<net::Endpoint>& destinations) {
    static const auto command = proto::encode_discovery();
    bool sent = false;
    for (const net::Endpoint& to : destinations) {
        if (auto result = socket.send_to(command, to); result) {
            sent = true;
        } else {
            KORVALITE_LOG(log::targets::gige_discovery, log::Level::Trace,
                          "discovery: send to " + to.to_string() + " failed: " + error_text(result.error()));
        }
    }
    return sent;
}

// The sockets of every adapter that could send the command.
std::vector<AdapterSocket> broadcast_on(const std::vector<NetworkAdapter>& adapters, const DiscoveryConfig& config) {
    std::vector<AdapterSocket> kept;
    for (const NetworkAdapter& adapter : adapters) {
        auto socket = open_adapter_socket(adapter, config.local_port);
        if (!socket) {
            KORVALITE_LOG(log::targets::gige_discovery, log::Level::Warn,
                          "discovery: skipping " + adapter.name + " (" + adapter.ip.to_string() +
                              "): " + error_text(socket.error()));
            continue;
        }
        if (send_discovery(*socket, discovery_destinations(adapter, config)))
            kept.push_back({adapter, std::move(*socket)});
    }
    return kept;
}

// One receive attempt on one socket; an acceptable answer from a device not yet seen is added.
void receive_once(const AdapterSocket& entry, std::span<std::byte> buffer, std::vector<DiscoveredDevice>& found) {
    auto datagram = entry.socket.receive_from(buffer);
    if (!datagram) {
        const int error = datagram.error();
        if (error != EAGAIN && error != EWOULDBLOCK) {
            KORVALITE_LOG(log::targets::gige_discovery, log::Level::Trace,
                          "discovery: recv on " + entry.adapter.name + " failed: " + std::strerror(error));
        }
        return;
    }
    auto info = parse_discovery_answer(buffer.first(datagram->size));
    if (!info) return;
    for (const DiscoveredDevice& known : found)
        if (known.info.mac == info->mac) return;
    found.push_back({std::move(*info), entry.adapter, datagram->from});
}

}  // namespace

std::vector<net::Endpoint> discovery_destinations(const NetworkAdapter& adapter, const DiscoveryConfig& config) {
    std::vector<net::Endpoint> destinations{{adapter.broadcast, config.device_port}};
    if (config.limited_broadcast && adapter.broadcast != net::Ipv4Address::broadcast())
        destinations.push_back({net::Ipv4Address::broadcast(), config.device_port});
    return destinations;
}

std::optional<proto::DeviceInfo> parse_discovery_answer(proto::ByteView datagram) {
    // The acknowledge is judged by the protocol's one rule; the identity block is read from
    // everything after the header.
    if (!proto::discovery_ack_payload(datagram)) return std::nullopt;
    return proto::DeviceInfo::parse(datagram.subspan(proto::kGvcpHeaderSize));
}

CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config) {
    std::vector<NetworkAdapter> enumerated;
    if (!config.adapters) {
        auto host = host_adapters();
        if (!host) return std::unexpected(std::move(host.error()));
        enumerated = std::move(*host);
    }
    const std::vector<NetworkAdapter>& adapters = config.adapters ? *config.adapters : enumerated;

    const std::vector<AdapterSocket> sockets = broadcast_on(adapters, config);
    if (sockets.empty()) return std::unexpected(CameraError::io(EADDRNOTAVAIL, "no usable network adapter for discovery"));

    std::vector<DiscoveredDevice> found;
    std::vector<std::byte> buffer(kReceiveBufferSize);
    const auto deadline = saturating_deadline(Clock::now(), config.timeout);
    while (Clock::now() < deadline) {
        for (const AdapterSocket& entry : sockets) receive_once(entry, buffer, found);
        if (config.stop_early && config.stop_early()) break;
    }
    KORVALITE_LOG(log::targets::gige_discovery, log::Level::Debug, "discovery finished", {{"devices", found.size()}});
    return found;
}

}  // namespace korvalite::gige
