#pragma once
// `frames_async()` for any class whose frames arrive on a FrameReceiver: the asyncio iterator
// (korvalite._aio) waits with `_wait_ready` on a korvalite thread that never takes a frame, and
// stops once `_ended` says the stream has ended with nothing left.
#include <nanobind/nanobind.h>

#include "duration.hpp"
#include "frame_receiving.hpp"
#include "gil.hpp"

namespace korvalite::py {

// `receiver_of(self)` gives the instance's FrameReceiver.
template <class T, class ReceiverOf>
void def_frames_async(nanobind::class_<T>& cls, ReceiverOf receiver_of) {
    namespace nb = nanobind;
    using namespace nb::literals;
    cls.def(
           "_wait_ready",
           [receiver_of](T& self, double timeout) {
               const auto wait = seconds_to_duration(timeout, "timeout");
               FrameReceiver& frames = receiver_of(self);
               GilRelease release;
               return frames.wait_ready(wait);
           },
           "timeout"_a,
           "Wait up to `timeout` seconds until a frame is queued or the stream has ended,\n"
           "without taking the frame; whether either is so (used by `frames_async`).")
        .def(
            "_ended",
            [receiver_of](T& self) {
                FrameReceiver& frames = receiver_of(self);
                return frames.has_ended() && frames.queued() == 0;
            },
            "Whether the stream has ended with no frame left (used by `frames_async`).")
        .def(
            "frames_async",
            [](nb::handle self) { return nb::module_::import_("korvalite._aio").attr("frames_async")(self); },
            nb::sig("def frames_async(self) -> collections.abc.AsyncIterator[Frame]"),
            "The arriving frames for `async for`, ending with the stream. The wait runs on a\n"
            "korvalite thread that never takes a frame itself, so cancelling the awaiting task\n"
            "loses none; the frames stay for the next wait.");
}

}  // namespace korvalite::py
