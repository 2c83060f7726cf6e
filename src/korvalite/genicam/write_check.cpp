#include "korvalite/genicam/write_check.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"

namespace korvalite::genicam {

namespace {

// What a check answers: nothing when the write may go on, else the refusal.
using Check = GenicamResult<void>;

std::unexpected<GenicamError> refuse(const Genicam& graph, NodeId id, const std::string& value, std::string rule) {
    return std::unexpected(GenicamError::refused(graph[id].name, value, std::move(rule)));
}

// Whether the node's own pIsLocked reads non-zero now.
GenicamResult<bool> locked_now(Genicam& graph, NodeId id, PortIo& port) {
    auto lock = condition_value(graph, graph[id].conditions.locked, port);
    if (!lock) return std::unexpected(std::move(lock.error()));
    return *lock && **lock != 0;
}

Check check_writable(Genicam& graph, NodeId id, const std::string& value, PortIo& port) {
    auto mode = access_mode(graph, id, port);
    if (!mode) return std::unexpected(std::move(mode.error()));
    switch (*mode) {
        case AccessMode::RW:
        case AccessMode::WO: return {};
        case AccessMode::NI: return refuse(graph, id, value, "is refused: the feature is not implemented");
        case AccessMode::NA: return refuse(graph, id, value, "is refused: the feature is not available now");
        case AccessMode::RO: break;
    }
    auto locked = locked_now(graph, id, port);
    if (!locked) return std::unexpected(std::move(locked.error()));
    return refuse(graph, id, value,
                  *locked ? "is refused: the feature is locked" : "is refused: the feature is read-only");
}

bool has_int_rules(const Node& node) {
    if (auto* n = std::get_if<Converter>(&node)) return n->integer;
    if (auto* n = std::get_if<SwissKnife>(&node)) return n->integer;
    return std::holds_alternative<Integer>(node) || register_as<register_kind::Int>(node);
}

bool has_float_rules(const Node& node) {
    if (auto* n = std::get_if<Converter>(&node)) return !n->integer;
    if (auto* n = std::get_if<SwissKnife>(&node)) return !n->integer;
    return std::holds_alternative<Float>(node) || register_as<register_kind::Float>(node);
}

// The valid values either side of an off-grid `value`: min + k * inc, within the bounds.
std::string nearest_on_grid(std::int64_t value, std::int64_t min, std::int64_t max, std::int64_t inc) {
    const __int128 steps = (static_cast<__int128>(value) - min) / inc;
    const __int128 below = min + (value < min ? steps - 1 : steps) * static_cast<__int128>(inc);
    const __int128 above = below + inc;
    std::vector<std::string> valid;
    if (below >= min && below <= max) valid.push_back(std::to_string(static_cast<std::int64_t>(below)));
    if (above >= min && above <= max) valid.push_back(std::to_string(static_cast<std::int64_t>(above)));
    if (valid.empty()) return "no valid value lies near";
    if (valid.size() == 1) return "the nearest valid value is " + valid[0];
    return "the nearest valid values are " + valid[0] + " and " + valid[1];
}

Check check_int_rules(Genicam& graph, NodeId id, std::int64_t value, const std::string& text, PortIo& port) {
    auto bounds = int_bounds(graph, id, port);
    if (!bounds) return std::unexpected(std::move(bounds.error()));
    const auto [min, max] = *bounds;
    if (value < min || value > max)
        return refuse(graph, id, text, "is out of range [" + std::to_string(min) + ", " + std::to_string(max) + "]");
    auto inc = int_increment(graph, id, port);
    if (!inc) return std::unexpected(std::move(inc.error()));
    if (*inc > 1 && (static_cast<__int128>(value) - min) % *inc != 0)
        return refuse(graph, id, text,
                      "is not a multiple of the increment " + std::to_string(*inc) + " above the minimum " +
                          std::to_string(min) + "; " + nearest_on_grid(value, min, max, *inc));
    return {};
}

Check check_float_rules(Genicam& graph, NodeId id, double value, const std::string& text, PortIo& port) {
    auto bounds = float_bounds(graph, id, port);
    if (!bounds) return std::unexpected(std::move(bounds.error()));
    const auto [min, max] = *bounds;
    if (value < min || value > max)
        return refuse(graph, id, text, "is out of range [" + float_text(min) + ", " + float_text(max) + "]");
    return {};
}

// The entries available now, for a refused entry write: by name, or with their values for a
// write by value ("Off (0)").
GenicamResult<std::string> entries_hint(Genicam& graph, NodeId id, bool with_values, PortIo& port) {
    // The refusal is the error; when availability cannot be read now, every entry is named.
    auto available = available_entries(graph, id, port);
    const auto& entries = available ? *available : std::get<Enumeration>(graph[id].node).entries;
    std::vector<std::string> names;
    for (const EnumEntry& entry : entries)
        names.push_back(with_values ? entry.name + " (" + std::to_string(entry.value) + ")" : entry.name);
    return available_entries_text(names);
}

// The entry of that name (or, without a name, of that value) must exist and be usable.
Check check_entry(Genicam& graph, NodeId id, std::optional<std::string_view> name, std::int64_t value,
                  const std::string& text, PortIo& port) {
    const auto& entries = std::get<Enumeration>(graph[id].node).entries;
    auto found = std::find_if(entries.begin(), entries.end(), [&](const EnumEntry& e) {
        return name ? e.name == *name : e.value == value;
    });
    if (found == entries.end()) {
        auto hint = entries_hint(graph, id, !name, port);
        if (!hint) return std::unexpected(std::move(hint.error()));
        return refuse(graph, id, text,
                      (name ? "is not an entry of the enumeration; " : "is the value of no entry; ") + *hint);
    }
    const auto& info = graph.info_of(id).entries;
    const auto index = static_cast<std::size_t>(found - entries.begin());
    if (index >= info.size()) return {};
    auto usable = entry_usable(graph, info[index], port);
    if (!usable) return std::unexpected(std::move(usable.error()));
    if (*usable) return {};
    auto hint = entries_hint(graph, id, !name, port);
    if (!hint) return std::unexpected(std::move(hint.error()));
    return refuse(graph, id, text, "is refused: the entry '" + found->name + "' is not available now; " + *hint);
}

Check check_int(Genicam& graph, NodeId id, std::int64_t value, const std::string& text, PortIo& port) {
    const Node& node = graph[id].node;
    if (std::holds_alternative<Enumeration>(node)) return check_entry(graph, id, std::nullopt, value, text, port);
    if (auto* n = std::get_if<Boolean>(&node); n && value != n->on_value && value != n->off_value)
        return refuse(graph, id, text,
                      "is neither the on value " + std::to_string(n->on_value) + " nor the off value " +
                          std::to_string(n->off_value));
    if (has_int_rules(node)) return check_int_rules(graph, id, value, text, port);
    return {};
}

// The bytes a string write has room for: the length of the string register at the end of its
// value chain; nothing for a String holding its own text.
GenicamResult<std::optional<std::int64_t>> string_room(Genicam& graph, NodeId id, PortIo& port) {
    NodeId at = id;
    for (std::size_t depth = 0; depth < kMaxEvaluationDepth; ++depth) {
        if (register_as<register_kind::String>(graph[at].node)) {
            auto length = with_entered(graph, at, [&] { return register_length(graph, at, port); });
            if (!length) return std::unexpected(std::move(length.error()));
            return std::optional<std::int64_t>(*length);
        }
        const auto* text = std::get_if<String>(&graph[at].node);
        const auto* link = text ? std::get_if<Link>(&text->value) : nullptr;
        if (!link || !link->id()) return std::nullopt;
        at = *link->id();
    }
    return std::nullopt;
}

Check check_string(Genicam& graph, NodeId id, std::string_view value, const std::string& text, PortIo& port) {
    if (value.find('\0') != std::string_view::npos)
        return refuse(graph, id, text, "contains a NUL character, which ends a device string");
    auto room = string_room(graph, id, port);
    if (!room) return std::unexpected(std::move(room.error()));
    if (*room && static_cast<std::int64_t>(value.size()) > **room)
        return refuse(graph, id, text,
                      "is " + std::to_string(value.size()) + " bytes long, more than the register's " +
                          std::to_string(**room));
    return {};
}

// Runs the checks, then the write; a device status answering the write becomes DeviceRefused.
template <class Checks, class Write>
GenicamResult<void> checked(Genicam& graph, NodeId id, const std::string& text, PortIo& port, Checks&& checks,
                            Write&& write) {
    if (auto writable = check_writable(graph, id, text, port); !writable) return writable;
    if (auto valid = checks(); !valid) return valid;
    auto written = write();
    if (written || written.error().kind() != GenicamError::Kind::Transport) return written;
    const auto& transport = written.error().transport_error();
    if (!transport || transport->kind() != CameraError::Kind::Status) return written;
    return std::unexpected(GenicamError::device_refused(graph[id].name, text, *transport));
}

}  // namespace

std::string float_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc{}) return {};
    // The shortest digits that read back exactly, as "-d.ddde+XX".
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    const int exponent = std::stoi(std::string(text.substr(e + 1)));
    if (exponent < -4 || exponent >= 16) return std::string(text);
    const bool negative = text.front() == '-';
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0)))
        if (c != '.') digits += c;
    std::string out = negative ? "-" : "";
    if (exponent < 0) return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) return out + digits + std::string(whole - digits.size(), '0') + ".0";
    return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

