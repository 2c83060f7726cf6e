#pragma once
// Turns the child elements of a node element into the graph's value types.
//
// Links are made while the document is still being read, before every node exists. They start
// out as pending links that point into a table of target names (views into the document), so
// that no name is copied until `resolve` knows whether it names a node: then each becomes an id,
// or, when dangling, an owned name.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/node.hpp"
#include "korvalite/genicam/node_info.hpp"
#include "korvalite/genicam/xml_element.hpp"

namespace korvalite::genicam::xml_readers {

using xml_element::Child;
using xml_element::Children;

class ElementReader {
public:
    // The text of the first child named `which`.
    std::optional<std::string_view> text(const Children& children, Child which) {
        return children.text(which, texts_);
    }
    std::optional<std::string_view> text(pugi::xml_node element) { return xml_element::text_of(element, texts_); }

    // A link to the node named `name`, resolved later by `resolve`.
    Link pending_link(std::string_view name);
    // Turns a pending link into an id, or an owned name when nothing is called that.
    void resolve(Link& link, const NameIndex& by_name) const;
    // The node a pending link names, if there is one.
    std::optional<NodeId> find(const Link& link, const NameIndex& by_name) const;
    // The target name of a pending link.
    std::string_view pending_name(const Link& link) const;
    static bool is_pending(const Link& link);

    // `reference` child with text -> link by that name (even if empty); else `literal` child
    // that parse_i64 accepts -> Int; else Absent.
    ValueRef int_value_ref(const Children& children, Child literal, Child reference);
    // As int_value_ref, but the literal is first read as a decimal float, and only then as an
    // integer (so hexadecimal bounds survive as Int).
    ValueRef float_value_ref(const Children& children, Child literal, Child reference);
    // The `literal` child read by parse_i64, if present and accepted.
    std::optional<std::int64_t> i64_child(const Children& children, Child literal);

    // An integer register kind with the bit range of `LSB`/`MSB` (each falling back to `Bit`,
    // truncated to 32 bits), the sign of `Sign` and the byte order of `Endianess`.
    register_kind::Int masked_int_kind(const Children& children);
    // True exactly when the `Endianess` child reads "BigEndian".
    bool endianness(const Children& children);
    // True unless the `Sign` child reads exactly "Signed".
    bool is_unsigned(const Children& children);
    // "RO" -> RO, "WO" -> WO, anything else or missing -> RW.
    AccessMode access_mode(const Children& children);
    // "NoCache", "WriteThrough", anything else or missing -> WriteAround.
    CacheMode cache_mode(const Children& children);

    // The selector-indexed values: `ValueIndexed` constants (read as floats first when
    // `floating`) and `pValueIndexed` links, each with its `Index` attribute, document order.
    std::vector<IndexedValue> indexed_values(const Children& children, bool floating);
    // The `Constant` children (Int or Float) and `Expression` children of a formula node.
    std::vector<NamedConstant> constants(const Children& children);
    std::vector<NamedExpression> expressions(const Children& children);
    // pIsImplemented, pIsAvailable, pIsLocked and ImposedAccessMode.
    NodeConditions conditions(const Children& children);
    // DisplayName, ToolTip, Description, Unit, Visibility, Representation and Streamable.
    NodeInfo info(const Children& children);
    // The same texts and the conditions of one EnumEntry element.
    EntryInfo entry_info(const Children& children);
    // The `Offset` (Int) or `pOffset` (link) attribute of the `pIndex` child; Absent without.
    ValueRef index_offset(const Children& children);

    // Every `pVariable` child with a `Name` attribute and text, as (name, link by text).
    std::vector<Variable> variables(const Children& children);
    // A formula slot with the text of the `which` child (empty when missing).
    FormulaSlot formula(const Children& children, Child which);
    // A pending link per child named `which` that has text, in document order.
    std::vector<Link> links(const Children& children, Child which);

private:
    // A target name, hashed while its text is at hand.
    struct PendingName {
        std::string_view name;
        std::size_t hash;
    };

    xml_element::TextPool texts_;
    std::vector<PendingName> pending_names_;
};

}  // namespace korvalite::genicam::xml_readers
