#pragma once
// The bounds and increments of numeric nodes: their own Min/Max/Inc, else those of the node
// their value comes from, else what their representation allows.
#include <cstdint>
#include <utility>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"

namespace korvalite::genicam {

// Integer nodes, integer registers (from their width and sign), IntSwissKnife and IntConverter
// (the 64-bit range).
[[nodiscard]] GenicamResult<std::pair<std::int64_t, std::int64_t>> int_bounds(Genicam& graph, NodeId id, PortIo& port);
// Float nodes, float registers, SwissKnife and Converter (the double range).
[[nodiscard]] GenicamResult<std::pair<double, double>> float_bounds(Genicam& graph, NodeId id, PortIo& port);
// Every node int_bounds answers for; 1 unless an Inc says otherwise.
[[nodiscard]] GenicamResult<std::int64_t> int_increment(Genicam& graph, NodeId id, PortIo& port);

}  // namespace korvalite::genicam
