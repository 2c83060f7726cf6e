#include "korvalite/device/receive_path.hpp"

#include "korvalite/log.hpp"
#include "korvalite/net/packet_ring.hpp"

namespace korvalite::device {

bool use_packet_ring(PacketRingMode mode, bool announce) {
    if (mode != PacketRingMode::Auto) return mode == PacketRingMode::On;
    const bool ring = net::may_open_packet_ring();
    if (announce)
        KORVALITE_LOG(log::targets::gige, log::Level::Info,
                      ring ? "streams receive through the packet ring: the process holds CAP_NET_RAW"
                           : "streams receive through the socket: the process lacks CAP_NET_RAW for the packet ring");
    return ring;
}

}  // namespace korvalite::device
