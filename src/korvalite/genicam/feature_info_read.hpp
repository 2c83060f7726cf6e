#pragma once
// Gathering a FeatureInfo from the node graph.
#include "korvalite/error.hpp"
#include "korvalite/genicam/feature_info.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"

namespace korvalite::genicam {

FeatureKind feature_kind(const Node& node);

// UnsupportedAccess for node `id`, naming its feature kind.
GenicamError unsupported_access(const Genicam& graph, NodeId id);

// Reads the access mode and, for a usable feature, its bounds or entries' availability.
[[nodiscard]] GenicamResult<FeatureInfo> feature_info(Genicam& graph, NodeId id, PortIo& port);

}  // namespace korvalite::genicam
