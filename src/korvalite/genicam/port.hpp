#pragma once
// The device port as the feature model sees it: the one seam between the node graph and the
// transport. The control port implements it; tests use an in-memory one.
#include <cstddef>
#include <cstdint>
#include <span>

#include "korvalite/error.hpp"

namespace korvalite::genicam {

class PortIo {
public:
    virtual ~PortIo() = default;
    // Fills the whole buffer with the device's bytes starting at `address`, in wire order.
    [[nodiscard]] virtual CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) = 0;
    // Stores all of `data` at `address`.
    [[nodiscard]] virtual CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) = 0;

    // Event ports: fills the buffer from `address` of the newest payload (event record, then
    // data) of event `event_id`. A port without events has none to read.
    [[nodiscard]] virtual CameraResult<void> read_event(std::uint16_t event_id, std::uint64_t address, std::span<std::byte> buffer) {
        (void)event_id, (void)address, (void)buffer;
        return std::unexpected(CameraError::unsupported("event data on this port"));
    }
    // Whether an event `event_id` has arrived, so that its event port can be read.
    virtual bool has_event(std::uint16_t event_id) const {
        (void)event_id;
        return false;
    }
};

}  // namespace korvalite::genicam
