#include "korvalite/genicam/xml_element.hpp"

namespace korvalite::genicam::xml_element {

namespace {

bool is_text(pugi::xml_node node) {
    const auto type = node.type();
    return type == pugi::node_pcdata || type == pugi::node_cdata;
}

}  // namespace

std::string_view local_name(const char* qualified) {
    // One pass finds both the end and the last colon.
    const char* start = qualified;
    const char* p = qualified;
    for (; *p; ++p)
        if (*p == ':') start = p + 1;
    return std::string_view(start, static_cast<std::size_t>(p - start));
}

bool has_local_name(const char* qualified, std::string_view local) {
    // A name ending in ":" + `local` has its last colon right there, as `local` has none.
    const std::string_view name(qualified);
    if (name.size() == local.size()) return name == local;
    return name.size() > local.size() && name.ends_with(local) && name[name.size() - local.size() - 1] == ':';
}

std::optional<std::string_view> attribute(pugi::xml_node element, std::string_view name) {
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
        if (has_local_name(a.name(), name)) return std::string_view(a.value());
    return std::nullopt;
}

pugi::xml_node child(pugi::xml_node element, std::string_view name) {
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling())
        if (has_local_name(c.name(), name) && c.type() == pugi::node_element) return c;
    return {};
}

std::optional<std::string_view> joined_text_of(pugi::xml_node element, TextPool& pool) {
    // The parser keeps an element's leading character data as the element's value (never
    // empty when present); later pieces (after a comment, or CDATA sections) follow as
    // children. Every piece of character data counts, in order: comments, processing
    // instructions and nested elements between them are left out, so a formula with a
    // commented-out part reads as the rest of its text.
    const char* first = *element.value() != '\0' ? element.value() : nullptr;
    pugi::xml_node next = element.first_child();
    if (!first) {
        while (next && !is_text(next)) next = next.next_sibling();
        if (!next) return std::nullopt;
        first = next.value();
        next = next.next_sibling();
    }
    while (next && !is_text(next)) next = next.next_sibling();
    if (!next) return trim_white_space(first);
    std::string merged = first;
    for (; next; next = next.next_sibling())
        if (is_text(next)) merged += next.value();
    return trim_white_space(pool.keep(std::move(merged)));
}

Child classify(std::string_view n) {
    switch (n.size()) {
        case 3:
            if (n == "Min") return Child::Min;
            if (n == "Max") return Child::Max;
            if (n == "Inc") return Child::Inc;
            if (n == "Bit") return Child::Bit;
            if (n == "LSB") return Child::LSB;
            if (n == "MSB") return Child::MSB;
            break;
        case 4:
            if (n == "pMin") return Child::pMin;
            if (n == "pMax") return Child::pMax;
            if (n == "pInc") return Child::pInc;
            if (n == "Sign") return Child::Sign;
            if (n == "Unit") return Child::Unit;
            break;
        case 5:
            if (n == "pPort") return Child::pPort;
            if (n == "Value") return Child::Value;
            break;
        case 6:
            if (n == "pIndex") return Child::pIndex;
            if (n == "pValue") return Child::pValue;
            if (n == "Length") return Child::Length;
            break;
        case 7:
            if (n == "EventID") return Child::EventID;
            if (n == "ChunkID") return Child::ChunkID;
            if (n == "Address") return Child::Address;
            if (n == "pLength") return Child::pLength;
            if (n == "Formula") return Child::Formula;
            if (n == "OnValue") return Child::OnValue;
            if (n == "ToolTip") return Child::ToolTip;
            break;
        case 8:
            if (n == "Constant") return Child::Constant;
            if (n == "pAddress") return Child::pAddress;
            if (n == "Cachable") return Child::Cachable;
            if (n == "pFeature") return Child::pFeature;
            if (n == "OffValue") return Child::OffValue;
            break;
        case 9:
            if (n == "pIsLocked") return Child::pIsLocked;
            if (n == "pSelected") return Child::pSelected;
            if (n == "Endianess") return Child::Endianess;
            if (n == "EnumEntry") return Child::EnumEntry;
            if (n == "pVariable") return Child::pVariable;
            if (n == "FormulaTo") return Child::FormulaTo;
            break;
        case 10:
            if (n == "Expression") return Child::Expression;
            if (n == "AccessMode") return Child::AccessMode;
            if (n == "Visibility") return Child::Visibility;
            if (n == "Streamable") return Child::Streamable;
            break;
        case 11:
            if (n == "FormulaFrom") return Child::FormulaFrom;
            if (n == "StructEntry") return Child::StructEntry;
            if (n == "DisplayName") return Child::DisplayName;
            if (n == "Description") return Child::Description;
            break;
        case 12:
            if (n == "ValueIndexed") return Child::ValueIndexed;
            if (n == "ValueDefault") return Child::ValueDefault;
            if (n == "pIsAvailable") return Child::pIsAvailable;
            if (n == "pInvalidator") return Child::pInvalidator;
            if (n == "CommandValue") return Child::CommandValue;
            break;
        case 13:
            if (n == "pValueIndexed") return Child::pValueIndexed;
            if (n == "pValueDefault") return Child::pValueDefault;
            if (n == "IntSwissKnife") return Child::IntSwissKnife;
            if (n == "pCommandValue") return Child::pCommandValue;
            break;
        case 14:
            if (n == "pIsImplemented") return Child::pIsImplemented;
            if (n == "Representation") return Child::Representation;
            break;
        case 17:
            if (n == "ImposedAccessMode") return Child::ImposedAccessMode;
            break;
        default: break;
    }
    return Child::Other;
}

Child classify_qualified(const char* qualified) {
    // Known names have no prefix: only a name that is not one needs the colon search.
    const std::string_view name(qualified);
    const Child which = classify(name);
    if (which != Child::Other || name.find(':') == std::string_view::npos) return which;
    return classify(local_name(qualified));
}

Children::Children(pugi::xml_node element) : element_(element) {
    std::uint32_t position = 0;
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling(), ++position) {
        // Only elements have names that classify (text and comments have none), but a
        // processing instruction's target might: check the type of known names only.
        const Child which = classify_qualified(c.name());
        if (which == Child::Other || c.type() != pugi::node_element) continue;
        Seen& seen = seen_[static_cast<std::size_t>(which)];
        if (!seen.first) {
            seen.first = c.internal_object();
            seen.first_position = position;
        }
        seen.last = c.internal_object();
        seen.last_position = position;
        ++seen.count;
    }
}


}  // namespace korvalite::genicam::xml_element
