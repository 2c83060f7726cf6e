#pragma once
// Readers for the literal texts of a device description: white-space trimming, 64-bit
// integers (decimal or "0x" hexadecimal) and decimal floats. Each accepts exactly its grammar
// and nothing around it; callers trim first.
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvalite::genicam {

// `text` without leading and trailing Unicode white space (ASCII blanks, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string_view trim_white_space(std::string_view text);

// A signed 64-bit integer: "0x"/"0X" then an optional "+" and 1 to 64 bits of hexadecimal
// digits, taken as a bit pattern ("0xFFFFFFFFFFFFFFFF" is -1); or an optional sign and decimal
// digits within the signed 64-bit range.
std::optional<std::int64_t> parse_i64(std::string_view text);

// A decimal float: optional sign, digits with an optional "." (digits may be missing on one
// side, not both), optional exponent "e"/"E" with optional sign and at least one digit; or
// "inf", "infinity", "nan" in any letter case after an optional sign. Magnitudes beyond the
// double range give infinity, below it zero.
std::optional<double> parse_float_literal(std::string_view text);

}  // namespace korvalite::genicam
