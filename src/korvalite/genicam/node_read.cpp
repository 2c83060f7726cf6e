#include "korvalite/genicam/node_read.hpp"

#include <algorithm>
#include <limits>
#include <memory>

#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/evaluator.hpp"
#include "korvalite/genicam/registers.hpp"

namespace korvalite::genicam {

namespace {

// The value of a successful result passed through `fn`; a failure as it is.
template <class T, class Fn>
auto mapped(GenicamResult<T> result, Fn&& fn) -> GenicamResult<std::invoke_result_t<Fn, T>> {
    if (!result) return std::unexpected(std::move(result.error()));
    return fn(std::move(*result));
}

// The name errors use for a reference that cannot give the value asked for.
constexpr const char* kValueReference = "<value reference>";

std::unexpected<GenicamError> unsupported(const Genicam& graph, NodeId id) {
    return std::unexpected(GenicamError::unsupported_access(graph[id].name));
}

std::unexpected<GenicamError> dangling(const Link& link) {
    return std::unexpected(GenicamError::dangling_reference(*link.name()));
}

std::unexpected<GenicamError> codec_failure(const Genicam& graph, NodeId id, std::string message) {
    return std::unexpected(GenicamError::formula(graph[id].name, std::move(message)));
}

// The `value` reference of the kinds that have a plain one.
const ValueRef* plain_value(const Node& node) {
    if (auto* n = std::get_if<Integer>(&node)) return &n->value;
    if (auto* n = std::get_if<Float>(&node)) return &n->value;
    if (auto* n = std::get_if<Boolean>(&node)) return &n->value;
    if (auto* n = std::get_if<Enumeration>(&node)) return &n->value;
    return nullptr;
}

// A node's value as a formula sees it: entered, then read as a float when it is float-valued,
// else as an integer.
GenicamResult<Value> variable_value(Genicam& graph, NodeId id, PortIo& port) {
    return with_entered(graph, id, [&]() -> GenicamResult<Value> {
        if (is_float_valued(graph, id)) return mapped(float_value_inner(graph, id, port), Value::from_float);
        return mapped(int_value_inner(graph, id, port), Value::from_int);
    });
}

// The node a formula variable stands for: the node's own variable of that name, else the node
// of that name in the graph.
GenicamResult<NodeId> variable_node(const Genicam& graph, NodeId id, const std::vector<Variable>& variables,
                                    const std::string& name) {
    auto own = std::find_if(variables.begin(), variables.end(), [&](const Variable& v) { return v.name == name; });
    if (own != variables.end()) {
        if (const NodeId* target = own->link.id()) return *target;
        return dangling(own->link);
    }
    if (auto found = graph.by_name.find(name); found != graph.by_name.end()) return found->second;
    return std::unexpected(GenicamError::formula(graph[id].name, "unbound variable '" + name + "'"));
}

}  // namespace

bool is_float_valued(const Genicam& graph, NodeId id) {
    const Node& node = graph[id].node;
    return std::holds_alternative<Float>(node) || register_as<register_kind::Float>(node) != nullptr;
}

GenicamResult<std::int64_t> ref_int(Genicam& graph, const ValueRef& ref, PortIo& port) {
    if (auto* v = std::get_if<std::int64_t>(&ref)) return *v;
    if (auto* v = std::get_if<double>(&ref)) return float_to_int(*v);
    if (auto* link = std::get_if<Link>(&ref)) {
        const NodeId* target = link->id();
        if (!target) return dangling(*link);
        const NodeId id = *target;
        return with_entered(graph, id, [&] { return int_value_inner(graph, id, port); });
    }
    return std::unexpected(GenicamError::unsupported_access(kValueReference));
}

GenicamResult<double> ref_float(Genicam& graph, const ValueRef& ref, PortIo& port) {
    if (auto* v = std::get_if<std::int64_t>(&ref)) return int_to_float(*v);
    if (auto* v = std::get_if<double>(&ref)) return *v;
    if (auto* link = std::get_if<Link>(&ref)) {
        const NodeId* target = link->id();
        if (!target) return dangling(*link);
        const NodeId id = *target;
        return with_entered(graph, id, [&] { return float_value_inner(graph, id, port); });
    }
    return std::unexpected(GenicamError::unsupported_access(kValueReference));
}

GenicamResult<std::int64_t> int_value_inner(Genicam& graph, NodeId id, PortIo& port) {
    Node& node = graph[id].node;
    if (std::holds_alternative<Integer>(node) || std::holds_alternative<Boolean>(node) ||
        std::holds_alternative<Enumeration>(node))
        return ref_int(graph, *plain_value(node), port);
    if (auto* n = std::get_if<Float>(&node)) return mapped(ref_float(graph, n->value, port), float_to_int);
    if (auto* kind = register_as<register_kind::Int>(node)) {
        const register_kind::Int int_kind = *kind;
        auto bytes = register_read(graph, id, port);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto value = decode_int(*bytes, int_kind);
        if (!value) return codec_failure(graph, id, std::move(value.error()));
        return *value;
    }
    if (std::holds_alternative<Converter>(node))
        return mapped(eval_converter(graph, id, port), [](Value v) { return v.to_int(); });
    if (auto* n = std::get_if<SwissKnife>(&node))
        return mapped(eval_formula(graph, id, n->formula, n->variables, std::nullopt, port), [](Value v) {
            return v.to_int();
        });
    return unsupported(graph, id);
}

GenicamResult<double> float_value_inner(Genicam& graph, NodeId id, PortIo& port) {
    Node& node = graph[id].node;
    if (auto* n = std::get_if<Integer>(&node)) return mapped(ref_int(graph, n->value, port), int_to_float);
    if (auto* n = std::get_if<Float>(&node)) return ref_float(graph, n->value, port);
    if (auto* kind = register_as<register_kind::Float>(node)) {
        const bool big_endian = kind->big_endian;
        auto bytes = register_read(graph, id, port);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto value = decode_float(*bytes, big_endian);
        if (!value) return codec_failure(graph, id, std::move(value.error()));
        return *value;
    }
    if (std::holds_alternative<Converter>(node))
        return mapped(eval_converter(graph, id, port), [](Value v) { return v.to_float(); });
    if (auto* n = std::get_if<SwissKnife>(&node))
        return mapped(eval_formula(graph, id, n->formula, n->variables, std::nullopt, port), [](Value v) {
            return v.to_float();
        });
    return unsupported(graph, id);
}

GenicamResult<std::int64_t> int_value(Genicam& graph, NodeId id, PortIo& port) {
    return with_entered(graph, id, [&] { return int_value_inner(graph, id, port); });
}

GenicamResult<double> float_value(Genicam& graph, NodeId id, PortIo& port) {
    return with_entered(graph, id, [&] { return float_value_inner(graph, id, port); });
}

GenicamResult<bool> bool_value(Genicam& graph, NodeId id, PortIo& port) {
    if (auto* n = std::get_if<Boolean>(&graph[id].node)) {
        const std::int64_t on_value = n->on_value;
        return mapped(ref_int(graph, n->value, port), [&](std::int64_t v) { return v == on_value; });
    }
    return mapped(int_value(graph, id, port), [](std::int64_t v) { return v != 0; });
}

GenicamResult<std::string> string_value(Genicam& graph, NodeId id, PortIo& port) {
    if (std::holds_alternative<Enumeration>(graph[id].node))
        return with_entered(graph, id, [&] { return string_value_inner(graph, id, port); });
    return string_value_inner(graph, id, port);
}

GenicamResult<std::string> string_value_inner(Genicam& graph, NodeId id, PortIo& port) {
    Node& node = graph[id].node;
    if (auto* n = std::get_if<String>(&node)) {
        if (auto* text = std::get_if<std::string>(&n->value)) return *text;
        if (auto* link = std::get_if<Link>(&n->value)) {
            const NodeId* target = link->id();
            if (!target) return dangling(*link);
            const NodeId t = *target;
            return with_entered(graph, t, [&] { return string_value_inner(graph, t, port); });
        }
        return unsupported(graph, id);
    }
    if (auto* n = std::get_if<Enumeration>(&node)) {
        auto value = int_value_inner(graph, id, port);
        if (!value) return std::unexpected(std::move(value.error()));
        for (const EnumEntry& entry : n->entries)
            if (entry.value == *value) return entry.name;
        return std::unexpected(GenicamError::no_enum_entry(graph[id].name, "value " + std::to_string(*value)));
    }
    if (register_as<register_kind::String>(node)) return mapped(register_read(graph, id, port), decode_string);
    return unsupported(graph, id);
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> int_bounds(Genicam& graph, NodeId id, PortIo& port) {
    using Limits = std::numeric_limits<std::int64_t>;
    const Node& node = graph[id].node;
    if (register_as<register_kind::Int>(node)) return std::pair{Limits::min(), Limits::max()};
    const auto* n = std::get_if<Integer>(&node);
    if (!n) return unsupported(graph, id);
    auto bound = [&](const ValueRef& ref, std::int64_t fallback) -> GenicamResult<std::int64_t> {
        if (std::holds_alternative<Absent>(ref)) return fallback;
        return ref_int(graph, ref, port);
    };
    auto min = bound(n->min, Limits::min());
    if (!min) return std::unexpected(std::move(min.error()));
    auto max = bound(n->max, Limits::max());
    if (!max) return std::unexpected(std::move(max.error()));
    return std::pair{*min, *max};
}

GenicamResult<std::pair<double, double>> float_bounds(Genicam& graph, NodeId id, PortIo& port) {
    const auto* n = std::get_if<Float>(&graph[id].node);
    if (!n) return unsupported(graph, id);
    constexpr double kLargest = std::numeric_limits<double>::max();
    auto bound = [&](const ValueRef& ref, double fallback) -> GenicamResult<double> {
        if (std::holds_alternative<Absent>(ref)) return fallback;
        return ref_float(graph, ref, port);
    };
    auto min = bound(n->min, -kLargest);
    if (!min) return std::unexpected(std::move(min.error()));
    auto max = bound(n->max, kLargest);
    if (!max) return std::unexpected(std::move(max.error()));
    return std::pair{*min, *max};
}

GenicamResult<std::int64_t> int_increment(Genicam& graph, NodeId id, PortIo& port) {
    const auto* n = std::get_if<Integer>(&graph[id].node);
    if (!n) return unsupported(graph, id);
    if (std::holds_alternative<Absent>(n->inc)) return 1;
    return ref_int(graph, n->inc, port);
}

GenicamResult<std::vector<std::string>> enum_entries(const Genicam& graph, NodeId id) {
    const auto* n = std::get_if<Enumeration>(&graph[id].node);
    if (!n) return unsupported(graph, id);
    std::vector<std::string> names;
    names.reserve(n->entries.size());
    for (const EnumEntry& entry : n->entries) names.push_back(entry.name);
    return names;
}

GenicamResult<Value> eval_formula(Genicam& graph, NodeId id, FormulaSlot& slot, const std::vector<Variable>& variables,
                                  std::optional<Binding> extra, PortIo& port) {
    std::shared_ptr<const Expr> expr = slot.compiled;
    if (!expr) {
        auto parsed = parse(slot.source);
        if (!parsed) return std::unexpected(GenicamError::formula(graph[id].name, std::move(parsed.error())));
        expr = std::make_shared<const Expr>(std::move(*parsed));
    }
    std::vector<Value> values;
    values.reserve(expr->names.size());
    for (const std::string& name : expr->names) {
        if (extra && extra->name == name) {
            values.push_back(extra->value);
            continue;
        }
        auto target = variable_node(graph, id, variables, name);
        if (!target) return std::unexpected(std::move(target.error()));
        auto value = variable_value(graph, *target, port);
        if (!value) return std::unexpected(std::move(value.error()));
        values.push_back(*value);
    }
    auto result = eval(*expr, values);
    if (!result) return std::unexpected(GenicamError::formula(graph[id].name, std::move(result.error())));
    if (!slot.compiled) slot.compiled = std::move(expr);
    return *result;
}

GenicamResult<Value> eval_converter(Genicam& graph, NodeId id, PortIo& port) {
    auto* converter = std::get_if<Converter>(&graph[id].node);
    if (!converter) return unsupported(graph, id);
    GenicamResult<Value> input;
    if (auto* link = std::get_if<Link>(&converter->value)) {
        if (!link->id()) return dangling(*link);
        input = variable_value(graph, *link->id(), port);
    } else {
        input = mapped(ref_int(graph, converter->value, port), Value::from_int);
    }
    if (!input) return input;
    return eval_formula(graph, id, converter->formula_from, converter->variables, Binding{"TO", *input}, port);
}

GenicamResult<AccessMode> access_mode(const Genicam& graph, NodeId id) {
    std::vector<NodeId> walked;
    for (NodeId at = id;;) {
        if (std::find(walked.begin(), walked.end(), at) != walked.end())
            return std::unexpected(GenicamError::circular_reference(graph[at].name));
        walked.push_back(at);
        const Node& node = graph[at].node;
        if (const ValueRef* value = plain_value(node)) {
            if (auto* link = std::get_if<Link>(value); link && link->id()) {
                at = *link->id();
                continue;
            }
            const bool constant = std::holds_alternative<std::int64_t>(*value) || std::holds_alternative<double>(*value);
            return constant ? AccessMode::RW : AccessMode::RO;
        }
        if (std::holds_alternative<Command>(node)) return AccessMode::WO;
        if (auto* reg = std::get_if<Register>(&node)) return reg->common.access;
        return AccessMode::RO;
    }
}

}  // namespace korvalite::genicam
