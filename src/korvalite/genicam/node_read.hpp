#pragma once
// Reading node values: what every node kind answers when asked for an integer, a float, a
// boolean, a string, its bounds, increment, entries or access mode.
//
// Evaluation follows references through the graph. Every node evaluated on behalf of a
// reference is entered on the graph's evaluation stack first and left afterwards, successfully
// or not, so a node reached again during its own evaluation is reported as a cycle. The
// `*_inner` reads expect their caller to have entered the node.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_bounds.hpp"
#include "korvalite/genicam/port.hpp"
#include "korvalite/genicam/value.hpp"

namespace korvalite::genicam {

// Runs `fn()` with `id` on the evaluation stack. A cycle is reported without running it.
template <class Fn>
auto with_entered(Genicam& graph, NodeId id, Fn&& fn) -> decltype(fn()) {
    if (auto entered = graph.enter(id); !entered) return std::unexpected(std::move(entered.error()));
    auto result = fn();
    graph.leave();
    return result;
}

// A value bound to a formula variable by the caller ("TO" for converter reads, "FROM" for
// converter writes); it wins over the node's own variables and the name index.
struct Binding {
    std::string_view name;
    Value value;
};

// The value reference an Integer, Float, Boolean or Enumeration reads and writes through: for
// a selector-indexed node the entry of the index node's current value, else its `value`.
// Null for the other kinds.
[[nodiscard]] GenicamResult<ValueRef*> value_ref(Genicam& graph, NodeId id, PortIo& port);

// True for nodes whose natural value is a float: Float nodes, float registers, SwissKnife and
// Converter (but not their Int forms).
bool is_float_valued(const Genicam& graph, NodeId id);

[[nodiscard]] GenicamResult<std::int64_t> ref_int(Genicam& graph, const ValueRef& ref, PortIo& port);
[[nodiscard]] GenicamResult<double> ref_float(Genicam& graph, const ValueRef& ref, PortIo& port);

[[nodiscard]] GenicamResult<std::int64_t> int_value_inner(Genicam& graph, NodeId id, PortIo& port);
[[nodiscard]] GenicamResult<double> float_value_inner(Genicam& graph, NodeId id, PortIo& port);
// Enter `id`, read, leave: the integer and float reads of a feature.
[[nodiscard]] GenicamResult<std::int64_t> int_value(Genicam& graph, NodeId id, PortIo& port);
[[nodiscard]] GenicamResult<double> float_value(Genicam& graph, NodeId id, PortIo& port);

[[nodiscard]] GenicamResult<bool> bool_value(Genicam& graph, NodeId id, PortIo& port);
// Enter `id`, then the text of a String (or of what it links to), the current entry of an
// Enumeration, or a string register's text.
[[nodiscard]] GenicamResult<std::string> string_value(Genicam& graph, NodeId id, PortIo& port);
// As string_value, for a node its caller has entered.
[[nodiscard]] GenicamResult<std::string> string_value_inner(Genicam& graph, NodeId id, PortIo& port);

[[nodiscard]] GenicamResult<std::vector<std::string>> enum_entries(const Genicam& graph, NodeId id);

// Evaluates one formula of node `id`. Each variable is the extra binding, else the node's
// variable of that name, else the node of that name; nodes are read as floats when they are
// float-valued, else as integers. The compiled formula is kept in `slot` once an evaluation
// succeeds; failures leave the slot as it was.
[[nodiscard]] GenicamResult<Value> eval_formula(Genicam& graph, NodeId id, FormulaSlot& slot, const std::vector<Variable>& variables,
                                  std::optional<Binding> extra, PortIo& port);
// The value of a Converter: its FormulaFrom with TO bound to the value it converts.
[[nodiscard]] GenicamResult<Value> eval_converter(Genicam& graph, NodeId id, PortIo& port);

}  // namespace korvalite::genicam
