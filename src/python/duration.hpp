#pragma once
// Seconds given from Python (float) as a duration. A negative, not-a-number or unrepresentably
// large value raises ValueError naming the argument, before the caller does anything else.
#include <nanobind/nanobind.h>

#include <chrono>
#include <cmath>
#include <string>

namespace korvalite::py {

inline std::chrono::steady_clock::duration seconds_to_duration(double seconds, const char* name) {
    using Duration = std::chrono::steady_clock::duration;
    const std::chrono::duration<double> value(seconds);
    if (!(seconds >= 0.0) || value >= std::chrono::duration<double>(Duration::max())) {
        const nanobind::str shown = nanobind::repr(nanobind::float_(seconds));
        throw nanobind::value_error(
            (std::string(name) + " must be a finite, non-negative number of seconds, not " + shown.c_str()).c_str());
    }
    return std::chrono::duration_cast<Duration>(value);
}

}  // namespace korvalite::py
