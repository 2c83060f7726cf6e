#pragma once
// The simulated camera's built-in GenICam description.
#include <string_view>

namespace korvalite::sim {

// The XML text; its registers are those of feature_map.hpp and the bootstrap block.
std::string_view builtin_description();

// The file name the URL register announces for a description in device memory.
inline constexpr std::string_view kDescriptionFileName = "korvalite-simcam";

}  // namespace korvalite::sim
