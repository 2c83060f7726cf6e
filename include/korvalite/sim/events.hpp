#pragma once
// EVENT and EVENTDATA commands the simulated camera sends on its message channel.
#include <cstdint>
#include <optional>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::sim {

struct DeviceEvent {
    std::uint16_t event_id = 0;
    gige::proto::ByteVec data;  // sent as EVENTDATA when `with_data`, else ignored
    bool with_data = false;
    std::uint16_t stream_channel = 0xFFFF;  // 0xFFFF: not tied to a stream channel
    std::uint16_t block_id = 0;
    std::optional<std::uint64_t> timestamp;  // absent: the device's tick counter now
    bool ack_required = true;
    std::optional<net::Endpoint> destination;  // absent: the message channel, else the controller
};

// The largest EVENTDATA data that fits one packet beside the 16-byte event record.
inline constexpr std::size_t kMaxEventData = 524;

// The command: header, one 16-byte event record (reserved, event id, stream channel, block id,
// 64-bit timestamp), then the data for EVENTDATA.
gige::proto::ByteVec encode_event(const DeviceEvent& event, std::uint16_t request_id, std::uint64_t timestamp);

}  // namespace korvalite::sim
