#include "korvalite/genicam/event_names.hpp"

#include <variant>

#include "korvalite/genicam/graph.hpp"

namespace korvalite::genicam {

std::string event_name_of_port(std::string_view port_name) {
    std::string_view name = port_name;
    if (name.size() > 4 && name.ends_with("Port")) name.remove_suffix(4);
    if (name.size() > 5 && name.starts_with("Event")) name.remove_prefix(5);
    else if (name.size() > 5 && name.ends_with("Event")) name.remove_suffix(5);
    return std::string(name);
}

EventNames event_names(const Genicam& model) {
    EventNames names;
    for (const NodeData& data : model.nodes) {
        const auto* port = std::get_if<Port>(&data.node);
        if (port && port->event_id) names.try_emplace(*port->event_id, event_name_of_port(data.name));
    }
    return names;
}

}  // namespace korvalite::genicam
