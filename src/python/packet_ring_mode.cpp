#include "packet_ring_mode.hpp"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace korvalite::py {

device::PacketRingMode packet_ring_mode(const PacketRingArg& value) {
    if (const bool* on = std::get_if<bool>(&value)) return *on ? device::PacketRingMode::On : device::PacketRingMode::Off;
    if (std::get<std::string>(value) != "auto") throw nb::value_error("packet_ring must be True, False or 'auto'");
    return device::PacketRingMode::Auto;
}

PacketRingArg packet_ring_arg(device::PacketRingMode mode) {
    if (mode == device::PacketRingMode::Auto) return std::string("auto");
    return mode == device::PacketRingMode::On;
}

bool stream_packet_ring(DeviceRecord& record, const std::optional<PacketRingArg>& argument) {
    const device::PacketRingMode mode = argument ? packet_ring_mode(*argument) : record.packet_ring.load();
    const bool announce = mode == device::PacketRingMode::Auto && !record.packet_ring_announced.exchange(true);
    return device::use_packet_ring(mode, announce);
}

}  // namespace korvalite::py
