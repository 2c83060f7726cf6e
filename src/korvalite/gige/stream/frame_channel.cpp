#include "korvalite/gige/stream/frame_channel.hpp"

#include <algorithm>
#include <optional>

#include "korvalite/saturating_time.hpp"

namespace korvalite::gige::stream {

namespace {

using Clock = std::chrono::steady_clock;

// now + timeout (a negative one counts as zero), or none when that instant is past the clock's range.
std::optional<Clock::time_point> deadline_in(Clock::duration timeout) {
    return deadline_after(Clock::now(), std::max(timeout, Clock::duration::zero()));
}

}  // namespace

FramePtr FrameChannel::wait_for(Duration timeout) {
    auto frame = frames_.recv_deadline(deadline_in(timeout));
    return frame ? std::move(*frame) : nullptr;
}

bool FrameChannel::wait_ready(Duration timeout) const {
    return frames_.wait_readable(deadline_in(timeout));
}

FramePtr FrameChannel::try_recv() {
    auto frame = frames_.try_recv();
    return frame ? std::move(*frame) : nullptr;
}

std::vector<FramePtr> FrameChannel::recv_all() { return frames_.drain(); }

void FrameChannel::clear() {
    // The frames go here, outside the queue's lock: their buffers return to the pool as they go.
    (void)frames_.drain();
}

}  // namespace korvalite::gige::stream
