#pragma once
// The feature graph of one camera: an arena of nodes addressed by dense ids, a name index, the
// invalidation index, and the evaluation stack that catches reference cycles.
//
// The graph has no locking: its owner reaches it only under the camera's mutex, and evaluation
// changes it (stack, register caches, compiled formulas, inline constants), so even reads need
// exclusive access.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/genicam/name_index.hpp"
#include "korvalite/genicam/node.hpp"
#include "korvalite/genicam/node_info.hpp"

namespace korvalite::genicam {

// Key: a node that, when written, invalidates others. Value: the nodes whose caches it drops,
// in the order recorded (duplicates possible).
using InvalidationIndex = std::unordered_map<NodeId, std::vector<NodeId>>;

// One chunk of a frame's chunk data, as the chunk ports read it.
struct FrameChunk {
    std::uint64_t id = 0;
    std::span<const std::byte> data;
};

// How many nodes one evaluation may have entered at once. The deepest chains of the real
// descriptions are about 20 nodes; the limit keeps a long chain of references from exhausting
// the native stack of the thread that evaluates it (each level costs at most a few kilobytes).
inline constexpr std::size_t kMaxEvaluationDepth = 256;

struct Genicam {
    // Every node; position = NodeId. The node set, names and links never change once built.
    std::vector<NodeData> nodes;
    // Run-time state: the nodes being evaluated, innermost last; empty between operations.
    std::vector<NodeId> stack;
    // One entry per distinct name; a later node of the same name shadows the earlier one.
    NameIndex by_name;
    InvalidationIndex invalidators;
    // What the description says about each node for its users, by id; shorter than `nodes`
    // (or empty) for graphs built by hand.
    std::vector<NodeInfo> info = {};
    // Run-time state: the chunks of the frame whose chunk features are being read; empty
    // otherwise, when every chunk port register is not available.
    std::span<const FrameChunk> frame_chunks = {};

    // The node's information, or an empty one when none was recorded.
    const NodeInfo& info_of(NodeId id) const;

    // The node of that exact name, or FeatureNotFound.
    [[nodiscard]] GenicamResult<NodeId> lookup(std::string_view name) const;

    // Marks `id` as being evaluated. Reaching a node already on the stack is a cycle: the stack
    // is cleared (so the next operation starts clean) and CircularReference is returned. A
    // stack already kMaxEvaluationDepth deep is cleared the same way, with TooDeep naming the
    // outermost node.
    [[nodiscard]] GenicamResult<void> enter(NodeId id);
    // Ends the evaluation of the innermost node; does nothing once a cycle has cleared the stack.
    void leave();

    // The names of all nodes in id order, shadowed and generated names included.
    std::vector<std::string> node_names() const;

    const NodeData& operator[](NodeId id) const { return nodes[id]; }
    NodeData& operator[](NodeId id) { return nodes[id]; }
    std::size_t size() const { return nodes.size(); }
};

}  // namespace korvalite::genicam
