#pragma once
// Which way a stream's datagrams reach the receive worker: through the memory-mapped packet
// ring, through the socket, or the ring whenever this process may open one.
#include <cstdint>

namespace korvalite::device {

enum class PacketRingMode : std::uint8_t { Auto, On, Off };

// Whether a stream uses the packet ring. Auto asks whether the process holds CAP_NET_RAW; when
// `announce` is set, it says which path it chose and why in one INFO event.
bool use_packet_ring(PacketRingMode mode, bool announce);

}  // namespace korvalite::device
