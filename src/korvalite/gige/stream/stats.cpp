#include "korvalite/gige/stream/stats.hpp"

namespace korvalite::gige::stream {

std::string to_string(const StreamStats& stats) {
    std::string out = "StreamStats {";
    const char* separator = " ";
    for (const auto& [name, member] : kStreamStatsFields) {
        out += separator;
        out += name;
        out += ": ";
        out += std::to_string(stats.*member);
        separator = ", ";
    }
    out += " }";
    return out;
}

}  // namespace korvalite::gige::stream
