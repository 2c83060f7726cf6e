#include "korvalite/gige/link_stats.hpp"

namespace korvalite::gige {

std::string debug_string(const LinkStats& stats) {
    std::string out = "LinkStats {";
    const char* separator = " ";
    for (const auto& [name, member] : kLinkStatsFields) {
        out += separator;
        out += name;
        out += ": ";
        out += std::to_string(stats.*member);
        separator = ", ";
    }
    out += " }";
    return out;
}

}  // namespace korvalite::gige
