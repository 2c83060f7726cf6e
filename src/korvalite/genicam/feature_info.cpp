#include "korvalite/genicam/feature_info_read.hpp"

#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_bounds.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::genicam {

namespace {

FeatureKind register_kind_of(const Register& reg) {
    return std::visit(Overloaded{
                          [](const register_kind::Int&) { return FeatureKind::Integer; },
                          [](const register_kind::Float&) { return FeatureKind::Float; },
                          [](const register_kind::String&) { return FeatureKind::String; },
                          [](const register_kind::Bytes&) { return FeatureKind::Register; },
                      },
                      reg.kind);
}

GenicamResult<void> add_entries(Genicam& graph, NodeId id, FeatureInfo& out, PortIo& port) {
    const auto& entries = std::get<Enumeration>(graph[id].node).entries;
    const auto& infos = graph.info_of(id).entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EntryDescription entry{entries[i].name, entries[i].value, entries[i].name, {}, {}, true};
        if (i < infos.size()) {
            const EntryInfo& info = infos[i];
            if (!info.display_name.empty()) entry.display_name = info.display_name;
            entry.tooltip = info.tooltip;
            entry.description = info.description;
            auto usable = entry_usable(graph, info, port);
            if (!usable) return std::unexpected(std::move(usable.error()));
            entry.available = *usable;
        }
        out.entries.push_back(std::move(entry));
    }
    return {};
}

GenicamResult<void> add_bounds(Genicam& graph, NodeId id, FeatureInfo& out, PortIo& port) {
    if (out.kind == FeatureKind::Integer) {
        auto bounds = int_bounds(graph, id, port);
        if (!bounds) return std::unexpected(std::move(bounds.error()));
        auto inc = int_increment(graph, id, port);
        if (!inc) return std::unexpected(std::move(inc.error()));
        out.int_bounds = *bounds;
        out.increment = *inc;
    } else if (out.kind == FeatureKind::Float) {
        auto bounds = float_bounds(graph, id, port);
        if (!bounds) return std::unexpected(std::move(bounds.error()));
        out.float_bounds = *bounds;
    }
    return {};
}

}  // namespace

FeatureKind feature_kind(const Node& node) {
    return std::visit(Overloaded{
                          [](const Category&) { return FeatureKind::Category; },
                          [](const Integer&) { return FeatureKind::Integer; },
                          [](const Float&) { return FeatureKind::Float; },
                          [](const Boolean&) { return FeatureKind::Boolean; },
                          [](const String&) { return FeatureKind::String; },
                          [](const Enumeration&) { return FeatureKind::Enumeration; },
                          [](const Command&) { return FeatureKind::Command; },
                          [](const Register& r) { return register_kind_of(r); },
                          [](const Converter& c) { return c.integer ? FeatureKind::Integer : FeatureKind::Float; },
                          [](const SwissKnife& s) { return s.integer ? FeatureKind::Integer : FeatureKind::Float; },
                          [](const Port&) { return FeatureKind::Port; },
                      },
                      node);
}

const char* feature_kind_name(FeatureKind kind) {
    switch (kind) {
        case FeatureKind::Integer: return "integer";
        case FeatureKind::Float: return "float";
        case FeatureKind::Boolean: return "boolean";
        case FeatureKind::Enumeration: return "enumeration";
        case FeatureKind::String: return "string";
        case FeatureKind::Command: return "command";
        case FeatureKind::Category: return "category";
        case FeatureKind::Register: return "register";
        case FeatureKind::Port: return "port";
    }
    return "";
}

GenicamError unsupported_access(const Genicam& graph, NodeId id) {
    return GenicamError::unsupported_access(graph[id].name, feature_kind_name(feature_kind(graph[id].node)));
}

GenicamResult<FeatureInfo> feature_info(Genicam& graph, NodeId id, PortIo& port) {
    const NodeInfo& info = graph.info_of(id);
    FeatureInfo out;
    out.name = graph[id].name;
    out.kind = feature_kind(graph[id].node);
    out.display_name = info.display_name.empty() ? out.name : info.display_name;
    out.tooltip = info.tooltip;
    out.description = info.description;
    out.unit = info.unit;
    out.representation = info.representation;
    out.visibility = info.visibility;
    out.streamable = info.streamable;
    out.selected = info.selected;
    if (const auto& lock = graph[id].conditions.locked)
        out.locked_by = lock->id() ? graph[*lock->id()].name : *lock->name();
    auto mode = access_mode(graph, id, port);
    if (!mode) return std::unexpected(std::move(mode.error()));
    out.access_mode = *mode;
    if (out.kind == FeatureKind::Enumeration)
        if (auto added = add_entries(graph, id, out, port); !added) return std::unexpected(std::move(added.error()));
    if (out.is_available() && out.access_mode != AccessMode::WO)
        if (auto added = add_bounds(graph, id, out, port); !added) return std::unexpected(std::move(added.error()));
    return out;
}

}  // namespace korvalite::genicam
