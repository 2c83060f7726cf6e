#include "korvalite/genicam/xml.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <utility>

#include <pugixml.hpp>

#include "korvalite/genicam/literal_text.hpp"
#include "korvalite/genicam/xml_element.hpp"
#include "korvalite/genicam/xml_parse_options.hpp"
#include "korvalite/genicam/xml_readers.hpp"

namespace korvalite::genicam {

namespace {

using xml_element::attribute;
using xml_element::Child;
using xml_element::Children;
using xml_element::local_name;
using xml_readers::ElementReader;

// An EventID element's text: hexadecimal digits, with or without "0x"; nothing when the text
// is not a 16-bit hexadecimal number.
std::optional<std::uint16_t> event_id(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    std::string_view digits = trim_white_space(*text);
    if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
    if (digits.empty() || digits.size() > 4) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

// Built-in nodes the driver relies on, added when the description lacks them.
constexpr std::pair<const char*, const char*> kDefaultNodes[] = {
    {"TLParamsLocked",
     R"(<Integer Name="TLParamsLocked"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>)"},
    {"GevSCPSPacketSize",
     "<MaskedIntReg Name=\"GevSCPSPacketSize\">\n"
     "             <Address>0xd04</Address><Length>4</Length><AccessMode>RW</AccessMode>\n"
     "             <pPort>Device</pPort><Cachable>NoCache</Cachable>\n"
     "             <LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess>\n"
     "           </MaskedIntReg>"},
    {"GevTimestampTickFrequency",
     "<IntReg Name=\"GevTimestampTickFrequency\">\n"
     "             <Address>0x93c</Address><Length>8</Length><AccessMode>RO</AccessMode>\n"
     "             <pPort>Device</pPort><Endianess>BigEndian</Endianess>\n"
     "           </IntReg>"},
};

// Node names are mostly 10 to 30 characters long.
constexpr std::size_t kBytesPerNameEstimate = 24;

enum class ElementKind {
    Category,
    Integer,
    Float,
    Boolean,
    String,
    Enumeration,
    Command,
    Register,
    IntReg,
    MaskedIntReg,
    FloatReg,
    StringReg,
    StructReg,
    Converter,
    IntConverter,
    SwissKnife,
    IntSwissKnife,
    Port,
    Unknown,
};

ElementKind element_kind(std::string_view name) {
    static constexpr std::pair<std::string_view, ElementKind> kKinds[] = {
        {"Integer", ElementKind::Integer},
        {"IntReg", ElementKind::IntReg},
        {"MaskedIntReg", ElementKind::MaskedIntReg},
        {"Enumeration", ElementKind::Enumeration},
        {"Boolean", ElementKind::Boolean},
        {"IntSwissKnife", ElementKind::IntSwissKnife},
        {"SwissKnife", ElementKind::SwissKnife},
        {"Category", ElementKind::Category},
        {"Float", ElementKind::Float},
        {"Command", ElementKind::Command},
        {"StringReg", ElementKind::StringReg},
        {"StructReg", ElementKind::StructReg},
        {"IntConverter", ElementKind::IntConverter},
        {"Converter", ElementKind::Converter},
        {"FloatReg", ElementKind::FloatReg},
        {"Register", ElementKind::Register},
        {"String", ElementKind::String},
        {"Port", ElementKind::Port},
    };
    for (const auto& [n, kind] : kKinds)
        if (n == name) return kind;
    return ElementKind::Unknown;
}

bool is_register(ElementKind kind) {
    return kind == ElementKind::Register || kind == ElementKind::IntReg || kind == ElementKind::MaskedIntReg ||
           kind == ElementKind::FloatReg || kind == ElementKind::StringReg;
}

// The parser's description with the line and column of the byte offset it reports.
std::string parser_message(const pugi::xml_parse_result& result, std::string_view text) {
    const auto offset = static_cast<std::size_t>(std::max<std::ptrdiff_t>(result.offset, 0));
    const std::string_view before = text.substr(0, std::min(offset, text.size()));
    const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column = before.size() - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
    return std::string(result.description()) + " at line " + std::to_string(line) + ", column " +
           std::to_string(column);
}

class Builder {
public:
    // Reads the node elements among `element`'s children, descending into `Group`s.
    void walk(pugi::xml_node element);
    // Adds each built-in node whose name the description did not define.
    GenicamResult<void> add_default_nodes();
    // Resolves links, builds the invalidation index and hands over the graph. The document
    // read must still be alive.
    Genicam finish() &&;

private:
    // Room for about `n` nodes, so that the node sequence is not moved while it grows.
    void reserve(std::size_t n) {
        nodes_.reserve(n);
        by_name_.reserve(n, n * kBytesPerNameEstimate);
    }
    std::optional<NodeId> add_element(pugi::xml_node element);
    std::string anonymous_name(std::string_view kind_name);
    Node node_of_kind(ElementKind kind, const Children& children);
    Node register_node(ElementKind kind, const Children& children);
    Node enumeration(const Children& children);
    Node integer(const Children& children);
    Node port(const Children& children);
    Node floating(const Children& children);
    ValueRef index_link(const Children& children);
    ValueRef int_value_or_default(const Children& children);
    Node boolean(const Children& children);
    Node string(const Children& children);
    void add_struct_entries(const Children& children);
    RegisterCommon register_common(const Children& children);
    NodeId push(std::string name, Node&& node);
    // Records what the description says about node `id` for its users.
    void record_info(NodeId id, const Children& children);
    void collect_invalidators(NodeId id, const Children& children);
    InvalidationIndex invalidation_index() const;

    ElementReader read_;
    std::deque<pugi::xml_document> default_documents_;
    std::vector<NodeData> nodes_;
    std::vector<NodeInfo> info_;
    // (node with pInvalidator children, pending link to the node named there), document order.
    std::vector<std::pair<NodeId, Link>> pending_invalidators_;
    NameIndex by_name_;
    std::uint32_t anonymous_counter_ = 0;
};

void Builder::walk(pugi::xml_node element) {
    // Groups may nest to any depth: keep the siblings still to visit on an explicit stack. The
    // node elements are gathered first, so that the node sequence can be sized once.
    std::vector<pugi::xml_node> elements;
    std::vector<pugi::xml_node> resume;
    pugi::xml_node c = element.first_child();
    while (c || !resume.empty()) {
        if (!c) {
            c = resume.back();
            resume.pop_back();
            continue;
        }
        if (c.type() == pugi::node_element) {
            if (xml_element::has_local_name(c.name(), "Group")) {
                resume.push_back(c.next_sibling());
                c = c.first_child();
                continue;
            }
            elements.push_back(c);
        }
        c = c.next_sibling();
    }
    reserve(elements.size() + elements.size() / 8 + std::size(kDefaultNodes));
    for (pugi::xml_node e : elements) add_element(e);
}

std::optional<NodeId> Builder::add_element(pugi::xml_node element) {
    const std::string_view kind_name = local_name(element.name());
    // Every element without a name takes a number, even one that then adds no node.
    auto name = attribute(element, "Name");
    std::string generated = name ? std::string{} : anonymous_name(kind_name);
    const ElementKind kind = element_kind(kind_name);
    if (kind == ElementKind::Unknown) return std::nullopt;
    const Children children(element);
    if (kind == ElementKind::StructReg) {
        add_struct_entries(children);
        return std::nullopt;
    }
    Node node = is_register(kind) ? register_node(kind, children) : node_of_kind(kind, children);
    const NodeId id = push(name ? std::string(*name) : std::move(generated), std::move(node));
    nodes_[id].conditions = read_.conditions(children);
    record_info(id, children);
    collect_invalidators(id, children);
    return id;
}

// Entries are kept exactly as `enumeration` keeps them, so both lists stay in step.
void Builder::record_info(NodeId id, const Children& children) {
    if (info_.size() <= id) info_.resize(id + 1);
    NodeInfo& info = info_[id];
    info = read_.info(children);
    if (!std::holds_alternative<Enumeration>(nodes_[id].node)) return;
    children.each(Child::EnumEntry, [&](pugi::xml_node entry) {
        auto text = read_.text(xml_element::child(entry, "Value"));
        if (attribute(entry, "Name") && text && parse_i64(*text))
            info.entries.push_back(read_.entry_info(Children(entry)));
    });
}

std::string Builder::anonymous_name(std::string_view kind_name) {
    ++anonymous_counter_;
    std::string name = "__anonymous_";
    name += kind_name;
    name += '_';
    name += std::to_string(anonymous_counter_);
    return name;
}

Node Builder::node_of_kind(ElementKind kind, const Children& ch) {
    switch (kind) {
        case ElementKind::Category: return Category{read_.links(ch, Child::pFeature)};
        case ElementKind::Integer: return integer(ch);
        case ElementKind::Float: return floating(ch);
        case ElementKind::Boolean: return boolean(ch);
        case ElementKind::String: return string(ch);
        case ElementKind::Enumeration: return enumeration(ch);
        case ElementKind::Command:
            return Command{read_.int_value_ref(ch, Child::Value, Child::pValue),
                           read_.int_value_ref(ch, Child::CommandValue, Child::pCommandValue)};
        case ElementKind::Converter:
        case ElementKind::IntConverter:
            return Converter{read_.int_value_ref(ch, Child::Value, Child::pValue),
                             read_.formula(ch, Child::FormulaTo),
                             read_.formula(ch, Child::FormulaFrom),
                             read_.variables(ch),
                             read_.constants(ch),
                             read_.expressions(ch),
                             kind == ElementKind::IntConverter};
        case ElementKind::SwissKnife:
        case ElementKind::IntSwissKnife:
            return SwissKnife{read_.formula(ch, Child::Formula), read_.variables(ch), read_.constants(ch),
                              read_.expressions(ch), kind == ElementKind::IntSwissKnife};
        default: return port(ch);
    }
}

// A ChunkID is hexadecimal digits, with or without 0x; one that does not parse leaves the port
// a chunk port that no chunk matches.
Node Builder::port(const Children& ch) {
    Port port{.device = !ch.has(Child::ChunkID) && !ch.has(Child::EventID),
              .event_id = event_id(read_.text(ch, Child::EventID))};
    if (auto text = read_.text(ch, Child::ChunkID)) {
        std::string_view digits = trim_white_space(*text);
        if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
        std::uint64_t id = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id, 16);
        if (error == std::errc{} && end == digits.data() + digits.size() && !digits.empty()) port.chunk_id = id;
    }
    return port;
}

// Without Value/pValue, a selector-indexed node takes ValueDefault/pValueDefault as the value
// used for indices it does not list.
ValueRef Builder::int_value_or_default(const Children& ch) {
    ValueRef value = read_.int_value_ref(ch, Child::Value, Child::pValue);
    if (std::holds_alternative<Absent>(value))
        value = read_.int_value_ref(ch, Child::ValueDefault, Child::pValueDefault);
    return value;
}

Node Builder::integer(const Children& ch) {
    return Integer{int_value_or_default(ch),
                   read_.int_value_ref(ch, Child::Min, Child::pMin),
                   read_.int_value_ref(ch, Child::Max, Child::pMax),
                   read_.int_value_ref(ch, Child::Inc, Child::pInc),
                   index_link(ch),
                   read_.indexed_values(ch, false)};
}

Node Builder::floating(const Children& ch) {
    ValueRef value = read_.float_value_ref(ch, Child::Value, Child::pValue);
    if (std::holds_alternative<Absent>(value))
        value = read_.float_value_ref(ch, Child::ValueDefault, Child::pValueDefault);
    return Float{std::move(value), read_.float_value_ref(ch, Child::Min, Child::pMin),
                 read_.float_value_ref(ch, Child::Max, Child::pMax), index_link(ch), read_.indexed_values(ch, true)};
}

ValueRef Builder::index_link(const Children& ch) {
    if (auto name = read_.text(ch, Child::pIndex)) return read_.pending_link(*name);
    return Absent{};
}

Node Builder::boolean(const Children& ch) {
    return Boolean{
        .value = int_value_or_default(ch),
        .on_value = read_.i64_child(ch, Child::OnValue).value_or(1),
        .off_value = read_.i64_child(ch, Child::OffValue).value_or(0),
        .index = index_link(ch),
        .indexed = read_.indexed_values(ch, false),
    };
}

Node Builder::string(const Children& ch) {
    if (auto name = read_.text(ch, Child::pValue)) return String{read_.pending_link(*name)};
    if (auto value = read_.text(ch, Child::Value)) return String{std::string(*value)};
    return String{Absent{}};
}

// Entries need a `Name` attribute and a `Value` that parse_i64 accepts; others are dropped.
Node Builder::enumeration(const Children& ch) {
    Enumeration en{.value = int_value_or_default(ch),
                   .entries = {},
                   .index = index_link(ch),
                   .indexed = read_.indexed_values(ch, false)};
    en.entries.reserve(ch.count(Child::EnumEntry));
    ch.each(Child::EnumEntry, [&](pugi::xml_node entry) {
        auto name = attribute(entry, "Name");
        auto text = read_.text(xml_element::child(entry, "Value"));
        auto value = text ? parse_i64(*text) : std::nullopt;
        if (name && value) en.entries.push_back(EnumEntry{std::string(*name), *value});
    });
    return en;
}

Node Builder::register_node(ElementKind kind, const Children& ch) {
    RegisterCommon common = register_common(ch);
    switch (kind) {
        case ElementKind::IntReg:
            return Register{std::move(common), register_kind::Int{std::nullopt, std::nullopt,
                                                                  read_.is_unsigned(ch), read_.endianness(ch)}};
        case ElementKind::MaskedIntReg: return Register{std::move(common), read_.masked_int_kind(ch)};
        case ElementKind::FloatReg: return Register{std::move(common), register_kind::Float{read_.endianness(ch)}};
        case ElementKind::StringReg: return Register{std::move(common), register_kind::String{}};
        default: return Register{std::move(common), register_kind::Bytes{}};
    }
}

// One integer register per named `StructEntry`, sharing the struct's address terms, length and
// cache mode; the struct itself adds no node and its own invalidators are not recorded.
void Builder::add_struct_entries(const Children& children) {
    const RegisterCommon common = register_common(children);
    const bool struct_big_endian = read_.endianness(children);
    const bool struct_unsigned = read_.is_unsigned(children);
    children.each(Child::StructEntry, [&](pugi::xml_node entry) {
        auto name = attribute(entry, "Name");
        if (!name) return;
        const Children fields(entry);
        RegisterCommon entry_common = common;
        const auto access = read_.text(fields, Child::AccessMode);
        if (access == "RO" || access == "WO" || access == "RW") entry_common.access = read_.access_mode(fields);
        register_kind::Int kind = read_.masked_int_kind(fields);
        if (!fields.has(Child::Endianess)) kind.big_endian = struct_big_endian;
        if (!fields.has(Child::Sign)) kind.is_unsigned = struct_unsigned;
        const NodeId id = push(std::string(*name), Register{std::move(entry_common), kind});
        record_info(id, fields);
        nodes_[id].conditions = read_.conditions(fields.has(Child::pIsImplemented) || fields.has(Child::pIsAvailable) ||
                                                         fields.has(Child::pIsLocked) ||
                                                         fields.has(Child::ImposedAccessMode)
                                                     ? fields
                                                     : children);
        collect_invalidators(id, fields);
    });
}

// Address terms in document order: `Address` constants (unparsable ones skipped), `pAddress`
// links, and inline `IntSwissKnife` elements, each added as a node of its own first.
RegisterCommon Builder::register_common(const Children& children) {
    RegisterCommon common;
    common.addresses.reserve(children.count(Child::Address) + children.count(Child::pAddress) +
                             children.count(Child::IntSwissKnife));
    children.each_of({Child::Address, Child::pAddress, Child::IntSwissKnife}, [&](pugi::xml_node c, Child kind) {
        if (kind == Child::IntSwissKnife) {
            if (auto id = add_element(c)) common.addresses.emplace_back(Link::to(*id));
        } else if (auto t = read_.text(c)) {
            if (kind == Child::pAddress)
                common.addresses.emplace_back(read_.pending_link(*t));
            else if (auto v = parse_i64(*t))
                common.addresses.emplace_back(*v);
        }
    });
    common.length = read_.int_value_ref(children, Child::Length, Child::pLength);
    if (auto port = read_.text(children, Child::pPort)) common.port = read_.pending_link(*port);
    common.index = index_link(children);
    common.index_offset = read_.index_offset(children);
    common.access = read_.access_mode(children);
    common.cache_mode = read_.cache_mode(children);
    return common;
}

// The later of two nodes with the same name wins the name; the earlier keeps its id.
NodeId Builder::push(std::string name, Node&& node) {
    const auto id = static_cast<NodeId>(nodes_.size());
    by_name_.insert_or_assign(name, id);
    nodes_.emplace_back(std::move(node), std::move(name));
    return id;
}

void Builder::collect_invalidators(NodeId id, const Children& children) {
    if (!children.has(Child::pInvalidator)) return;
    children.each(Child::pInvalidator, [&](pugi::xml_node c) {
        if (auto name = read_.text(c)) pending_invalidators_.emplace_back(id, read_.pending_link(*name));
    });
}

GenicamResult<void> Builder::add_default_nodes() {
    for (const auto& [name, snippet] : kDefaultNodes) {
        if (by_name_.contains(std::string_view(name))) continue;
        // Kept until `finish`: pending links point into the documents read.
        pugi::xml_document& doc = default_documents_.emplace_back();
        const std::string_view text(snippet);
        const auto result =
            doc.load_buffer(text.data(), text.size(), kDescriptionParseOptions, kDescriptionEncoding);
        if (!result)
            return std::unexpected(GenicamError::description(std::string("default node ") + name + ": " +
                                                             parser_message(result, text)));
        add_element(doc.document_element());
    }
    return {};
}

InvalidationIndex Builder::invalidation_index() const {
    InvalidationIndex index;
    for (const auto& [id, link] : pending_invalidators_)
        if (auto target = read_.find(link, by_name_)) index[*target].push_back(id);
    return index;
}

Genicam Builder::finish() && {
    if (nodes_.capacity() > nodes_.size() + nodes_.size() / 4) nodes_.shrink_to_fit();
    for (auto& data : nodes_) {
        for_each_link(data.node, [&](Link& link) { read_.resolve(link, by_name_); });
        for (auto* condition : {&data.conditions.implemented, &data.conditions.available, &data.conditions.locked})
            if (*condition) read_.resolve(**condition, by_name_);
    }
    info_.resize(nodes_.size());
    for (auto& info : info_)
        for (auto& entry : info.entries) {
            NodeConditions& c = entry.conditions;
            for (auto* condition : {&c.implemented, &c.available, &c.locked})
                if (*condition) read_.resolve(**condition, by_name_);
        }
    InvalidationIndex invalidators = invalidation_index();
    return Genicam{std::move(nodes_), {}, std::move(by_name_), std::move(invalidators), std::move(info_)};
}

}  // namespace

GenicamResult<Genicam> parse_description(std::string_view text) {
    pugi::xml_document doc;
    const auto result = doc.load_buffer(text.data(), text.size(), kDescriptionParseOptions, kDescriptionEncoding);
    if (!result) return std::unexpected(GenicamError::description(parser_message(result, text)));
    Builder builder;
    builder.walk(doc.document_element());
    if (auto added = builder.add_default_nodes(); !added) return std::unexpected(std::move(added.error()));
    return std::move(builder).finish();
}

}  // namespace korvalite::genicam
