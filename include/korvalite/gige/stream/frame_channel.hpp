#pragma once
// One subscription to a stream: the receiving end of a bounded queue of completed frames that
// the stream worker fills. Copies share the one queue; each frame goes to exactly one taker.
// When the worker ends, the subscription reports its end once its queue is empty.
#include <chrono>
#include <cstddef>
#include <vector>

#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/mpmc_channel.hpp"

namespace korvalite::gige::stream {

class FrameChannel {
public:
    using Duration = std::chrono::steady_clock::duration;
    // Iteration waits this long at a time between checks for host signals.
    static constexpr Duration kIterationSlice = std::chrono::milliseconds(100);

    explicit FrameChannel(Receiver<FramePtr> frames) : frames_(std::move(frames)) {}

    // A frame, waiting up to `timeout` for one; null when the time runs out, or at once when the
    // stream has ended and the queue is empty. A time-out too large to add to the current
    // instant (Duration::max(), say) waits without limit.
    FramePtr wait_for(Duration timeout);
    // Waits up to `timeout` until a frame is queued or the stream has ended, without taking
    // the frame; whether either is so.
    bool wait_ready(Duration timeout) const;
    // A queued frame, or null, without waiting.
    FramePtr try_recv();
    // Every frame queued at this moment, oldest first, without waiting.
    std::vector<FramePtr> recv_all();
    // Discards every frame queued at this moment.
    void clear();

    // The worker's sending end is gone (frames may still be queued).
    bool has_ended() const { return frames_.is_disconnected(); }
    std::size_t queued() const { return frames_.size(); }

private:
    Receiver<FramePtr> frames_;
};

}  // namespace korvalite::gige::stream
