#include "frame_receiving.hpp"

#include "duration.hpp"
#include "frame.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using gige::stream::FramePtr;

nb::object frame_or_none(FramePtr frame) { return frame ? to_python(std::move(frame)) : nb::none(); }

}  // namespace

nb::object wait_for_frame(FrameReceiver& receiver, double timeout_seconds) {
    const auto timeout = seconds_to_duration(timeout_seconds, "timeout");
    FramePtr frame;
    {
        nb::gil_scoped_release release;
        frame = receiver.wait_for(timeout);
    }
    return frame_or_none(std::move(frame));
}

nb::object try_recv_frame(FrameReceiver& receiver) { return frame_or_none(receiver.try_recv()); }

nb::list recv_all_frames(FrameReceiver& receiver) {
    nb::list frames;
    for (FramePtr& frame : receiver.recv_all()) frames.append(to_python(std::move(frame)));
    return frames;
}

void clear_frames(FrameReceiver& receiver) { receiver.clear(); }

nb::object next_frame(FrameReceiver& receiver) {
    for (;;) {
        FramePtr frame;
        bool ended = false;
        {
            nb::gil_scoped_release release;
            frame = receiver.wait_for(FrameReceiver::kIterationSlice);
            // Ended only once the queue is empty too, so no frame slips between the two checks.
            if (!frame) ended = receiver.has_ended() && receiver.queued() == 0;
        }
        if (frame) return to_python(std::move(frame));
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (ended) throw nb::stop_iteration();
    }
}

}  // namespace korvalite::py
