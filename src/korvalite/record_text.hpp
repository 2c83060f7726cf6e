#pragma once
// The text form shared by the counter records: "Name { field: 1, other: 2 }", fields in the
// order of the record's field table (pairs of name and member pointer).
#include <string>
#include <string_view>

namespace korvalite {

template <class Record, class Fields>
std::string record_text(std::string_view type_name, const Fields& fields, const Record& record) {
    std::string out(type_name);
    out += " {";
    const char* separator = " ";
    for (const auto& [name, member] : fields) {
        out += separator;
        out += name;
        out += ": ";
        out += std::to_string(record.*member);
        separator = ", ";
    }
    out += " }";
    return out;
}

}  // namespace korvalite
