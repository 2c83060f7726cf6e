#pragma once
// How a feature may be used right now.
#include <cstdint>

namespace korvalite::genicam {

// NA: the node exists but cannot be used now; NI: the node does not exist on this device.
enum class AccessMode : std::uint8_t { RO = 0, WO = 1, RW = 2, NA = 3, NI = 4 };

}  // namespace korvalite::genicam
