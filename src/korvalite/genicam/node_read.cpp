#include "korvalite/genicam/node_read.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/evaluator.hpp"
#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/registers.hpp"
#include "korvalite/try.hpp"

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
    return std::unexpected(unsupported_access(graph, id));
}

std::unexpected<GenicamError> dangling(const Link& link) {
    return std::unexpected(GenicamError::dangling_reference(*link.name()));
}

std::unexpected<GenicamError> codec_failure(const Genicam& graph, NodeId id, std::string message) {
    return std::unexpected(GenicamError::formula(graph[id].name, std::move(message)));
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

// The arithmetic, constants and sub-formulas of a formula node.
struct FormulaScope {
    Arithmetic arithmetic = Arithmetic::Integer;
    const std::vector<NamedConstant>* constants = nullptr;
    std::vector<NamedExpression>* expressions = nullptr;
};

FormulaScope scope_of(Node& node) {
    auto make = [](auto& n) {
        return FormulaScope{n.integer ? Arithmetic::Integer : Arithmetic::Floating, &n.constants, &n.expressions};
    };
    if (auto* n = std::get_if<SwissKnife>(&node)) return make(*n);
    if (auto* n = std::get_if<Converter>(&node)) return make(*n);
    return {};
}

// Sub-formulas may use each other; this bounds how deeply, so that one using itself ends.
constexpr int kMaxExpressionNesting = 16;

GenicamResult<Value> run_formula(Genicam& graph, NodeId id, FormulaSlot& slot, const std::vector<Variable>& variables,
                                 std::optional<Binding> extra, PortIo& port, int nesting);

// The value a formula name stands for: the caller's binding, a constant, a sub-formula, a
// variable, or the node of that name.
GenicamResult<Value> named_value(Genicam& graph, NodeId id, const std::vector<Variable>& variables,
                                 std::optional<Binding> extra, const std::string& name, PortIo& port, int nesting) {
    if (extra && extra->name == name) return extra->value;
    const FormulaScope scope = scope_of(graph[id].node);
    if (scope.constants) {
        for (const NamedConstant& c : *scope.constants) {
            if (c.name != name) continue;
            if (auto* v = std::get_if<double>(&c.value)) return Value::from_float(*v);
            return Value::from_int(std::get<std::int64_t>(c.value));
        }
        for (NamedExpression& e : *scope.expressions) {
            if (e.name != name) continue;
            if (nesting >= kMaxExpressionNesting)
                return std::unexpected(
                    GenicamError::formula(graph[id].name, "expressions nested too deeply at '" + name + "'"));
            return run_formula(graph, id, e.formula, variables, extra, port, nesting + 1);
        }
    }
    auto target = variable_node(graph, id, variables, name);
    if (!target) return std::unexpected(std::move(target.error()));
    return variable_value(graph, *target, port);
}

GenicamResult<Value> run_formula(Genicam& graph, NodeId id, FormulaSlot& slot, const std::vector<Variable>& variables,
                                 std::optional<Binding> extra, PortIo& port, int nesting) {
    std::shared_ptr<const Expr> expr = slot.compiled;
    if (!expr) {
        auto parsed = parse(slot.source);
        if (!parsed) return std::unexpected(GenicamError::formula(graph[id].name, std::move(parsed.error())));
        expr = std::make_shared<const Expr>(std::move(*parsed));
    }
    std::vector<Value> values;
    values.reserve(expr->names.size());
    for (const std::string& name : expr->names) {
        auto value = named_value(graph, id, variables, extra, name, port, nesting);
        if (!value) return std::unexpected(std::move(value.error()));
        values.push_back(*value);
    }
    auto result = eval(*expr, values, scope_of(graph[id].node).arithmetic);
    if (!result) return std::unexpected(GenicamError::formula(graph[id].name, std::move(result.error())));
    if (result->is_float() && !std::isfinite(result->float_value()))
        return std::unexpected(GenicamError::formula(graph[id].name, "result is not finite"));
    if (!slot.compiled) slot.compiled = std::move(expr);
    return *result;
}

// The value of an integer register.
GenicamResult<std::int64_t> int_register_value(Genicam& graph, NodeId id, PortIo& port) {
    const register_kind::Int kind = *register_as<register_kind::Int>(graph[id].node);
    auto bytes = register_read(graph, id, port);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    auto value = decode_int(*bytes, kind);
    if (!value) return codec_failure(graph, id, std::move(value.error()));
    return *value;
}

// The value of a float register, or the float of an integer register.
GenicamResult<double> float_register_value(Genicam& graph, NodeId id, PortIo& port) {
    const Node& node = graph[id].node;
    if (auto* kind = register_as<register_kind::Float>(node)) {
        const bool big_endian = kind->big_endian;
        auto bytes = register_read(graph, id, port);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto value = decode_float(*bytes, big_endian);
        if (!value) return codec_failure(graph, id, std::move(value.error()));
        return *value;
    }
    return mapped(int_register_value(graph, id, port), int_to_float);
}

bool is_number_register(const Node& node) {
    return register_as<register_kind::Int>(node) || register_as<register_kind::Float>(node);
}

bool is_formula(const Node& node) {
    return std::holds_alternative<Converter>(node) || std::holds_alternative<SwissKnife>(node);
}

}  // namespace

