#include "korvalite/gige/control/link_stats.hpp"

#include "korvalite/record_text.hpp"

namespace korvalite::gige {

std::string debug_string(const LinkStats& stats) { return record_text("LinkStats", kLinkStatsFields, stats); }

}  // namespace korvalite::gige
