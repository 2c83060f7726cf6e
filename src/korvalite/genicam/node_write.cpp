#include "korvalite/genicam/node_write.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/registers.hpp"

namespace korvalite::genicam {

namespace {

std::unexpected<GenicamError> unsupported(const Genicam& graph, NodeId id) {
    return std::unexpected(unsupported_access(graph, id));
}

std::unexpected<GenicamError> not_accessible(const Genicam& graph, NodeId id) {
    return std::unexpected(GenicamError::not_accessible(graph[id].name));
}

std::unexpected<GenicamError> dangling(const Link& link) {
    return std::unexpected(GenicamError::dangling_reference(*link.name()));
}

// Writes the encoded bytes; a codec message becomes Formula naming the register.
GenicamResult<void> write_encoded(Genicam& graph, NodeId id, CodecResult<Bytes> bytes, PortIo& port) {
    if (!bytes) return std::unexpected(GenicamError::formula(graph[id].name, std::move(bytes.error())));
    return register_write(graph, id, *bytes, port);
}

// A whole integer register takes the value's low bytes; a bit field is merged into the
// register's current bytes (from the cache when it holds them).
GenicamResult<void> write_int_register(Genicam& graph, NodeId id, const register_kind::Int& kind, std::int64_t value,
                                       PortIo& port) {
    auto length = register_length(graph, id, port);
    if (!length) return std::unexpected(std::move(length.error()));
    const auto bits = static_cast<std::uint64_t>(value);
    if (!kind.lsb && !kind.msb) return write_encoded(graph, id, encode_int(bits, *length, kind.big_endian), port);
    auto current = register_read(graph, id, port);
    if (!current) return std::unexpected(std::move(current.error()));
    return write_encoded(graph, id, insert_int(*current, bits, kind.big_endian, kind.lsb, kind.msb), port);
}

GenicamResult<void> write_float_register(Genicam& graph, NodeId id, bool big_endian, double value, PortIo& port) {
    auto length = register_length(graph, id, port);
    if (!length) return std::unexpected(std::move(length.error()));
    return write_encoded(graph, id, encode_float(value, *length, big_endian), port);
}

GenicamResult<void> write_string_register(Genicam& graph, NodeId id, std::string_view text, PortIo& port) {
    auto length = register_length(graph, id, port);
    if (!length) return std::unexpected(std::move(length.error()));
    return register_write(graph, id, encode_string(text, static_cast<std::size_t>(*length)), port);
}

// FormulaTo with FROM bound to the value written, then the result to the converter's target.
GenicamResult<void> write_through_converter(Genicam& graph, NodeId id, Value from, PortIo& port) {
    auto& converter = std::get<Converter>(graph[id].node);
    auto result = eval_formula(graph, id, converter.formula_to, converter.variables, Binding{"FROM", from}, port);
    if (!result) return std::unexpected(std::move(result.error()));
    return set_ref_value(graph, id, converter.value, *result, port);
}

}  // namespace

GenicamResult<void> set_ref_int(Genicam& graph, NodeId id, ValueRef& ref, std::int64_t value, PortIo& port) {
    if (std::holds_alternative<std::int64_t>(ref)) {
        ref = value;
        return {};
    }
    if (auto* link = std::get_if<Link>(&ref)) {
        const NodeId* target = link->id();
        if (!target) return dangling(*link);
        const NodeId t = *target;
        return with_entered(graph, t, [&] { return set_int_value_inner(graph, t, value, port); });
    }
    return not_accessible(graph, id);
}

GenicamResult<void> set_ref_value(Genicam& graph, NodeId id, const ValueRef& ref, Value value, PortIo& port) {
    const auto* link = std::get_if<Link>(&ref);
    if (!link) return not_accessible(graph, id);
    const NodeId* target = link->id();
    if (!target) return dangling(*link);
    const NodeId t = *target;
    if (is_float_valued(graph, t))
        return with_entered(graph, t, [&] { return set_float_value_inner(graph, t, value.to_float(), port); });
    return with_entered(graph, t, [&] { return set_int_value_inner(graph, t, value.to_int(), port); });
}

GenicamResult<void> set_int_value_inner(Genicam& graph, NodeId id, std::int64_t value, PortIo& port) {
    Node& node = graph[id].node;
    const bool takes = std::holds_alternative<Integer>(node) || std::holds_alternative<Boolean>(node) ||
                       std::holds_alternative<Enumeration>(node) || std::holds_alternative<Command>(node) ||
                       register_as<register_kind::Int>(node) || std::holds_alternative<Converter>(node);
    if (!takes) return unsupported(graph, id);
    if (auto available = check_available(graph, id, port); !available) return available;
    if (std::holds_alternative<Integer>(node) || std::holds_alternative<Boolean>(node) ||
        std::holds_alternative<Enumeration>(node)) {
        auto ref = value_ref(graph, id, port);
        if (!ref) return std::unexpected(std::move(ref.error()));
        return set_ref_int(graph, id, **ref, value, port);
    }
    if (auto* n = std::get_if<Command>(&node)) return set_ref_int(graph, id, n->value, value, port);
    if (auto* kind = register_as<register_kind::Int>(node)) {
        const register_kind::Int int_kind = *kind;
        return write_int_register(graph, id, int_kind, value, port);
    }
    if (std::holds_alternative<Converter>(node)) return write_through_converter(graph, id, Value::from_int(value), port);
    return unsupported(graph, id);
}

GenicamResult<void> set_float_value_inner(Genicam& graph, NodeId id, double value, PortIo& port) {
    Node& node = graph[id].node;
    if (std::holds_alternative<Integer>(node)) return set_int_value_inner(graph, id, float_to_int(value), port);
    const bool takes = std::holds_alternative<Float>(node) || register_as<register_kind::Float>(node) ||
                       register_as<register_kind::Int>(node) || std::holds_alternative<Converter>(node);
    if (!takes) return unsupported(graph, id);
    if (auto available = check_available(graph, id, port); !available) return available;
    if (std::holds_alternative<Float>(node)) {
        auto selected = value_ref(graph, id, port);
        if (!selected) return std::unexpected(std::move(selected.error()));
        ValueRef& ref = **selected;
        // A Float's constant may have been written as an integer (a hexadecimal Value): a write
        // replaces it all the same, as its RW access mode promises.
        if (std::holds_alternative<double>(ref) || std::holds_alternative<std::int64_t>(ref)) {
            ref = value;
            return {};
        }
        if (auto* link = std::get_if<Link>(&ref)) {
            const NodeId* target = link->id();
            if (!target) return dangling(*link);
            const NodeId t = *target;
            return with_entered(graph, t, [&] { return set_float_value_inner(graph, t, value, port); });
        }
        return not_accessible(graph, id);
    }
    if (auto* kind = register_as<register_kind::Float>(node)) {
        const bool big_endian = kind->big_endian;
        return write_float_register(graph, id, big_endian, value, port);
    }
    if (auto* kind = register_as<register_kind::Int>(node)) {
        const register_kind::Int int_kind = *kind;
        return write_int_register(graph, id, int_kind, float_to_int(value), port);
    }
    if (std::holds_alternative<Converter>(node))
        return write_through_converter(graph, id, Value::from_float(value), port);
    return unsupported(graph, id);
}

GenicamResult<void> set_int_value(Genicam& graph, NodeId id, std::int64_t value, PortIo& port) {
    return with_entered(graph, id, [&] { return set_int_value_inner(graph, id, value, port); });
}

GenicamResult<void> set_float_value(Genicam& graph, NodeId id, double value, PortIo& port) {
    return with_entered(graph, id, [&] { return set_float_value_inner(graph, id, value, port); });
}

GenicamResult<void> set_bool_value(Genicam& graph, NodeId id, bool value, PortIo& port) {
    std::int64_t written = value ? 1 : 0;
    if (const auto* n = std::get_if<Boolean>(&graph[id].node)) written = value ? n->on_value : n->off_value;
    return set_int_value(graph, id, written, port);
}

GenicamResult<void> set_string_value(Genicam& graph, NodeId id, std::string_view value, PortIo& port) {
    return with_entered(graph, id, [&] { return set_string_value_inner(graph, id, value, port); });
}

GenicamResult<void> set_string_value_inner(Genicam& graph, NodeId id, std::string_view value, PortIo& port) {
    Node& node = graph[id].node;
    const bool takes = std::holds_alternative<String>(node) || std::holds_alternative<Enumeration>(node) ||
                       register_as<register_kind::String>(node);
    if (!takes) return unsupported(graph, id);
    if (auto available = check_available(graph, id, port); !available) return available;
    if (auto* n = std::get_if<String>(&node)) {
        if (auto* text = std::get_if<std::string>(&n->value)) {
            *text = std::string(value);
            return {};
        }
        if (auto* link = std::get_if<Link>(&n->value)) {
            const NodeId* target = link->id();
            if (!target) return dangling(*link);
            const NodeId t = *target;
            return with_entered(graph, t, [&] { return set_string_value_inner(graph, t, value, port); });
        }
        return not_accessible(graph, id);
    }
    if (std::holds_alternative<Enumeration>(node)) return set_enum_entry_inner(graph, id, value, port);
    if (register_as<register_kind::String>(node)) return write_string_register(graph, id, value, port);
    return unsupported(graph, id);
}

GenicamResult<void> set_enum_entry(Genicam& graph, NodeId id, std::string_view entry, PortIo& port) {
    if (!std::holds_alternative<Enumeration>(graph[id].node)) return unsupported(graph, id);
    return with_entered(graph, id, [&] { return set_enum_entry_inner(graph, id, entry, port); });
}

GenicamResult<void> set_enum_entry_inner(Genicam& graph, NodeId id, std::string_view entry, PortIo& port) {
    const auto* n = std::get_if<Enumeration>(&graph[id].node);
    if (!n) return unsupported(graph, id);
    auto found = std::find_if(n->entries.begin(), n->entries.end(), [&](const EnumEntry& e) { return e.name == entry; });
    if (found == n->entries.end()) {
        // The refusal is the error; when availability cannot be read now, every entry is named.
        auto available = available_entries(graph, id, port);
        std::vector<std::string> names;
        for (const EnumEntry& e : available ? *available : n->entries) names.push_back(e.name);
        return std::unexpected(GenicamError::no_enum_entry(graph[id].name, std::string(entry), std::move(names)));
    }
    return set_int_value_inner(graph, id, found->value, port);
}

GenicamResult<void> execute(Genicam& graph, NodeId id, PortIo& port) {
    if (!std::holds_alternative<Command>(graph[id].node)) return unsupported(graph, id);
    if (auto available = check_available(graph, id, port); !available) return available;
    auto* command = std::get_if<Command>(&graph[id].node);
    std::int64_t command_value = 1;
    if (!std::holds_alternative<Absent>(command->command_value)) {
        auto evaluated = ref_int(graph, command->command_value, port);
        if (!evaluated) return std::unexpected(std::move(evaluated.error()));
        command_value = *evaluated;
    }
    return set_ref_int(graph, id, command->value, command_value, port);
}

}  // namespace korvalite::genicam
