#include "korvalite/gige/link_stats.hpp"

namespace korvalite::gige {

std::string debug_string(const LinkStats& s) {
    auto field = [](const char* name, std::uint64_t value) { return std::string(name) + ": " + std::to_string(value); };
    return "LinkStats { " + field("commands", s.commands) + ", " + field("acks", s.acks) + ", " +
           field("retries", s.retries) + ", " + field("timeouts", s.timeouts) + ", " + field("naks", s.naks) + ", " +
           field("pending_acks", s.pending_acks) + ", " + field("heartbeats", s.heartbeats) + ", " +
           field("events", s.events) + ", " + field("unsolicited", s.unsolicited) + " }";
}

}  // namespace korvalite::gige
