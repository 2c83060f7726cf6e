#include "korvalite/genicam/node_access.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/registers.hpp"

namespace korvalite::genicam {

namespace {

// Whether the node is a register of a chunk port whose chunk the frame being read (if any) does
// not carry, of an event port whose event has not arrived, or of another port outside the
// device: there is nothing to read there.
bool outside_device(const Genicam& graph, NodeId id, const PortIo& io) {
    const auto* reg = std::get_if<Register>(&graph[id].node);
    if (!reg) return false;
    const auto* link = std::get_if<Link>(&reg->common.port);
    if (!link || !link->id()) return false;
    const auto* port = std::get_if<Port>(&graph[*link->id()].node);
    if (!port || port->device) return false;
    if (port->chunk_id) return !register_chunk(graph, id);
    if (port->event_id) return !io.has_event(*port->event_id);
    return true;
}

// NI or NA when the node's own conditions say so, else nothing.
GenicamResult<std::optional<AccessMode>> unusable(Genicam& graph, NodeId id, PortIo& port) {
    const NodeConditions& conditions = graph[id].conditions;
    auto implemented = condition_value(graph, conditions.implemented, port);
    if (!implemented) return std::unexpected(std::move(implemented.error()));
    if (*implemented && **implemented == 0) return AccessMode::NI;
    auto available = condition_value(graph, conditions.available, port);
    if (!available) return std::unexpected(std::move(available.error()));
    if ((*available && **available == 0) || outside_device(graph, id, port)) return AccessMode::NA;
    return std::nullopt;
}

// One step of the walk: the next node of the value chain, or the mode the chain ends in.
using Step = std::variant<NodeId, AccessMode>;

Step along(const ValueRef& ref, AccessMode constant, AccessMode absent) {
    if (auto* link = std::get_if<Link>(&ref); link && link->id()) return *link->id();
    if (std::holds_alternative<Absent>(ref) || std::holds_alternative<Link>(ref)) return absent;
    return constant;
}

GenicamResult<Step> next_step(Genicam& graph, NodeId id, PortIo& port) {
    const Node& node = graph[id].node;
    if (auto* reg = std::get_if<Register>(&node)) return Step{reg->common.access};
    if (auto* n = std::get_if<Command>(&node)) return along(n->value, AccessMode::WO, AccessMode::WO);
    if (auto* n = std::get_if<Converter>(&node)) return along(n->value, AccessMode::RW, AccessMode::RO);
    if (auto* n = std::get_if<String>(&node)) return along(n->value, AccessMode::RW, AccessMode::RO);
    if (std::holds_alternative<Port>(node)) return Step{AccessMode::RW};
    auto ref = value_ref(graph, id, port);
    if (!ref) return std::unexpected(std::move(ref.error()));
    if (*ref) return along(**ref, AccessMode::RW, AccessMode::RO);
    return Step{AccessMode::RO};
}

AccessMode locked(AccessMode mode) {
    if (mode == AccessMode::RW) return AccessMode::RO;
    if (mode == AccessMode::WO) return AccessMode::NA;
    return mode;
}

}  // namespace

GenicamResult<std::optional<std::int64_t>> condition_value(Genicam& graph, const std::optional<Link>& link,
                                                           PortIo& port) {
    if (!link || !link->id()) return std::nullopt;
    const NodeId target = *link->id();
    auto value = with_entered(graph, target, [&] { return int_value_inner(graph, target, port); });
    if (!value) return std::unexpected(std::move(value.error()));
    return std::optional<std::int64_t>(*value);
}

GenicamResult<bool> entry_usable(Genicam& graph, const EntryInfo& entry, PortIo& port) {
    for (const auto* condition : {&entry.conditions.implemented, &entry.conditions.available}) {
        auto value = condition_value(graph, *condition, port);
        if (!value) return std::unexpected(std::move(value.error()));
        if (*value && **value == 0) return false;
    }
    return true;
}

GenicamResult<std::vector<EnumEntry>> available_entries(Genicam& graph, NodeId id, PortIo& port) {
    const auto& entries = std::get<Enumeration>(graph[id].node).entries;
    const auto& infos = graph.info_of(id).entries;
    std::vector<EnumEntry> out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i < infos.size()) {
            auto usable = entry_usable(graph, infos[i], port);
            if (!usable) return std::unexpected(std::move(usable.error()));
            if (!*usable) continue;
        }
        out.push_back(entries[i]);
    }
    return out;
}

AccessMode capped(AccessMode mode, AccessMode imposed) {
    if (mode == AccessMode::NI || mode == AccessMode::NA) return mode;
    if (imposed == AccessMode::NI || imposed == AccessMode::NA) return imposed;
    if (imposed == AccessMode::RW || imposed == mode) return mode;
    if (mode == AccessMode::RW) return imposed;
    return AccessMode::NA;
}

GenicamResult<void> check_available(Genicam& graph, NodeId id, PortIo& port) {
    const NodeConditions& conditions = graph[id].conditions;
    if (!conditions.implemented && !conditions.available && !outside_device(graph, id, port)) return {};
    auto mode = unusable(graph, id, port);
    if (!mode) return std::unexpected(std::move(mode.error()));
    if (*mode) return std::unexpected(GenicamError::not_available(graph[id].name));
    return {};
}

GenicamResult<AccessMode> access_mode(Genicam& graph, NodeId id, PortIo& port) {
    std::vector<NodeId> walked;  // at most kMaxEvaluationDepth long, so the search stays cheap
    std::vector<AccessMode> caps;
    bool is_locked = false;
    NodeId at = id;
    for (;;) {
        if (std::find(walked.begin(), walked.end(), at) != walked.end())
            return std::unexpected(GenicamError::circular_reference(graph[at].name));
        if (walked.size() == kMaxEvaluationDepth)
            return std::unexpected(GenicamError::too_deep(
                graph[id].name, "more than " + std::to_string(kMaxEvaluationDepth) + " nodes deep at '" +
                                    graph[at].name + "'"));
        walked.push_back(at);
        auto not_usable = unusable(graph, at, port);
        if (!not_usable) return std::unexpected(std::move(not_usable.error()));
        if (*not_usable) return **not_usable;
        const NodeConditions& conditions = graph[at].conditions;
        if (conditions.imposed) caps.push_back(*conditions.imposed);
        if (!is_locked) {
            auto lock = condition_value(graph, conditions.locked, port);
            if (!lock) return std::unexpected(std::move(lock.error()));
            is_locked = *lock && **lock != 0;
        }
        auto step = next_step(graph, at, port);
        if (!step) return std::unexpected(std::move(step.error()));
        if (auto* next = std::get_if<NodeId>(&*step)) {
            at = *next;
            continue;
        }
        AccessMode mode = std::get<AccessMode>(*step);
        if (is_locked) mode = locked(mode);
        for (AccessMode cap : caps) mode = capped(mode, cap);
        return mode;
    }
}

}  // namespace korvalite::genicam
