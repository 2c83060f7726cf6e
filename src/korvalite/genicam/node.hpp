#pragma once
// The node kinds of the feature graph and the small value types they are made of.
//
// Nodes refer to each other through `Link`s holding dense 32-bit ids, so following a reference
// is one index into the graph's node sequence. Everything here is fixed once the graph is built,
// except the members marked "run-time state": a register's byte cache, a formula's compiled form,
// and the inline constants of a `ValueRef` (which a write replaces).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "korvalite/genicam/access_mode.hpp"

namespace korvalite::genicam {

// A compiled formula; defined by the formula evaluator.
struct Expr;

// Position of a node in `Genicam::nodes`; dense, never reused.
using NodeId = std::uint32_t;

// A reference to another node: by name until resolved, then by id. A link still naming its
// target after the graph is built is dangling.
struct Link {
    std::variant<std::string, NodeId> target;

    static Link named(std::string name) { return Link{std::move(name)}; }
    static Link to(NodeId id) { return Link{id}; }

    // The target's id in the resolved state, else null.
    const NodeId* id() const { return std::get_if<NodeId>(&target); }
    // The target's name while unresolved, else null.
    const std::string* name() const { return std::get_if<std::string>(&target); }

    bool operator==(const Link&) const = default;
};

// The description gave no value (or one that did not parse).
struct Absent {
    bool operator==(const Absent&) const = default;
};

// A value given inline or by reference: Absent, an integer constant, a float constant, a string
// constant (only in a `String` node), or the value of another node. The constants are run-time
// state: a write to a node whose value is a constant replaces it.
using ValueRef = std::variant<Absent, std::int64_t, double, std::string, Link>;

// A formula's text as read (trimmed; empty when missing) and, once it has been compiled
// successfully, its compiled form, kept for the life of the graph.
struct FormulaSlot {
    std::string source;
    std::shared_ptr<const Expr> compiled;  // run-time state: empty until first compiled
};

// A variable of a formula node: the name the formula uses and the node that supplies it.
struct Variable {
    std::string name;
    Link link;

    bool operator==(const Variable&) const = default;
};

// A named value a formula may use besides its variables: a constant (Int or Float) or a
// sub-formula of the same node.
struct NamedConstant {
    std::string name;
    ValueRef value;
};

struct NamedExpression {
    std::string name;
    FormulaSlot formula;
};

// One entry of a selector-indexed value: the value (constant or link) used while the index
// node reads `index`.
struct IndexedValue {
    std::int64_t index;
    ValueRef value;
};

// Conditions any node may carry. Each link, when present, names a node read as an integer:
// 0 from `implemented` means NI, 0 from `available` NA, non-zero from `locked` makes a
// writable node read-only. `imposed` caps the mode the node would otherwise have.
struct NodeConditions {
    std::optional<Link> implemented;
    std::optional<Link> available;
    std::optional<Link> locked;
    std::optional<AccessMode> imposed;
};

enum class CacheMode : std::uint8_t {
    NoCache = 0,       // never keep bytes
    WriteThrough = 1,  // keep bytes read and bytes written
    WriteAround = 2,   // keep bytes read; a write drops them
};

// What every register node has. The address is the sum of all `addresses` terms.
struct RegisterCommon {
    ValueRef length;                             // Absent, Int or a Node link
    std::vector<ValueRef> addresses;             // Int constants and Node links, document order
    std::optional<std::vector<std::byte>> cache; // run-time state: last bytes read or written
    std::int64_t cache_address = 0;              // run-time state: where the cached bytes are
    AccessMode access = AccessMode::RW;
    CacheMode cache_mode = CacheMode::WriteAround;
    ValueRef port;          // Absent or a link to the Port node
    ValueRef index;         // Absent or a link: the address grows by index x offset
    ValueRef index_offset;  // Int or a link; Absent: the register's length
};

// How a register's bytes are interpreted.
namespace register_kind {
// An integer, optionally restricted to a bit range.
struct Int {
    std::optional<std::uint32_t> lsb;
    std::optional<std::uint32_t> msb;
    bool is_unsigned = true;
    bool big_endian = false;

    bool operator==(const Int&) const = default;
};
// Raw bytes.
struct Bytes {
    bool operator==(const Bytes&) const = default;
};
// An IEEE float of the register's length.
struct Float {
    bool big_endian = false;

