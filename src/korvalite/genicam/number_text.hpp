#pragma once
// Reading numbers from description texts (location URLs, formula literals), with the reasons
// for a refusal worded as the feature model reports them.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace korvalite::genicam {

// An unsigned number in `base` (2 to 16; letters in either case) of at most `max`, with one
// optional leading "+". Nothing else is accepted: no prefix, no sign, no white space.
[[nodiscard]] std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text, unsigned base,
                                                         std::uint64_t max = UINT64_MAX);

// A decimal float: digits with at most one ".", at least one digit, then optionally "e" or "E",
// an optional sign and digits. Values beyond the double range give infinity or zero.
[[nodiscard]] std::expected<double, std::string> parse_decimal_float(std::string_view text);

}  // namespace korvalite::genicam
