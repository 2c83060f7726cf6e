#pragma once
// Test helpers for feature graphs built from small XML texts.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>

#include "korvalite/genicam/xml.hpp"

namespace korvalite::test_support {

// The graph of a description wrapped in a root element; fails the test on a build error.
inline genicam::Genicam build_graph(std::string_view body) {
    auto graph = genicam::parse_description("<RegisterDescription>" + std::string(body) + "</RegisterDescription>");
    EXPECT_TRUE(graph.has_value()) << graph.error().message();
    return graph ? std::move(*graph) : genicam::Genicam{};
}

// The node named `name`, which must be of kind K.
template <class K>
const K& node_as(const genicam::Genicam& graph, std::string_view name) {
    static const K missing{};
    auto id = graph.lookup(name);
    EXPECT_TRUE(id.has_value()) << "no node " << name;
    if (!id) return missing;
    const K* node = std::get_if<K>(&graph[*id].node);
    EXPECT_NE(node, nullptr) << name << " has another kind";
    return node ? *node : missing;
}

// The id of the node named `name`; fails the test when there is none.
inline genicam::NodeId id_of(const genicam::Genicam& graph, std::string_view name) {
    auto id = graph.lookup(name);
    EXPECT_TRUE(id.has_value()) << "no node " << name;
    return id ? *id : 0;
}

// The message of a failed result, or a marker text when it succeeded.
template <class T>
std::string error_of(const GenicamResult<T>& result) {
    return result ? std::string("<success>") : result.error().message();
}

inline genicam::ValueRef link_to(genicam::NodeId id) { return genicam::Link::to(id); }
inline genicam::ValueRef link_named(std::string name) { return genicam::Link::named(std::move(name)); }

}  // namespace korvalite::test_support
