#include "korvalite/genicam/node_bounds.hpp"

#include <limits>
#include <optional>
#include <string>

#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/registers.hpp"

namespace korvalite::genicam {

namespace {

using IntLimits = std::numeric_limits<std::int64_t>;
using IntPair = std::pair<std::int64_t, std::int64_t>;
using FloatPair = std::pair<double, double>;
constexpr double kLargest = std::numeric_limits<double>::max();

std::unexpected<GenicamError> unsupported(const Genicam& graph, NodeId id) {
    return std::unexpected(unsupported_access(graph, id));
}

bool is_integer_formula(const Node& node) {
    if (auto* n = std::get_if<SwissKnife>(&node)) return n->integer;
    if (auto* n = std::get_if<Converter>(&node)) return n->integer;
    return false;
}

bool is_float_formula(const Node& node) {
    if (auto* n = std::get_if<SwissKnife>(&node)) return !n->integer;
    if (auto* n = std::get_if<Converter>(&node)) return !n->integer;
    return false;
}

bool has_int_bounds(const Node& node) {
    return std::holds_alternative<Integer>(node) || register_as<register_kind::Int>(node) || is_integer_formula(node);
}

bool has_float_bounds(const Node& node) {
    return std::holds_alternative<Float>(node) || register_as<register_kind::Float>(node) || is_float_formula(node);
}

// The node the value of an Integer or Float comes from, when its value is a link.
GenicamResult<std::optional<NodeId>> value_node(Genicam& graph, NodeId id, PortIo& port) {
    auto ref = value_ref(graph, id, port);
    if (!ref) return std::unexpected(std::move(ref.error()));
    if (!*ref) return std::nullopt;
    const auto* link = std::get_if<Link>(*ref);
    if (!link || !link->id()) return std::nullopt;
    return std::optional<NodeId>(*link->id());
}

// The range of an integer register's bit field: unsigned from 0, signed around 0; a field of
// all 64 bits unsigned stops at the largest signed value, the largest the model represents.
GenicamResult<IntPair> register_bounds(Genicam& graph, NodeId id, PortIo& port) {
    const register_kind::Int kind = *register_as<register_kind::Int>(graph[id].node);
    auto length = register_length(graph, id, port);
    if (!length) return std::unexpected(std::move(length.error()));
    if (*length < 1 || *length > 8)
        return std::unexpected(
            GenicamError::formula(graph[id].name, "unsupported integer register length " + std::to_string(*length)));
    auto range = bit_range(static_cast<std::size_t>(*length), kind.lsb, kind.msb, kind.big_endian);
    if (!range) return std::unexpected(GenicamError::formula(graph[id].name, std::move(range.error())));
    const std::uint32_t width = range->hi - range->lo + 1;
    if (width >= 64) return IntPair{kind.is_unsigned ? 0 : IntLimits::min(), IntLimits::max()};
    if (kind.is_unsigned) return IntPair{0, static_cast<std::int64_t>((std::uint64_t{1} << width) - 1)};
    const std::int64_t half = std::int64_t{1} << (width - 1);
    return IntPair{-half, half - 1};
}

// A bound of the node's own, or nothing when it has none.
template <class T, class Read>
GenicamResult<std::optional<T>> own(const ValueRef& ref, Read&& read) {
    if (std::holds_alternative<Absent>(ref)) return std::nullopt;
    auto value = read(ref);
    if (!value) return std::unexpected(std::move(value.error()));
    return std::optional<T>(*value);
}

GenicamResult<IntPair> integer_bounds(Genicam& graph, NodeId id, PortIo& port) {
    auto read = [&](const ValueRef& ref) { return ref_int(graph, ref, port); };
    auto min = own<std::int64_t>(std::get<Integer>(graph[id].node).min, read);
    if (!min) return std::unexpected(std::move(min.error()));
    auto max = own<std::int64_t>(std::get<Integer>(graph[id].node).max, read);
    if (!max) return std::unexpected(std::move(max.error()));
    IntPair inherited{IntLimits::min(), IntLimits::max()};
    if (!*min || !*max) {
        auto from = value_node(graph, id, port);
        if (!from) return std::unexpected(std::move(from.error()));
        if (*from && has_int_bounds(graph[**from].node)) {
            const NodeId target = **from;
            auto bounds = with_entered(graph, target, [&] { return int_bounds(graph, target, port); });
            if (!bounds) return bounds;
            inherited = *bounds;
        }
    }
    return IntPair{min->value_or(inherited.first), max->value_or(inherited.second)};
}

GenicamResult<FloatPair> float_node_bounds(Genicam& graph, NodeId id, PortIo& port) {
    auto read = [&](const ValueRef& ref) { return ref_float(graph, ref, port); };
    auto min = own<double>(std::get<Float>(graph[id].node).min, read);
    if (!min) return std::unexpected(std::move(min.error()));
    auto max = own<double>(std::get<Float>(graph[id].node).max, read);
    if (!max) return std::unexpected(std::move(max.error()));
    FloatPair inherited{-kLargest, kLargest};
    if (!*min || !*max) {
        auto from = value_node(graph, id, port);
        if (!from) return std::unexpected(std::move(from.error()));
        if (*from) {
            const NodeId target = **from;
            const Node& node = graph[target].node;
            if (has_float_bounds(node)) {
                auto bounds = with_entered(graph, target, [&] { return float_bounds(graph, target, port); });
                if (!bounds) return bounds;
                inherited = *bounds;
            } else if (has_int_bounds(node)) {
                auto bounds = with_entered(graph, target, [&] { return int_bounds(graph, target, port); });
                if (!bounds) return std::unexpected(std::move(bounds.error()));
                inherited = {int_to_float(bounds->first), int_to_float(bounds->second)};
            }
        }
    }
    return FloatPair{min->value_or(inherited.first), max->value_or(inherited.second)};
}

}  // namespace

GenicamResult<IntPair> int_bounds(Genicam& graph, NodeId id, PortIo& port) {
    const Node& node = graph[id].node;
    if (std::holds_alternative<Integer>(node)) return integer_bounds(graph, id, port);
    if (register_as<register_kind::Int>(node)) return register_bounds(graph, id, port);
    if (is_integer_formula(node)) return IntPair{IntLimits::min(), IntLimits::max()};
    return unsupported(graph, id);
}

GenicamResult<FloatPair> float_bounds(Genicam& graph, NodeId id, PortIo& port) {
    const Node& node = graph[id].node;
    if (std::holds_alternative<Float>(node)) return float_node_bounds(graph, id, port);
    if (has_float_bounds(node)) return FloatPair{-kLargest, kLargest};
    return unsupported(graph, id);
}

GenicamResult<std::int64_t> int_increment(Genicam& graph, NodeId id, PortIo& port) {
    const Node& node = graph[id].node;
    if (!has_int_bounds(node)) return unsupported(graph, id);
    const auto* n = std::get_if<Integer>(&node);
    if (!n) return 1;
    if (!std::holds_alternative<Absent>(n->inc)) return ref_int(graph, n->inc, port);
    auto from = value_node(graph, id, port);
    if (!from) return std::unexpected(std::move(from.error()));
    if (!*from || !has_int_bounds(graph[**from].node)) return 1;
    const NodeId target = **from;
    return with_entered(graph, target, [&] { return int_increment(graph, target, port); });
}

}  // namespace korvalite::genicam
