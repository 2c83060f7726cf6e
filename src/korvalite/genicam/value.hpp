#pragma once
// The numbers the feature model computes with: a signed 64-bit integer or a double, and the
// conversions between them that every part of the model uses.
#include <cmath>
#include <cstdint>
#include <limits>

namespace korvalite::genicam {

// Float to integer: nearest integer with halves away from zero, saturated to the 64-bit range;
// NaN gives 0.
inline std::int64_t float_to_int(double x) {
    constexpr double kTwoPow63 = 9223372036854775808.0;
    if (std::isnan(x)) return 0;
    const double rounded = std::round(x);
    if (rounded >= kTwoPow63) return std::numeric_limits<std::int64_t>::max();
    if (rounded < -kTwoPow63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

// Integer to float: the nearest double.
inline double int_to_float(std::int64_t x) { return static_cast<double>(x); }

// A run-time value of a formula or feature: an integer or a float, never both.
class Value {
public:
    // The integer 0.
    constexpr Value() : is_float_(false), int_(0) {}
    static constexpr Value from_int(std::int64_t x) { return Value(x); }
    static constexpr Value from_float(double x) { return Value(x); }

    constexpr bool is_int() const { return !is_float_; }
    constexpr bool is_float() const { return is_float_; }
    // The stored number as it is; only meaningful for the matching kind.
    constexpr std::int64_t int_value() const { return int_; }
    constexpr double float_value() const { return float_; }

    std::int64_t to_int() const { return is_float_ ? float_to_int(float_) : int_; }
    double to_float() const { return is_float_ ? float_ : int_to_float(int_); }
    // Integers are true when non-zero; floats unless they are +0.0 or -0.0 (NaN is true).
    constexpr bool truth() const { return is_float_ ? float_ != 0.0 : int_ != 0; }

    // Same kind and same number; floats compare by value, so NaN equals nothing.
    constexpr bool operator==(const Value& other) const {
        if (is_float_ != other.is_float_) return false;
        return is_float_ ? float_ == other.float_ : int_ == other.int_;
    }

private:
    explicit constexpr Value(std::int64_t x) : is_float_(false), int_(x) {}
    explicit constexpr Value(double x) : is_float_(true), float_(x) {}

    bool is_float_;
    union {
        std::int64_t int_;
        double float_;
    };
};

}  // namespace korvalite::genicam