    bool operator==(const Float&) const = default;
};
// Text up to the first zero byte.
struct String {
    bool operator==(const String&) const = default;
};
}  // namespace register_kind

using RegisterKind =
    std::variant<register_kind::Int, register_kind::Bytes, register_kind::Float, register_kind::String>;

// The eleven node kinds.

struct Category {
    std::vector<Link> features;
};

// Integer, Float, Boolean and Enumeration nodes may select their value by an index node:
// `indexed` lists the values per index, and `value` is the default for other indices.
struct Integer {
    ValueRef value;
    ValueRef min;
    ValueRef max;
    ValueRef inc;
    ValueRef index;  // Absent or a link to the index node
    std::vector<IndexedValue> indexed;
};

struct Float {
    ValueRef value;
    ValueRef min;
    ValueRef max;
    ValueRef index;
    std::vector<IndexedValue> indexed;
};

struct Boolean {
    ValueRef value;
    std::int64_t on_value = 1;
    std::int64_t off_value = 0;
    ValueRef index;
    std::vector<IndexedValue> indexed;
};

struct String {
    ValueRef value;  // Str constant, Node link or Absent
};

struct EnumEntry {
    std::string name;
    std::int64_t value;

    bool operator==(const EnumEntry&) const = default;
};

struct Enumeration {
    ValueRef value;
    std::vector<EnumEntry> entries;  // document order
    ValueRef index;
    std::vector<IndexedValue> indexed;
};

struct Command {
    ValueRef value;
    ValueRef command_value;
};

struct Register {
    RegisterCommon common;
    RegisterKind kind;
};

// `integer`: an IntConverter / IntSwissKnife, whose formulas use integer arithmetic and whose
// value is an integer; the others compute and answer in floating point.
struct Converter {
    ValueRef value;
    FormulaSlot formula_to;
    FormulaSlot formula_from;
    std::vector<Variable> variables;
    std::vector<NamedConstant> constants;
    std::vector<NamedExpression> expressions;
    bool integer = false;
};

struct SwissKnife {
    FormulaSlot formula;
    std::vector<Variable> variables;
    std::vector<NamedConstant> constants;
    std::vector<NamedExpression> expressions;
    bool integer = false;
};

// `device`: false for a chunk or event port, whose registers are not device memory.
// `chunk_id`: a chunk port's ChunkID; its registers are read from that chunk of a frame.
// `event_id`: an event port's event id; its registers read that event's newest payload.
struct Port {
    bool device = true;
    std::optional<std::uint64_t> chunk_id = std::nullopt;
    std::optional<std::uint16_t> event_id = std::nullopt;
};

using Node = std::variant<Category, Integer, Float, Boolean, String, Enumeration, Command, Register,
                          Converter, SwissKnife, Port>;

// One entry of the graph: the node and its name (the description's `Name`, or a generated
// "__anonymous_..." name).
struct NodeData {
    Node node;
    std::string name;
    NodeConditions conditions = {};
};

// Calls `fn(link)` for every link a node holds, in field order; `NodeT` is `Node` or
// `const Node`. These are exactly the links the builder resolves by name.
template <class NodeT, class Fn>
    requires std::is_same_v<std::remove_const_t<NodeT>, Node>
void for_each_link(NodeT& node, Fn&& fn) {
    auto ref = [&](auto& r) {
        if (auto* link = std::get_if<Link>(&r)) fn(*link);
    };
    auto vars = [&](auto& variables) {
        for (auto& v : variables) fn(v.link);
    };
    std::visit(
        [&](auto& n) {
            using T = std::remove_cvref_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Category>) {
                for (auto& l : n.features) fn(l);
            } else if constexpr (std::is_same_v<T, Integer>) {
                ref(n.value);
                ref(n.min);
                ref(n.max);
                ref(n.inc);
                ref(n.index);
                for (auto& e : n.indexed) ref(e.value);
            } else if constexpr (std::is_same_v<T, Float>) {
                ref(n.value);
                ref(n.min);
                ref(n.max);
                ref(n.index);
                for (auto& e : n.indexed) ref(e.value);
            } else if constexpr (std::is_same_v<T, Boolean> || std::is_same_v<T, Enumeration>) {
                ref(n.value);
                ref(n.index);
                for (auto& e : n.indexed) ref(e.value);
            } else if constexpr (std::is_same_v<T, String>) {
                ref(n.value);
            } else if constexpr (std::is_same_v<T, Command>) {
                ref(n.value);
                ref(n.command_value);
            } else if constexpr (std::is_same_v<T, Register>) {
                ref(n.common.length);
                for (auto& a : n.common.addresses) ref(a);
                ref(n.common.port);
                ref(n.common.index);
                ref(n.common.index_offset);
            } else if constexpr (std::is_same_v<T, Converter>) {
                ref(n.value);
                vars(n.variables);
            } else if constexpr (std::is_same_v<T, SwissKnife>) {
                vars(n.variables);
            }
        },
        node);
}

}  // namespace korvalite::genicam
