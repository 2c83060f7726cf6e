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
    virtual CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) = 0;
    // Stores all of `data` at `address`.
    virtual CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) = 0;
};

}  // namespace korvalite::genicam
