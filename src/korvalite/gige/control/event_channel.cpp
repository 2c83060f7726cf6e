#include "korvalite/gige/control/event_channel.hpp"

#include "korvalite/saturating_time.hpp"

namespace korvalite::gige {

namespace {

// now + timeout (now itself for a time-out of zero or less), or none past the clock's range.
std::optional<SteadyClock::time_point> deadline_in(SteadyClock::duration timeout) {
    const auto now = SteadyClock::now();
    if (timeout <= SteadyClock::duration::zero()) return now;
    return deadline_after(now, timeout);
}

}  // namespace

std::optional<proto::GvcpEvent> EventChannel::wait_for(Duration timeout) {
    auto event = events_.recv_deadline(deadline_in(timeout));
    if (!event) return std::nullopt;
    return std::move(*event);
}

bool EventChannel::wait_ready(Duration timeout) const { return events_.wait_readable(deadline_in(timeout)); }

std::optional<proto::GvcpEvent> EventChannel::try_recv() {
    auto event = events_.try_recv();
    if (!event) return std::nullopt;
    return std::move(*event);
}

std::pair<Sender<proto::GvcpEvent>, EventChannel> make_event_channel(std::size_t capacity) {
    auto [sender, receiver] = bounded<proto::GvcpEvent>(capacity);
    return {std::move(sender), EventChannel(std::move(receiver))};
}

}  // namespace korvalite::gige