std::string quoted_text(std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "'";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\'' || c == '\\') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out + "'";
}

GenicamResult<void> checked_set_int(Genicam& graph, NodeId id, std::int64_t value, PortIo& port) {
    const std::string text = std::to_string(value);
    return checked(
        graph, id, text, port, [&] { return check_int(graph, id, value, text, port); },
        [&] { return set_int_value(graph, id, value, port); });
}

GenicamResult<void> checked_set_float(Genicam& graph, NodeId id, double value, PortIo& port) {
    const std::string text = float_text(value);
    auto checks = [&]() -> Check {
        if (!std::isfinite(value)) return refuse(graph, id, text, "is not a finite number");
        const Node& node = graph[id].node;
        if (has_float_rules(node)) return check_float_rules(graph, id, value, text, port);
        if (has_int_rules(node)) return check_int(graph, id, float_to_int(value), text, port);
        return {};
    };
    return checked(graph, id, text, port, checks, [&] { return set_float_value(graph, id, value, port); });
}

GenicamResult<void> checked_set_bool(Genicam& graph, NodeId id, bool value, PortIo& port) {
    const std::string text = value ? "True" : "False";
    auto checks = [&]() -> Check {
        if (std::holds_alternative<Boolean>(graph[id].node)) return {};
        return check_int(graph, id, value ? 1 : 0, text, port);
    };
    return checked(graph, id, text, port, checks, [&] { return set_bool_value(graph, id, value, port); });
}

GenicamResult<void> checked_set_string(Genicam& graph, NodeId id, std::string_view value, PortIo& port) {
    if (std::holds_alternative<Enumeration>(graph[id].node)) return checked_set_enum(graph, id, value, port);
    const std::string text = quoted_text(value);
    return checked(
        graph, id, text, port, [&] { return check_string(graph, id, value, text, port); },
        [&] { return set_string_value(graph, id, value, port); });
}

GenicamResult<void> checked_set_enum(Genicam& graph, NodeId id, std::string_view entry, PortIo& port) {
    if (!std::holds_alternative<Enumeration>(graph[id].node))
        return std::unexpected(unsupported_access(graph, id));
    const std::string text(entry);
    return checked(
        graph, id, text, port, [&] { return check_entry(graph, id, entry, 0, text, port); },
        [&] { return set_enum_entry(graph, id, entry, port); });
}

}  // namespace korvalite::genicam
