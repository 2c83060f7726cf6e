#pragma once
// Writing node values: a write travels along a node's `value` reference until it replaces an
// inline constant or reaches a register, whose bytes are encoded and sent to the device.
// Converters on the way transform the value with their FormulaTo. Writes check node kinds and
// access modes, never bounds, increments or enumeration validity.
//
// The `*_inner` writes expect their caller to have entered the node; every node a write is
// passed on to is entered and left around it.
#include <cstdint>
#include <string_view>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"
#include "korvalite/genicam/value.hpp"

namespace korvalite::genicam {

[[nodiscard]] GenicamResult<void> set_int_value_inner(Genicam& graph, NodeId id, std::int64_t value, PortIo& port);
[[nodiscard]] GenicamResult<void> set_float_value_inner(Genicam& graph, NodeId id, double value, PortIo& port);
// Enter `id`, write, leave: the integer and float writes of a feature.
[[nodiscard]] GenicamResult<void> set_int_value(Genicam& graph, NodeId id, std::int64_t value, PortIo& port);
[[nodiscard]] GenicamResult<void> set_float_value(Genicam& graph, NodeId id, double value, PortIo& port);

[[nodiscard]] GenicamResult<void> set_bool_value(Genicam& graph, NodeId id, bool value, PortIo& port);
// Enter `id`, then write a String's text (or what it links to), an enumeration entry by name,
// or a string register's bytes.
[[nodiscard]] GenicamResult<void> set_string_value(Genicam& graph, NodeId id, std::string_view value, PortIo& port);
// As set_string_value, for a node its caller has entered.
[[nodiscard]] GenicamResult<void> set_string_value_inner(Genicam& graph, NodeId id, std::string_view value, PortIo& port);
// Selects the entry of that exact name: the Enumeration is entered and written its value.
[[nodiscard]] GenicamResult<void> set_enum_entry(Genicam& graph, NodeId id, std::string_view entry, PortIo& port);
[[nodiscard]] GenicamResult<void> set_enum_entry_inner(Genicam& graph, NodeId id, std::string_view entry, PortIo& port);
// Writes a Command's command value (1 without one) through its `value`.
[[nodiscard]] GenicamResult<void> execute(Genicam& graph, NodeId id, PortIo& port);

// Writes `value` through `ref`, the `value` reference of node `id`: replaces an integer
// constant, or passes the write on to the linked node.
[[nodiscard]] GenicamResult<void> set_ref_int(Genicam& graph, NodeId id, ValueRef& ref, std::int64_t value, PortIo& port);
// Writes a converter's result to the node its `value` links to: as a float to float-valued
// nodes, else rounded to an integer.
[[nodiscard]] GenicamResult<void> set_ref_value(Genicam& graph, NodeId id, const ValueRef& ref, Value value, PortIo& port);

}  // namespace korvalite::genicam
