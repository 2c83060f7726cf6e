#include "korvalite/sim/events.hpp"

#include <array>

#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::sim {

gige::proto::ByteVec encode_event(const DeviceEvent& event, std::uint16_t request_id, std::uint64_t timestamp) {
    namespace gp = gige::proto;
    gp::ByteVec payload(16 + (event.with_data ? event.data.size() : 0));
    gp::put_u16(payload, 0, 0);
    gp::put_u16(payload, 2, event.event_id);
    gp::put_u16(payload, 4, event.stream_channel);
    gp::put_u16(payload, 6, event.block_id);
    gp::put_u64(payload, 8, timestamp);
    if (event.with_data) std::copy(event.data.begin(), event.data.end(), payload.begin() + 16);
    const std::uint8_t flags = event.ack_required ? gp::kFlagAckRequired : 0;
    return gp::encode_command(flags, event.with_data ? gp::code::kEventDataCmd : gp::code::kEventCmd, request_id,
                              payload);
}

}  // namespace korvalite::sim
