#pragma once
// The stream worker's receive path through a packet ring: the kernel places the stream's
// datagrams in slots of shared memory, and the worker hands them to the runner run by run,
// with no receive call and no copy per datagram. The stream socket stays bound (it owns the
// port and sends resend requests) but takes no copies of the stream.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "korvalite/gige/stream/detail/stream_runner.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/net/packet_ring.hpp"
#include "korvalite/net/udp_socket.hpp"

namespace korvalite::gige::stream {

// Ring bytes for a stream with packets of `packet_size`: options.receive_buffer when set, else
// the slots of four frames' packets within 8-64 MiB.
std::size_t ring_bytes_for(const StreamOptions& options, std::uint16_t packet_size);

// A ring receiving what is sent to `socket`'s endpoint, with the socket set to discard its own
// copies; nothing, after a WARN event saying why, when that cannot be done (the socket is
// then left as it was). `packet_size`: the stream's negotiated packet size.
std::optional<net::PacketRing> open_stream_ring(net::UdpSocket& socket, const StreamOptions& options,
                                                std::uint16_t packet_size);

// Hands the datagrams of the filled slots (at most `max_blocks` runs) to the runner, giving
// each run back once handled. Returns the payload bytes handled.
std::size_t drain_ring(net::PacketRing& ring, StreamRunner& runner, int max_blocks);

// A DEBUG event with the ring's totals, for when the stream ends.
void log_ring_totals(net::PacketRing& ring);

}  // namespace korvalite::gige::stream
