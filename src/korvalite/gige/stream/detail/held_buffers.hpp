#pragma once
// When every frame buffer of a stream is out in delivered frames (held by the application or
// waiting in its queues), each new frame is dropped as an underrun until one comes back. That
// stall is silent in the counters alone, so it is logged: once when it starts, then at most once
// per interval while it goes on.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "korvalite/log.hpp"

namespace korvalite::gige::stream {

class HeldBuffersWarning {
public:
    using Instant = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration kInterval = std::chrono::seconds(10);

    explicit HeldBuffersWarning(std::size_t n_buffers) : n_buffers_(n_buffers) {}

    // An underrun at `now`, with `assembling` frames being assembled by the worker (each holding
    // a buffer): warns when none is, unless the last warning is younger than kInterval.
    void on_underrun(std::size_t assembling, Instant now, const log::Target& target);

private:
    std::size_t n_buffers_;
    std::uint64_t dropped_since_warning_ = 0;
    bool warned_ = false;
    Instant last_warning_{};
};

}  // namespace korvalite::gige::stream
