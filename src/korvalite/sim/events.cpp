#include "korvalite/sim/events.hpp"

#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::sim {

gige::proto::ByteVec encode_event(const DeviceEvent& event, std::uint16_t request_id, std::uint64_t timestamp) {
    std::optional<gige::proto::ByteView> data;
    if (event.with_data) data = gige::proto::ByteView(event.data);
    return gige::proto::encode_event_command(event.ack_required, request_id, event.event_id, event.stream_channel,
                                             event.block_id, timestamp, data);
}

}  // namespace korvalite::sim
