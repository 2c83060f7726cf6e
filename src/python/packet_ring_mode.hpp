#pragma once
// The `packet_ring=` argument of Camera and its capture methods: True (the ring), False (the
// socket) or "auto" (the ring when the process may open one); None on a capture method means
// the camera's own setting.
#include <optional>
#include <string>
#include <variant>

#include "device_record.hpp"
#include "korvalite/device/receive_path.hpp"

namespace korvalite::py {

using PacketRingArg = std::variant<bool, std::string>;

// Raises ValueError for a string other than "auto".
device::PacketRingMode packet_ring_mode(const PacketRingArg& value);
PacketRingArg packet_ring_arg(device::PacketRingMode mode);

// Whether a stream of this camera uses the ring: `argument`, else the camera's setting. The
// first automatic choice of each camera is announced (one INFO event of korvalite.gige).
bool stream_packet_ring(DeviceRecord& record, const std::optional<PacketRingArg>& argument);

}  // namespace korvalite::py
