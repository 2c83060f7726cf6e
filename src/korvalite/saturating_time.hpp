#pragma once
// Time arithmetic that stays in range. Time-outs come from callers as any non-negative
// duration the clock can hold; multiplying or adding them, or adding them to the current
// instant, is held at the largest value instead of overflowing (which would turn a very long
// wait into an immediate time-out).
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace korvalite {

using SteadyClock = std::chrono::steady_clock;

// d * n for d >= 0 and n >= 0, held at the largest duration.
inline SteadyClock::duration saturating_mul(SteadyClock::duration d, std::int64_t n) {
    using Rep = SteadyClock::duration::rep;
    if (d.count() <= 0 || n <= 0) return SteadyClock::duration::zero();
    if (d.count() > std::numeric_limits<Rep>::max() / n) return SteadyClock::duration::max();
    return d * n;
}

// a + b for a, b >= 0, held at the largest duration.
inline SteadyClock::duration saturating_add(SteadyClock::duration a, SteadyClock::duration b) {
    if (b > SteadyClock::duration::max() - a) return SteadyClock::duration::max();
    return a + b;
}

// start + d, or nothing when that instant lies past the clock's range (wait without limit).
inline std::optional<SteadyClock::time_point> deadline_after(SteadyClock::time_point start,
                                                             SteadyClock::duration d) {
    if (d > SteadyClock::time_point::max() - start) return std::nullopt;
    return start + d;
}

// start + d, held at the clock's last instant.
inline SteadyClock::time_point saturating_deadline(SteadyClock::time_point start, SteadyClock::duration d) {
    return deadline_after(start, d).value_or(SteadyClock::time_point::max());
}

}  // namespace korvalite
