#include "korvalite/gige/stream/stats.hpp"

#include "korvalite/record_text.hpp"

namespace korvalite::gige::stream {

std::string to_string(const StreamStats& stats) { return record_text("StreamStats", kStreamStatsFields, stats); }

}  // namespace korvalite::gige::stream
