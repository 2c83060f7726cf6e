#include "events.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <chrono>

#include "duration.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "korvalite/hex.hpp"
#include "text_repr.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using Duration = std::chrono::steady_clock::duration;
using gige::EventChannel;
using gige::proto::GvcpEvent;

constexpr const char* kEventDoc =
    "One device event (an EVENT or EVENTDATA command): its `id`, `name` from the camera's\n"
    "description (None when it names none), `timestamp` in device ticks, `stream_channel`,\n"
    "`block_id` (the frame it concerns, where it concerns one) and `data` (EVENTDATA bytes).";

constexpr const char* kSubscriptionDoc =
    "A subscription to the camera's events, in arrival order. It holds up to `capacity` events;\n"
    "when full, newer events are lost for it. Iterating waits for events until the connection\n"
    "ends or the subscription is closed; Ctrl-C interrupts any wait within 100 ms. Use it as a\n"
    "context manager, or `close()` it.";

EventObject decoded(GvcpEvent event, const genicam::EventNames* names) {
    EventObject out;
    out.id = event.event_id;
    if (names)
        if (auto it = names->find(event.event_id); it != names->end()) out.name = it->second;
    out.timestamp = event.timestamp;
    out.stream_channel = event.stream_channel;
    out.block_id = event.block_id;
    out.data = std::move(event.data);
    return out;
}

nb::object event_or_none(std::optional<GvcpEvent> event, const EventSubscriptionObject& s) {
    if (!event) return nb::none();
    return nb::cast(decoded(std::move(*event), s.names.get()));
}

// The subscription ends with its connection's worker; it ends in an error when the worker
// ended because control was lost.
std::optional<CameraError> end_error(const EventSubscriptionObject& s) {
    if (s.link && s.link->control_lost.load()) return CameraError::control_lost();
    return std::nullopt;
}

struct WaitOutcome {
    std::optional<GvcpEvent> event;
    std::optional<CameraError> lost;
    bool interrupted = false;
    bool ended = false;  // closed, or the worker is gone with the queue empty
};

// Waits up to `timeout` in slices; after every empty slice the closing flag, the end of the
// connection and host signals are looked at, so no event taken is dropped for a signal.
WaitOutcome wait_watching(const EventSubscriptionObject& s, Duration timeout) {
    WaitOutcome out;
    std::shared_ptr<EventChannel> channel = s.channel;
    if (!channel) {
        out.ended = true;
        return out;
    }
    GilRelease release;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if ((out.event = channel->try_recv())) return out;
        if (s.closed->load()) {
            out.ended = true;
            return out;
        }
        if (channel->has_ended()) {  // and nothing is queued: the worker sends no more
            out.lost = end_error(s);
            out.ended = !out.lost;
            return out;
        }
        const Duration waited = std::chrono::steady_clock::now() - start;
        if (waited >= timeout) return out;
        if ((out.event = channel->wait_for(std::min<Duration>(timeout - waited, EventChannel::kIterationSlice))))
            return out;
        if ((out.interrupted = signal_raised())) return out;
    }
}

nb::object wait_for_event(EventSubscriptionObject& s, double timeout_seconds) {
    WaitOutcome out = wait_watching(s, seconds_to_duration(timeout_seconds, "timeout"));
    if (out.interrupted) throw nb::python_error();
    if (out.lost) raise(*out.lost);
    return event_or_none(std::move(out.event), s);
}

nb::object next_event(EventSubscriptionObject& s) {
    WaitOutcome out = wait_watching(s, Duration::max());
    if (out.interrupted) throw nb::python_error();
    if (out.event) return event_or_none(std::move(out.event), s);
    if (out.lost) raise(*out.lost);
    throw nb::stop_iteration();
}

// Whether an event is queued or the subscription has ended, waiting up to `seconds` without
// taking anything (for asyncio waits, which run on a thread of their own).
bool wait_ready(EventSubscriptionObject& s, double seconds) {
    std::shared_ptr<EventChannel> channel = s.channel;
    if (!channel) return true;
    const Duration timeout = seconds_to_duration(seconds, "timeout");
    GilRelease release;
    return channel->wait_ready(timeout) || s.closed->load();
}

void close_subscription(EventSubscriptionObject& s) {
    s.closed->store(true);
    std::shared_ptr<EventChannel> channel = std::move(s.channel);
    without_gil([&] { channel.reset(); });  // the worker drops its end on its next event
}

