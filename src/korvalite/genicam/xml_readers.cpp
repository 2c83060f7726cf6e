#include "korvalite/genicam/xml_readers.hpp"

#include "korvalite/genicam/literal_text.hpp"

namespace korvalite::genicam::xml_readers {

namespace {

// Pending links hold an index into the name table, marked by the top bit; real ids stay far
// below it (a graph of 2^31 nodes would not fit in memory).
constexpr NodeId kPendingBit = NodeId{1} << 31;

}  // namespace

Link ElementReader::pending_link(std::string_view name) {
    const auto index = static_cast<NodeId>(pending_names_.size());
    pending_names_.push_back(PendingName{name, NameIndex::hash(name)});
    return Link::to(kPendingBit | index);
}

bool ElementReader::is_pending(const Link& link) {
    const NodeId* id = link.id();
    return id && (*id & kPendingBit) != 0;
}

std::string_view ElementReader::pending_name(const Link& link) const {
    return pending_names_[*link.id() & ~kPendingBit].name;
}

void ElementReader::resolve(Link& link, const NameIndex& by_name) const {
    if (!is_pending(link)) return;
    if (auto id = find(link, by_name))
        link = Link::to(*id);
    else
        link = Link::named(std::string(pending_name(link)));
}

std::optional<NodeId> ElementReader::find(const Link& link, const NameIndex& by_name) const {
    const PendingName& pending = pending_names_[*link.id() & ~kPendingBit];
    auto it = by_name.find(pending.name, pending.hash);
    if (it == by_name.end()) return std::nullopt;
    return it->second;
}

std::optional<std::int64_t> ElementReader::i64_child(const Children& children, Child literal) {
    auto t = text(children, literal);
    return t ? parse_i64(*t) : std::nullopt;
}

ValueRef ElementReader::int_value_ref(const Children& children, Child literal, Child reference) {
    if (auto name = text(children, reference)) return pending_link(*name);
    if (auto v = i64_child(children, literal)) return *v;
    return Absent{};
}

ValueRef ElementReader::float_value_ref(const Children& children, Child literal, Child reference) {
    if (auto name = text(children, reference)) return pending_link(*name);
    if (auto t = text(children, literal)) {
        if (auto f = parse_float_literal(*t)) return *f;
        if (auto i = parse_i64(*t)) return *i;
    }
    return Absent{};
}

register_kind::Int ElementReader::masked_int_kind(const Children& children) {
    std::optional<std::optional<std::int64_t>> bit;  // read once, when LSB or MSB needs it
    auto bit_position = [&](Child which) -> std::optional<std::uint32_t> {
        auto v = i64_child(children, which);
        if (!v) {
            if (!bit) bit = i64_child(children, Child::Bit);
            v = *bit;
        }
        if (!v) return std::nullopt;
        return static_cast<std::uint32_t>(*v);  // low 32 bits
    };
    return register_kind::Int{
        .lsb = bit_position(Child::LSB),
        .msb = bit_position(Child::MSB),
        .is_unsigned = is_unsigned(children),
        .big_endian = endianness(children),
    };
}

bool ElementReader::endianness(const Children& children) {
    return text(children, Child::Endianess) == "BigEndian";
}

bool ElementReader::is_unsigned(const Children& children) { return text(children, Child::Sign) != "Signed"; }

AccessMode ElementReader::access_mode(const Children& children) {
    auto t = text(children, Child::AccessMode);
    if (t == "RO") return AccessMode::RO;
    if (t == "WO") return AccessMode::WO;
    return AccessMode::RW;
}

CacheMode ElementReader::cache_mode(const Children& children) {
    auto t = text(children, Child::Cachable);
    if (t == "NoCache") return CacheMode::NoCache;
    if (t == "WriteThrough") return CacheMode::WriteThrough;
    return CacheMode::WriteAround;
}

std::vector<IndexedValue> ElementReader::indexed_values(const Children& children, bool floating) {
    std::vector<IndexedValue> out;
    children.each_of({Child::ValueIndexed, Child::pValueIndexed}, [&](pugi::xml_node c, Child kind) {
        auto index_text = xml_element::attribute(c, "Index");
        auto index = index_text ? parse_i64(*index_text) : std::nullopt;
        auto t = text(c);
        if (!index || !t) return;
        if (kind == Child::pValueIndexed) {
            out.push_back(IndexedValue{*index, pending_link(*t)});
            return;
        }
        if (floating) {
            if (auto f = parse_float_literal(*t)) {
                out.push_back(IndexedValue{*index, *f});
                return;
            }
        }
        if (auto v = parse_i64(*t)) out.push_back(IndexedValue{*index, *v});
    });
    return out;
}

std::vector<NamedConstant> ElementReader::constants(const Children& children) {
    std::vector<NamedConstant> out;
    children.each(Child::Constant, [&](pugi::xml_node c) {
        auto name = xml_element::attribute(c, "Name");
        auto t = text(c);
        if (!name || !t) return;
        if (auto i = parse_i64(*t)) out.push_back(NamedConstant{std::string(*name), *i});
        else if (auto f = parse_float_literal(*t)) out.push_back(NamedConstant{std::string(*name), *f});
    });
    return out;
}

std::vector<NamedExpression> ElementReader::expressions(const Children& children) {
    std::vector<NamedExpression> out;
    children.each(Child::Expression, [&](pugi::xml_node c) {
        auto name = xml_element::attribute(c, "Name");
        auto t = text(c);
        if (name && t) out.push_back(NamedExpression{std::string(*name), FormulaSlot{std::string(*t), nullptr}});
    });
    return out;
}

namespace {

Visibility visibility_of(std::optional<std::string_view> text) {
    if (text == "Expert") return Visibility::Expert;
    if (text == "Guru") return Visibility::Guru;
    if (text == "Invisible") return Visibility::Invisible;
    return Visibility::Beginner;
}

}  // namespace

NodeInfo ElementReader::info(const Children& children) {
    NodeInfo out;
    auto copy = [&](Child which, std::string& into) {
        if (auto t = text(children, which)) into = std::string(*t);
    };
    copy(Child::DisplayName, out.display_name);
    copy(Child::ToolTip, out.tooltip);
    copy(Child::Description, out.description);
    copy(Child::Unit, out.unit);
    copy(Child::Representation, out.representation);
    out.visibility = visibility_of(text(children, Child::Visibility));
    out.streamable = text(children, Child::Streamable) == "Yes";
    children.each(Child::pSelected, [&](pugi::xml_node c) {
        if (auto name = text(c)) out.selected.emplace_back(*name);
    });
    return out;
}

EntryInfo ElementReader::entry_info(const Children& children) {
    NodeInfo texts = info(children);
    return EntryInfo{std::move(texts.display_name), std::move(texts.tooltip), std::move(texts.description),
                     conditions(children)};
}

NodeConditions ElementReader::conditions(const Children& children) {
    NodeConditions out;
    auto link = [&](Child which) -> std::optional<Link> {
        if (auto t = text(children, which)) return pending_link(*t);
        return std::nullopt;
    };
    out.implemented = link(Child::pIsImplemented);
    out.available = link(Child::pIsAvailable);
    out.locked = link(Child::pIsLocked);
    const auto imposed = text(children, Child::ImposedAccessMode);
    if (imposed == "RO") out.imposed = AccessMode::RO;
    else if (imposed == "WO") out.imposed = AccessMode::WO;
    else if (imposed == "RW") out.imposed = AccessMode::RW;
    return out;
}

ValueRef ElementReader::index_offset(const Children& children) {
    if (!children.has(Child::pIndex)) return Absent{};
    const pugi::xml_node index = children.first(Child::pIndex);
    if (auto name = xml_element::attribute(index, "pOffset")) return pending_link(*name);
    if (auto offset = xml_element::attribute(index, "Offset"))
        if (auto v = parse_i64(*offset)) return *v;
    return Absent{};
}

std::vector<Variable> ElementReader::variables(const Children& children) {
    std::vector<Variable> out;
    out.reserve(children.count(Child::pVariable));
    children.each(Child::pVariable, [&](pugi::xml_node c) {
        auto name = xml_element::attribute(c, "Name");
        auto target = text(c);
        if (name && target) out.push_back(Variable{std::string(*name), pending_link(*target)});
    });
    return out;
}

FormulaSlot ElementReader::formula(const Children& children, Child which) {
    return FormulaSlot{std::string(text(children, which).value_or(std::string_view{})), nullptr};
}

std::vector<Link> ElementReader::links(const Children& children, Child which) {
    std::vector<Link> out;
    out.reserve(children.count(which));
    children.each(which, [&](pugi::xml_node c) {
        if (auto t = text(c)) out.push_back(pending_link(*t));
    });
    return out;
}

}  // namespace korvalite::genicam::xml_readers
