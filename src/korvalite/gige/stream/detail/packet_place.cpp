#include "korvalite/gige/stream/detail/packet_place.hpp"

namespace korvalite::gige::stream {

bool landed_in_place(proto::ByteView head, std::size_t data_size, std::size_t overflow, const PacketPlace& place) {
    if (head.size() != place.header_size() || overflow != 0 || data_size == 0) return false;
    const auto packet = proto::decode_gvsp(head);
    return packet && !packet->is_error() && packet->format == proto::packet_format::kPayload &&
           packet->extended == place.extended && packet->block_id == place.block_id &&
           packet->packet_id == place.packet_id;
}

}  // namespace korvalite::gige::stream
