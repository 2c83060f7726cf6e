#include "korvalite/genicam/literal_text.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace korvalite::genicam {

namespace {

bool is_ascii_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Eight bytes at a time: pretty-printed descriptions put a line break and a run of indentation
// around most texts.
constexpr std::uint64_t kEveryByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = kEveryByte * 0x80;

std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;  // the byte at p is the lowest
}

// The high bit of each byte of `word` that is an ASCII blank. Every sum stays within its byte.
std::uint64_t blank_bytes(std::uint64_t word) {
    const std::uint64_t low = word & ~kHighBits;
    const std::uint64_t space = ~((low ^ (kEveryByte * ' ')) + kEveryByte * 0x7F);
    const std::uint64_t from_tab = low + kEveryByte * (0x80 - '\t');
    const std::uint64_t beyond_return = low + kEveryByte * (0x80 - '\r' - 1);
    return (space | (from_tab & ~beyond_return)) & ~word & kHighBits;
}

std::size_t ascii_blanks_at_start(std::string_view s) {
    std::size_t i = 0;
    while (s.size() - i >= 8) {
        const std::uint64_t others = ~blank_bytes(load_word(s.data() + i)) & kHighBits;
        const auto run = static_cast<std::size_t>(std::countr_zero(others)) / 8;
        i += run;
        if (run < 8) return i;
    }
    while (i < s.size() && is_ascii_blank(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

std::size_t ascii_blanks_at_end(std::string_view s) {
    std::size_t n = s.size();
    while (n >= 8) {
        const std::uint64_t others = ~blank_bytes(load_word(s.data() + n - 8)) & kHighBits;
        const auto run = static_cast<std::size_t>(std::countl_zero(others)) / 8;
        n -= run;
        if (run < 8) return s.size() - n;
    }
    while (n > 0 && is_ascii_blank(static_cast<unsigned char>(s[n - 1]))) --n;
    return s.size() - n;
}

// Length of the white-space character that starts `s`, or 0.
std::size_t leading_space(std::string_view s) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.empty()) return 0;
    if (is_ascii_blank(b(0))) return 1;
    if (s.size() >= 2 && b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (s.size() < 3) return 0;
    if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;                          // U+1680
    if (b(0) == 0xE2 && b(1) == 0x80 &&
        (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF) && b(2) >= 0x80)
        return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white-space character that ends `s`, or 0.
std::size_t trailing_space(std::string_view s) {
    if (s.empty()) return 0;
    if (is_ascii_blank(static_cast<unsigned char>(s.back()))) return 1;
    for (std::size_t len : {2u, 3u})
        if (s.size() >= len && leading_space(s.substr(s.size() - len)) == len) return len;
    return 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// The decimal exponent of the leading significant digit of `mantissa` (digits with an optional
// point) times 10^`exponent`: positive for values too large for a double, not for ones too small.
std::int64_t magnitude(std::string_view mantissa, std::int64_t exponent) {
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    for (std::size_t i = 0; i < mantissa.size(); ++i) {
        if (mantissa[i] == '.' || mantissa[i] == '0') continue;
        const auto position = i < point ? static_cast<std::int64_t>(point - 1 - i)
                                        : -static_cast<std::int64_t>(i - point);
        return exponent + position;
    }
    return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    // Pretty-printed descriptions surround most texts with ASCII blanks: those go a word at a
    // time; only a byte of 0x80 or above at an edge can begin or end a wider white space.
    for (;;) {
        text.remove_prefix(ascii_blanks_at_start(text));
        if (text.empty() || static_cast<unsigned char>(text.front()) < 0x80) break;
        const std::size_t n = leading_space(text);
        if (n == 0) break;
        text.remove_prefix(n);
    }
    for (;;) {
        text.remove_suffix(ascii_blanks_at_end(text));
        if (text.empty() || static_cast<unsigned char>(text.back()) < 0x80) break;
        const std::size_t wide = trailing_space(text);
        if (wide == 0) break;
        text.remove_suffix(wide);
    }
    return text;
}

std::optional<std::int64_t> parse_i64(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string_view digits = text.substr(2);
        if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
        std::uint64_t value = 0;
        const char* end = digits.data() + digits.size();
        auto [ptr, ec] = std::from_chars(digits.data(), end, value, 16);
        if (digits.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
        return std::bit_cast<std::int64_t>(value);
    }
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits[0] == '-') return std::nullopt;
    }
    std::int64_t value = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, 10);
    if (digits.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

std::optional<double> parse_float_literal(std::string_view text) {
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    const double sign = negative ? -1.0 : 1.0;
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
        return sign * std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(body, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

    // Check the grammar ourselves: from_chars alone would also take hexadecimal-free forms we
    // reject ("nan(...)") and reports out-of-range values without a value.
    std::size_t i = 0;
    std::size_t mantissa_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return std::nullopt;
    const std::string_view mantissa = body.substr(0, i);
    std::int64_t exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) exp_negative = body[i++] == '-';
        std::size_t exp_digits = 0;
        for (; i < body.size() && is_digit(body[i]); ++i, ++exp_digits)
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[i] - '0');
        if (exp_digits == 0) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != body.size()) return std::nullopt;

    double value = 0.0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        value = magnitude(mantissa, exponent) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc{} || ptr != body.data() + body.size()) {
        return std::nullopt;
    }
    return sign * value;
}

}  // namespace korvalite::genicam
