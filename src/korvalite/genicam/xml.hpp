#pragma once
// Builds the feature graph from the text of a device description.
#include <string_view>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"

namespace korvalite::genicam {

// Reads the node elements of `text` (directly under the root or inside `Group` elements), adds
// the built-in TLParamsLocked, GevSCPSPacketSize and GevTimestampTickFrequency nodes the
// description lacks, resolves every link it can by name and builds the invalidation index.
// Unknown elements, unparsable numbers and dangling names are not errors; malformed XML is:
// Description with "device description: " + the XML parser's message and position.
[[nodiscard]] GenicamResult<Genicam> parse_description(std::string_view text);

}  // namespace korvalite::genicam
