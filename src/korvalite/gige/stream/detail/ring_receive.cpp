#include "korvalite/gige/stream/detail/ring_receive.hpp"

#include <algorithm>
#include <chrono>
#include <string>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/log.hpp"

namespace korvalite::gige::stream {

namespace {

constexpr auto& kLog = log::targets::gige_stream_runner;
constexpr std::size_t kMinRingBytes = 8u << 20;
constexpr std::size_t kMaxRingBytes = 64u << 20;

void warn_socket_path(const net::Endpoint& local, const std::string& reason) {
    KORVALITE_LOG(kLog, log::Level::Warn, "packet ring not used, receiving through the socket: " + reason,
                  {{"local", local.to_string()}});
}

}  // namespace

std::size_t ring_bytes_for(const StreamOptions& options, std::uint16_t packet_size) {
    if (options.receive_buffer != 0) return options.receive_buffer;
    // Every packet takes a whole slot: four frames' packets, leaders and trailers included.
    const std::uint32_t per_packet = std::max<std::uint32_t>(proto::payload_bytes_per_packet(packet_size, false), 1);
    const std::uint64_t packets = 4 * proto::frame_packet_count(options.payload_size.value_or(0), per_packet);
    const std::uint64_t four_frames = std::min<std::uint64_t>(packets, kMaxRingBytes) * net::PacketRing::slot_size_for(packet_size);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(four_frames, kMinRingBytes, kMaxRingBytes));
}

std::optional<net::PacketRing> open_stream_ring(net::UdpSocket& socket, const StreamOptions& options,
                                                std::uint16_t packet_size) {
    auto local = socket.local_endpoint();
    if (!local) {
        warn_socket_path({}, local.error().message());
        return std::nullopt;
    }
    // Slots of the negotiated size: a longer packet than negotiated is skipped as truncated.
    auto ring = net::PacketRing::open(*local, ring_bytes_for(options, packet_size), packet_size);
    if (!ring) {
        warn_socket_path(*local, ring.error().message());
        return std::nullopt;
    }
    if (auto discarding = socket.discard_incoming(); !discarding) {
        warn_socket_path(*local, "the socket cannot discard its copies: " + discarding.error().message());
        return std::nullopt;
    }
    KORVALITE_LOG(kLog, log::Level::Debug, "receiving through a packet ring",
                  {{"local", local->to_string()},
                   {"slots", ring->slot_count()},
                   {"slot_size", ring->slot_size()}});
    return std::move(*ring);
}

std::size_t drain_ring(net::PacketRing& ring, StreamRunner& runner, int max_blocks) {
    std::size_t bytes = 0;
    for (int taken = 0; taken < max_blocks; ++taken) {
        auto block = ring.take_block();
        if (!block) break;
        const Instant now = std::chrono::steady_clock::now();
        while (const auto datagram = block->next()) {
            bytes += datagram->payload.size();
            runner.handle_datagram(datagram->payload, datagram->source, now);
        }
        ring.give_back();
    }
    return bytes;
}

void log_ring_totals(net::PacketRing& ring) {
    const auto& c = ring.counters();
    KORVALITE_LOG(kLog, log::Level::Debug, "packet ring closing",
                  {{"runs", c.runs},
                   {"datagrams", c.datagrams},
                   {"skipped", c.skipped},
                   {"kernel_drops", ring.kernel_drops()}});
}

}  // namespace korvalite::gige::stream
