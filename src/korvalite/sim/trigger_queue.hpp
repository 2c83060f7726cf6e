#pragma once
// Frame-start triggers the simulated camera has accepted and not yet turned into frames: one
// frame per trigger, stamped with the instant of its trigger. Guarded by the device's mutex.
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

namespace korvalite::sim {

class TriggerQueue {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // Triggers beyond this many pending ones are ignored, as a camera ignores over-triggering.
    static constexpr std::size_t kMaxPending = 16;

    // False when the trigger was ignored because too many are pending.
    bool push(TimePoint at) {
        if (pending_.size() >= kMaxPending) return false;
        pending_.push_back(at);
        return true;
    }
    std::optional<TimePoint> pop() {
        if (pending_.empty()) return std::nullopt;
        const TimePoint at = pending_.front();
        pending_.pop_front();
        return at;
    }
    bool empty() const { return pending_.empty(); }
    void clear() { pending_.clear(); }

private:
    std::deque<TimePoint> pending_;
};

}  // namespace korvalite::sim
