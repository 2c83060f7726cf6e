#pragma once
// Reading helpers over pugixml elements for the description builder: local names (namespace
// prefixes dropped), element text, and a one-pass index of the child elements the builder reads.
#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "korvalite/genicam/literal_text.hpp"

namespace korvalite::genicam::xml_element {

// The name without its namespace prefix ("g:Integer" -> "Integer").
std::string_view local_name(const char* qualified);

// Whether the local name of `qualified` is `local` (which has no colon), without scanning for
// the prefix first.
bool has_local_name(const char* qualified, std::string_view local);

// The value of the first attribute whose local name is `name`.
std::optional<std::string_view> attribute(pugi::xml_node element, std::string_view name);

// The first child element with that local name, or an empty node.
pugi::xml_node child(pugi::xml_node element, std::string_view name);

// Keeps the texts that had to be merged from several pieces, so that every text view handed
// out while a document is read stays valid as long as the document and the pool.
class TextPool {
public:
    std::string_view keep(std::string text) { return merged_.emplace_back(std::move(text)); }

private:
    std::deque<std::string> merged_;
};

// The element's text when it has pieces after its leading one (see text_of).
std::optional<std::string_view> joined_text_of(pugi::xml_node element, TextPool& pool);

// The element's text: all of its character data and CDATA sections joined in document order,
// with comments, processing instructions and nested elements left out, trimmed. Missing when
// the element holds no character data at all. The view points into the document, or into
// `pool` when pieces had to be merged.
inline std::optional<std::string_view> text_of(pugi::xml_node element, TextPool& pool) {
    // The parser keeps an element's leading character data as the element's value: a leaf
    // element, by far the most common, has nothing else to look at.
    const char* value = element.value();
    if (*value != '\0' && !element.first_child()) return trim_white_space(value);
    return joined_text_of(element, pool);
}

// The child elements the builder reads, by local name.
enum class Child : std::uint8_t {
    Value, pValue, Min, pMin, Max, pMax, Inc, pInc,
    OnValue, OffValue, CommandValue, pCommandValue,
    Formula, FormulaTo, FormulaFrom, pVariable,
    Address, pAddress, IntSwissKnife, Length, pLength, AccessMode, Cachable,
    Sign, Endianess, LSB, MSB, Bit,
    pFeature, pInvalidator, EnumEntry, StructEntry,
    pIndex, ValueIndexed, pValueIndexed, ValueDefault, pValueDefault, Constant, Expression,
    pIsImplemented, pIsAvailable, pIsLocked, ImposedAccessMode, pPort, ChunkID, EventID,
    ToolTip, Description, DisplayName, Unit, Visibility, Representation, Streamable, pSelected,
    Other,
};

// Which known child a local name is, or Other.
Child classify(std::string_view local);
// Which known child an element name, prefixed or not, is.
Child classify_qualified(const char* qualified);

// The first and last child element of each known name, found in one pass over the children,
// so that later reads look at no child twice.
class Children {
public:
    explicit Children(pugi::xml_node element);

    pugi::xml_node element() const { return element_; }
    bool has(Child which) const { return at(which).first != nullptr; }
    // How many children of that name there are.
    std::size_t count(Child which) const { return at(which).count; }
    pugi::xml_node first(Child which) const { return pugi::xml_node(at(which).first); }

    // The text of the first child of that name (a later one is not consulted).
    std::optional<std::string_view> text(Child which, TextPool& pool) const {
        if (!has(which)) return std::nullopt;
        return text_of(first(which), pool);
    }

    // Calls `fn(child, kind)` for every child element of one of the `kinds`, in document order.
    template <class Fn>
    void each_of(std::initializer_list<Child> kinds, Fn&& fn) const {
        const Seen* from = nullptr;
        const Seen* to = nullptr;
        for (Child k : kinds) {
            const Seen& seen = at(k);
            if (!seen.first) continue;
            if (!from || seen.first_position < from->first_position) from = &seen;
            if (!to || seen.last_position > to->last_position) to = &seen;
        }
        if (!from) return;
        for (pugi::xml_node c(from->first);; c = c.next_sibling()) {
            const Child which = classify_qualified(c.name());
            for (Child k : kinds)
                if (which == k && c.type() == pugi::node_element) fn(c, which);
            if (c.internal_object() == to->last) break;
        }
    }

    // Calls `fn(child)` for every child element of that name, in document order.
    template <class Fn>
    void each(Child which, Fn&& fn) const {
        each_of({which}, [&](pugi::xml_node c, Child) { fn(c); });
    }

private:
    struct Seen {
        pugi::xml_node_struct* first = nullptr;
        pugi::xml_node_struct* last = nullptr;
        std::uint32_t first_position = 0;
        std::uint32_t last_position = 0;
        std::uint32_t count = 0;
    };
    const Seen& at(Child which) const { return seen_[static_cast<std::size_t>(which)]; }

    pugi::xml_node element_;
    std::array<Seen, static_cast<std::size_t>(Child::Other)> seen_{};
};

}  // namespace korvalite::genicam::xml_element
