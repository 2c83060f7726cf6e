#pragma once
// Who a feature is meant for.
#include <cstdint>

namespace korvalite::genicam {

// Invisible features are for programs only.
enum class Visibility : std::uint8_t { Beginner = 0, Expert = 1, Guru = 2, Invisible = 3 };

}  // namespace korvalite::genicam
