#pragma once
// Writes as a feature's user asks for them: before anything reaches the device, the write is
// checked against what the description states (access mode, bounds, increment, finite floats,
// string room, enumeration entries), and a refusal names the feature, the value and the rule:
// "Gain = 30.0 is out of range [0.0, 24.0]". A device that refuses the write anyway is reported
// the same way, with the device's status. The description's own bounds are binding even where
// a device would take more: an unchecked value would be input the device handles unsafely.
#include <cstdint>
#include <string>
#include <string_view>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"

namespace korvalite::genicam {

[[nodiscard]] GenicamResult<void> checked_set_int(Genicam& graph, NodeId id, std::int64_t value, PortIo& port);
[[nodiscard]] GenicamResult<void> checked_set_float(Genicam& graph, NodeId id, double value, PortIo& port);
[[nodiscard]] GenicamResult<void> checked_set_bool(Genicam& graph, NodeId id, bool value, PortIo& port);
// Strings, string registers, and enumerations by entry name.
[[nodiscard]] GenicamResult<void> checked_set_string(Genicam& graph, NodeId id, std::string_view value, PortIo& port);
[[nodiscard]] GenicamResult<void> checked_set_enum(Genicam& graph, NodeId id, std::string_view entry, PortIo& port);


// How values appear in refusals: floats as Python writes them, the shortest text that reads
// back exactly ("30.0", "0.01", "10000000.0", "1e+300", "nan"), texts in single quotes with control characters
// escaped ('a\x00b').
std::string float_text(double value);
std::string quoted_text(std::string_view value);

}  // namespace korvalite::genicam