GenicamResult<ValueRef*> value_ref(Genicam& graph, NodeId id, PortIo& port) {
    auto select = [&](auto& n) -> GenicamResult<ValueRef*> {
        if (std::holds_alternative<Absent>(n.index)) return &n.value;
        auto index = ref_int(graph, n.index, port);
        if (!index) return std::unexpected(std::move(index.error()));
        for (IndexedValue& entry : n.indexed)
            if (entry.index == *index) return &entry.value;
        return &n.value;
    };
    Node& node = graph[id].node;
    if (auto* n = std::get_if<Integer>(&node)) return select(*n);
    if (auto* n = std::get_if<Float>(&node)) return select(*n);
    if (auto* n = std::get_if<Boolean>(&node)) return select(*n);
    if (auto* n = std::get_if<Enumeration>(&node)) return select(*n);
    return nullptr;
}

bool is_float_valued(const Genicam& graph, NodeId id) {
    const Node& node = graph[id].node;
    if (auto* n = std::get_if<SwissKnife>(&node)) return !n->integer;
    if (auto* n = std::get_if<Converter>(&node)) return !n->integer;
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
    const bool answers = std::holds_alternative<Integer>(node) || std::holds_alternative<Boolean>(node) ||
                         std::holds_alternative<Enumeration>(node) || std::holds_alternative<Float>(node) ||
                         register_as<register_kind::Int>(node) || is_formula(node);
    if (!answers) return unsupported(graph, id);
    KORVALITE_TRY(check_available(graph, id, port));
    if (std::holds_alternative<Integer>(node) || std::holds_alternative<Boolean>(node) ||
        std::holds_alternative<Enumeration>(node)) {
        auto ref = value_ref(graph, id, port);
        if (!ref) return std::unexpected(std::move(ref.error()));
        return ref_int(graph, **ref, port);
    }
    if (std::holds_alternative<Float>(node)) {
        auto ref = value_ref(graph, id, port);
        if (!ref) return std::unexpected(std::move(ref.error()));
        return mapped(ref_float(graph, **ref, port), float_to_int);
    }
    if (register_as<register_kind::Int>(node)) return int_register_value(graph, id, port);
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
    const bool answers = std::holds_alternative<Integer>(node) || std::holds_alternative<Float>(node) ||
                         is_number_register(node) || is_formula(node);
    if (!answers) return unsupported(graph, id);
    KORVALITE_TRY(check_available(graph, id, port));
    if (std::holds_alternative<Integer>(node) || std::holds_alternative<Float>(node)) {
        auto ref = value_ref(graph, id, port);
        if (!ref) return std::unexpected(std::move(ref.error()));
        if (std::holds_alternative<Integer>(node)) return mapped(ref_int(graph, **ref, port), int_to_float);
        return ref_float(graph, **ref, port);
    }
    if (is_number_register(node)) return float_register_value(graph, id, port);
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
    if (!std::holds_alternative<Boolean>(graph[id].node))
        return mapped(int_value(graph, id, port), [](std::int64_t v) { return v != 0; });
    return with_entered(graph, id, [&]() -> GenicamResult<bool> {
        auto value = int_value_inner(graph, id, port);
        if (!value) return std::unexpected(std::move(value.error()));
        const auto& n = std::get<Boolean>(graph[id].node);
        if (*value == n.on_value) return true;
        if (*value == n.off_value) return false;
        return std::unexpected(GenicamError::invalid_value(
            graph[id].name, "value " + std::to_string(*value) + " is neither OnValue " + std::to_string(n.on_value) +
                                " nor OffValue " + std::to_string(n.off_value)));
    });
}

GenicamResult<std::string> string_value(Genicam& graph, NodeId id, PortIo& port) {
    return with_entered(graph, id, [&] { return string_value_inner(graph, id, port); });
}

GenicamResult<std::string> string_value_inner(Genicam& graph, NodeId id, PortIo& port) {
    Node& node = graph[id].node;
    const bool answers = std::holds_alternative<String>(node) || std::holds_alternative<Enumeration>(node) ||
                         register_as<register_kind::String>(node);
    if (!answers) return unsupported(graph, id);
    KORVALITE_TRY(check_available(graph, id, port));
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
    return run_formula(graph, id, slot, variables, extra, port, 0);
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

}  // namespace korvalite::genicam
