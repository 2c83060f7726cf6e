#include "korvalite/sim/events.hpp"

#include <array>

#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::sim {

gige::proto::ByteVec encode_event(const EventSpec& spec, std::uint16_t request_id, std::uint64_t timestamp) {
    namespace gp = gige::proto;
    gp::ByteVec payload(16 + (spec.with_data ? spec.data.size() : 0));
    gp::put_u16(payload, 0, 0);
    gp::put_u16(payload, 2, spec.event_id);
    gp::put_u16(payload, 4, spec.stream_channel);
    gp::put_u16(payload, 6, spec.block_id);
    gp::put_u64(payload, 8, timestamp);
    if (spec.with_data) std::copy(spec.data.begin(), spec.data.end(), payload.begin() + 16);
    const std::uint8_t flags = spec.ack_required ? gp::kFlagAckRequired : 0;
    return gp::encode_command(flags, spec.with_data ? gp::code::kEventDataCmd : gp::code::kEventCmd, request_id,
                              payload);
}

}  // namespace korvalite::sim
