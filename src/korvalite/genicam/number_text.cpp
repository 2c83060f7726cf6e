#include "korvalite/genicam/number_text.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace korvalite::genicam {
namespace {

constexpr const char* kEmptyInteger = "cannot parse integer from empty string";
constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kEmptyFloat = "cannot parse float from empty string";
constexpr const char* kInvalidFloat = "invalid float literal";

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// Where a decimal text lies in the double range, once from_chars has called it out of range:
// the power of ten of its first significant digit tells overflow from underflow.
bool overflows(std::string_view mantissa, std::string_view exponent) {
    long long exp10 = 0;
    bool negative = false;
    std::size_t i = 0;
    if (i < exponent.size() && (exponent[i] == '+' || exponent[i] == '-')) negative = exponent[i++] == '-';
    for (; i < exponent.size(); ++i)
        if (exp10 < 1'000'000) exp10 = exp10 * 10 + (exponent[i] - '0');
    if (negative) exp10 = -exp10;

    const std::size_t point = mantissa.find('.');
    const std::size_t integer_digits = point == std::string_view::npos ? mantissa.size() : point;
    long long position = static_cast<long long>(integer_digits);  // power of ten + 1 of a digit
    for (char c : mantissa) {
        if (c == '.') continue;
        if (c != '0') break;
        --position;
    }
    return exp10 + position > 0;
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text, unsigned base,
                                                         std::uint64_t max) {
    if (text.empty()) return std::unexpected(kEmptyInteger);
    std::size_t i = 0;
    if (text[0] == '+') {
        if (text.size() == 1) return std::unexpected(kInvalidDigit);
        i = 1;
    }
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = digit_value(text[i]);
        if (digit >= static_cast<int>(base)) return std::unexpected(kInvalidDigit);
        if (value > (max - static_cast<std::uint64_t>(digit)) / base) return std::unexpected(kTooLarge);
        value = value * base + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::expected<double, std::string> parse_decimal_float(std::string_view text) {
    if (text.empty()) return std::unexpected(kEmptyFloat);

    std::size_t i = 0;
    std::size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (is_decimal_digit(c)) ++digits;
        else if (c == '.' && !point) point = true;
        else break;
    }
    const std::string_view mantissa = text.substr(0, i);
    std::string_view exponent;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        const std::size_t first_digit = j;
        while (j < text.size() && is_decimal_digit(text[j])) ++j;
        if (j == first_digit) return std::unexpected(kInvalidFloat);
        exponent = text.substr(i + 1, j - i - 1);
        i = j;
    }
    if (digits == 0 || i != text.size()) return std::unexpected(kInvalidFloat);

    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range)
        return overflows(mantissa, exponent) ? std::numeric_limits<double>::infinity() : 0.0;
    if (ec != std::errc{} || end != text.data() + text.size()) return std::unexpected(kInvalidFloat);
    return value;
}

}  // namespace korvalite::genicam
