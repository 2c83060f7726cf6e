#pragma once
// Decoding device text: UTF-8 with every invalid sequence replaced by U+FFFD.
#include <cstddef>
#include <span>
#include <string>

namespace korvalite {

// Valid sequences are copied; each maximal invalid subpart becomes one U+FFFD (EF BF BD).
std::string utf8_lossy(std::span<const std::byte> bytes);

}  // namespace korvalite
