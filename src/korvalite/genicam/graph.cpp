#include "korvalite/genicam/graph.hpp"

#include <algorithm>

namespace korvalite::genicam {

GenicamResult<NodeId> Genicam::lookup(std::string_view name) const {
    auto it = by_name.find(name);
    if (it == by_name.end()) return std::unexpected(GenicamError::feature_not_found(std::string(name)));
    return it->second;
}

GenicamResult<void> Genicam::enter(NodeId id) {
    if (stack.size() >= kMaxEvaluationDepth) {
        const std::string& feature = nodes[stack.front()].name;
        stack.clear();
        return std::unexpected(GenicamError::too_deep(
            feature, "more than " + std::to_string(kMaxEvaluationDepth) + " nodes deep at '" + nodes[id].name + "'"));
    }
    if (std::find(stack.begin(), stack.end(), id) != stack.end()) {
        stack.clear();
        return std::unexpected(GenicamError::circular_reference(nodes[id].name));
    }
    stack.push_back(id);
    return {};
}

void Genicam::leave() {
    if (!stack.empty()) stack.pop_back();
}

std::vector<std::string> Genicam::node_names() const {
    std::vector<std::string> names;
    names.reserve(nodes.size());
    for (const auto& n : nodes) names.push_back(n.name);
    return names;
}

const NodeInfo& Genicam::info_of(NodeId id) const {
    static const NodeInfo kNone;
    return id < info.size() ? info[id] : kNone;
}

}  // namespace korvalite::genicam
