// Opening a stream channel: the host socket, the device's stream registers, the packet size
// and the receive worker.
#include <algorithm>
#include <string>

#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/host_address.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/device/packet_size.hpp"
#include "korvalite/device/stream_setup.hpp"
#include "korvalite/gige/stream/stream_worker.hpp"
#include "korvalite/log.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/try.hpp"

namespace korvalite::device {

namespace {

using log::Level;
namespace reg = proto::reg;

// Sizes the socket's receive buffer. When the system limit keeps it below what the stream
// wants, the socket path may lose frames under load: said once per connection, unless the
// packet ring takes the datagrams instead.
void size_receive_buffer(net::UdpSocket& socket, const stream::StreamOptions& options, Connection& connection) {
    const ReceiveBufferPlan plan = plan_receive_buffer(options, net::receive_buffer_limit());
    if (plan.capped() && !options.packet_ring && !connection.receive_buffer_capped_told) {
        connection.receive_buffer_capped_told = true;
        const std::string wanted = std::to_string(plan.wanted);
        KORVALITE_LOG(log::targets::gige, Level::Warn,
                      "stream receive buffer capped at " + std::to_string(plan.request) +
                          " bytes by net.core.rmem_max; frames may be lost under load: raise it to at least " +
                          wanted + " (sysctl -w net.core.rmem_max=" + wanted + ")");
    }
    if (auto granted = socket.set_receive_buffer(plan.request); !granted)
        KORVALITE_LOG(log::targets::gige, Level::Warn,
                      "SO_RCVBUF=" + std::to_string(plan.request) + " not applied: " + granted.error().text());
}

// Device timestamp ticks per second; 0 when the device does not tell.
std::uint64_t read_tick_frequency(const ControlPort& port) {
    auto words = wait_plain(port.read_registers({reg::kTickFrequencyHigh, reg::kTickFrequencyLow}), port.wait_timeout());
    if (!words || words->size() != 2) return 0;
    return (std::uint64_t{(*words)[0]} << 32) | (*words)[1];
}

}  // namespace

std::size_t receive_buffer_request(const stream::StreamOptions& options) {
    if (options.receive_buffer != 0) return options.receive_buffer;
    const std::uint64_t payload = std::min<std::uint64_t>(options.payload_size.value_or(0), kMaxAutoReceiveBuffer);
    return static_cast<std::size_t>(
        std::clamp<std::uint64_t>(kAutoReceiveBufferFrames * payload, kMinAutoReceiveBuffer, kMaxAutoReceiveBuffer));
}

ReceiveBufferPlan plan_receive_buffer(const stream::StreamOptions& options, std::optional<std::size_t> system_limit) {
    const std::size_t wanted = receive_buffer_request(options);
    return {wanted, system_limit ? std::min(wanted, *system_limit) : wanted};
}

CameraResult<net::Endpoint> stream_bind_address(const stream::StreamOptions& options, const net::Endpoint& control_local,
                                                const net::Endpoint& device) {
    if (options.local_addr) return *options.local_addr;
    auto host = host_address_towards(control_local, device);
    if (!host) return std::unexpected(host.error());
    return net::Endpoint{*host, 0};
}

CameraResult<stream::StreamChannel> GigECamera::open_stream(const stream::StreamOptions& options) {
    if (!options.payload_size || *options.payload_size == 0)
        return std::unexpected(CameraError::malformed("payload_size must be set"));
    if (auto error = connection_error()) return std::unexpected(*error);
    Connection& connection = *connection_;
    const ControlPort& port = connection.port();
    const auto write = [&](std::uint32_t address, std::uint32_t value) {
        return wait_plain(port.write_register(address, value), port.wait_timeout());
    };

    auto bind_to = stream_bind_address(options, connection.channel.local, connection.device);
    if (!bind_to) return std::unexpected(bind_to.error());
    auto socket = net::UdpSocket::bind(*bind_to);
    if (!socket) return std::unexpected(socket.error());
    auto local = socket->local_endpoint();
    if (!local) return std::unexpected(local.error());
    if (local->address == net::Ipv4Address::any())
        KORVALITE_LOG(log::targets::gige, Level::Debug,
                      "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP requester)",
                      {{"local", local->to_string()}});
    size_receive_buffer(*socket, options, connection);

    const std::uint32_t base = reg::stream_channel_base(options.channel);
    KORVALITE_TRY(write(base + reg::kScdaOffset, local->address.value));
    KORVALITE_TRY(write(base + reg::kScpOffset, local->port));
    const std::optional<std::uint16_t> remembered = connection.packet_sizes.find(options.channel);
    std::uint16_t packet_size = 0;
    if (options.packet_size || remembered) {
        packet_size = options.packet_size.value_or(remembered.value_or(0));
        if (auto r = write(base + reg::kScpsOffset, packet_size); !r) {
            connection.packet_sizes.forget(options.channel);
            return std::unexpected(r.error());
        }
    } else {
        auto negotiated = negotiate_packet_size({port, base + reg::kScpsOffset, *socket, connection.device.address});
        if (!negotiated) return std::unexpected(negotiated.error());
        packet_size = *negotiated;
        connection.packet_sizes.remember(options.channel, packet_size);
    }
    if (options.packet_delay)
        KORVALITE_TRY(write(base + reg::kScpdOffset, *options.packet_delay));

    stream::StreamWorkerParams params;
    params.device = connection.device;
    params.packet_size = packet_size;
    params.tick_frequency = read_tick_frequency(port);
    // A device without PACKETRESEND is never asked; what would have been asked is counted.
    params.resend_enabled = !options.no_resend && connection.capability().packet_resend();
    params.resend_unsupported = !options.no_resend && !connection.capability().packet_resend();
    auto worker = stream::StreamWorker::spawn(std::move(*socket), options, params);
    if (!worker) return std::unexpected(worker.error());

    KORVALITE_LOG(log::targets::gige, Level::Debug, "stream channel opened",
                  {{"channel", options.channel}, {"local", local->to_string()}, {"packet_size", packet_size}});
    return stream::StreamChannel(*local, std::move(*worker), port, base, options.channel, packet_size);
}

}  // namespace korvalite::device