std::string event_repr(const EventObject& e) {
    return "Event(id=" + hex_code(e.id, 4) + ", name=" + (e.name ? quoted(*e.name) : std::string("None")) +
           ", timestamp=" + std::to_string(e.timestamp) + ", stream_channel=" + std::to_string(e.stream_channel) +
           ", block_id=" + std::to_string(e.block_id) + ", data=" + std::to_string(e.data.size()) + " bytes)";
}

}  // namespace

void bind_events(nb::module_& m) {
    nb::class_<EventObject>(m, "Event", kEventDoc)
        .def_ro("id", &EventObject::id, "The event id (16 bits).")
        .def_ro("name", &EventObject::name, "The event's name in the camera's description, or None.")
        .def_ro("timestamp", &EventObject::timestamp, "When it happened, in device timestamp ticks.")
        .def_ro("stream_channel", &EventObject::stream_channel,
                "The stream channel it concerns (0xFFFF: none).")
        .def_ro("block_id", &EventObject::block_id, "The block id (frame) it concerns, or 0.")
        .def_prop_ro("data", [](const EventObject& e) { return nb::bytes(e.data.data(), e.data.size()); },
                     "The EVENTDATA bytes after the event record (empty for EVENT).")
        .def("__repr__", &event_repr,
             "`Event(id=0x9002, name=\"ExposureEnd\", timestamp=..., stream_channel=0, block_id=7, data=0 bytes)`.");

    nb::class_<EventSubscriptionObject>(m, "EventSubscription", kSubscriptionDoc)
        .def("wait_for", &wait_for_event, "timeout"_a = 1.0,
             nb::sig("def wait_for(self, timeout: float = 1.0) -> Event | None"),
             "Wait up to `timeout` seconds for the next event; None on time-out, or once closed or\n"
             "ended. Raises CameraException once the camera's control is lost and no event is left.")
        .def("try_recv",
             [](EventSubscriptionObject& s) {
                 std::shared_ptr<EventChannel> channel = s.channel;
                 return channel ? event_or_none(channel->try_recv(), s) : nb::none();
             },
             nb::sig("def try_recv(self) -> Event | None"), "A queued event at once, or None.")
        .def("close", &close_subscription, "Stop receiving events; waits in progress end within 100 ms.")
        .def_prop_ro("closed", [](const EventSubscriptionObject& s) { return s.closed->load(); },
                     "Whether `close()` was called.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __iter__(self) -> EventSubscription"),
             "The subscription itself: iteration yields events until it is closed or the connection ends.")
        .def("__next__", &next_event, nb::sig("def __next__(self) -> Event"),
             "The next event; Ctrl-C interrupts the wait.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __enter__(self) -> EventSubscription"), "The subscription itself.")
        .def("__exit__", [](EventSubscriptionObject& s, nb::args) { close_subscription(s); },
             "Closes the subscription.")
        .def("_wait_ready", &wait_ready, "seconds"_a,
             "Wait up to `seconds` until an event is queued or the subscription has ended, without\n"
             "taking the event; whether either is so (used by `next_async`).")
        .def("_ended",
             [](EventSubscriptionObject& s) {
                 std::shared_ptr<EventChannel> channel = s.channel;
                 return !channel || s.closed->load() || (channel->has_ended() && channel->queued() == 0);
             },
             "Whether the subscription is closed, or has ended with no event left (used by `next_async`).")
        .def(
            "next_async",
            [](nb::handle self) { return nb::module_::import_("korvalite._aio").attr("next_event_async")(self); },
            nb::sig("def next_async(self) -> collections.abc.Awaitable[Event | None]"),
            "The next event for asyncio: `await events.next_async()`; None once the subscription is\n"
            "closed or has ended. The wait runs on a korvalite thread that never takes an event itself,\n"
            "so cancelling the awaiting task loses none.");
}

nb::object make_event_subscription(gige::EventChannel channel, genicam::EventNames names,
                                   std::shared_ptr<void> keep_alive, std::shared_ptr<const gige::Shared> link) {
    EventSubscriptionObject s;
    s.channel = std::make_shared<EventChannel>(std::move(channel));
    s.names = std::make_shared<const genicam::EventNames>(std::move(names));
    s.keep_alive = std::move(keep_alive);
    s.link = std::move(link);
    return nb::cast(std::move(s));
}

}  // namespace korvalite::py
