#include "frame_receiving.hpp"

#include <chrono>
#include <optional>

#include "duration.hpp"
#include "frame.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using Clock = std::chrono::steady_clock;
using gige::stream::FramePtr;

constexpr auto kIterationSlice = std::chrono::milliseconds(100);

// No deadline when `timeout` cannot be added to now.
std::optional<Clock::time_point> deadline_after(Clock::duration timeout) {
    const Clock::time_point now = Clock::now();
    if (timeout > Clock::time_point::max() - now) return std::nullopt;
    return now + timeout;
}

nb::object frame_or_none(std::optional<FramePtr> frame) { return frame ? to_python(std::move(*frame)) : nb::none(); }

}  // namespace

nb::object wait_for_frame(FrameReceiver& receiver, double timeout_seconds) {
    const Clock::duration timeout = seconds_to_duration(timeout_seconds, "timeout");
    std::optional<FramePtr> frame;
    {
        nb::gil_scoped_release release;
        auto received = receiver.recv_deadline(deadline_after(timeout));
        if (received) frame = std::move(*received);
    }
    return frame_or_none(std::move(frame));
}

nb::object try_recv_frame(FrameReceiver& receiver) {
    auto received = receiver.try_recv();
    return received ? to_python(std::move(*received)) : nb::none();
}

nb::list recv_all_frames(FrameReceiver& receiver) {
    nb::list frames;
    for (FramePtr& frame : receiver.drain()) frames.append(to_python(std::move(frame)));
    return frames;
}

void clear_frames(FrameReceiver& receiver) { (void)receiver.drain(); }

nb::object next_frame(FrameReceiver& receiver) {
    for (;;) {
        std::optional<FramePtr> frame;
        bool ended = false;
        {
            nb::gil_scoped_release release;
            auto received = receiver.recv_timeout(kIterationSlice);
            if (received) frame = std::move(*received);
            else ended = received.error() == RecvTimeoutError::Disconnected;
        }
        if (frame) return to_python(std::move(*frame));
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (ended) throw nb::stop_iteration();
    }
}

}  // namespace korvalite::py
