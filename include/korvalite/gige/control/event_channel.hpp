#pragma once
// One subscription to a device's events: the receiving end of a bounded queue the control
// worker fills with every EVENT and EVENTDATA command it acknowledges. A full queue loses the
// newest events for this subscription only. When the worker ends, the subscription reports its
// end once its queue is empty.
#include <chrono>
#include <cstddef>
#include <optional>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/mpmc_channel.hpp"

namespace korvalite::gige {

class EventChannel {
public:
    using Duration = std::chrono::steady_clock::duration;
    // Waits last this long at a time between checks for host signals.
    static constexpr Duration kIterationSlice = std::chrono::milliseconds(100);

    explicit EventChannel(Receiver<proto::GvcpEvent> events) : events_(std::move(events)) {}

    // An event, waiting up to `timeout`; nothing when the time runs out, or at once when the
    // worker has ended and the queue is empty. A time-out too large to add to the current
    // instant waits without limit.
    std::optional<proto::GvcpEvent> wait_for(Duration timeout);
    // Waits up to `timeout` until an event is queued or the worker has ended, taking nothing;
    // whether either is so.
    bool wait_ready(Duration timeout) const;
    // A queued event, or nothing, without waiting.
    std::optional<proto::GvcpEvent> try_recv();

    // The worker's sending end is gone (events may still be queued).
    bool has_ended() const { return events_.is_disconnected(); }
    std::size_t queued() const { return events_.size(); }

private:
    Receiver<proto::GvcpEvent> events_;
};

// A subscription with room for `capacity` events.
std::pair<Sender<proto::GvcpEvent>, EventChannel> make_event_channel(std::size_t capacity);

}  // namespace korvalite::gige
