#include "frame_channel.hpp"

#include "duration.hpp"
#include "frames_async.hpp"
#include "gil.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

constexpr const char* kFrameChannelDoc =
    "A clone-able receiver for completed frames. Each subscription has its own\n"
    "bounded buffer; when it is full new frames are dropped for that\n"
    "subscriber and counted in [`StreamStats::frames_dropped`].";

}  // namespace

void bind_frame_channel(nb::module_& m) {
    nb::class_<FrameChannelObject> cls(m, "FrameChannel", kFrameChannelDoc);
    cls.def("wait_for",
             [](FrameChannelObject& c, double timeout) { return wait_for_frame(c.receiver, timeout, c.loss); },
             "timeout"_a, nb::sig("def wait_for(self, timeout: float) -> Frame | None"),
             "Wait up to `timeout` seconds for the next frame; None on time-out or when the stream has ended.\n"
             "Raises CameraException once the camera's control is lost and no frame is left.")
        .def("try_recv", [](FrameChannelObject& c) { return try_recv_frame(c.receiver); },
             nb::sig("def try_recv(self) -> Frame | None"), "A buffered frame at once, or None.")
        .def("recv_all", [](FrameChannelObject& c) { return recv_all_frames(c.receiver); },
             nb::sig("def recv_all(self) -> list[Frame]"), "Every buffered frame, oldest first.")
        .def("clear", [](FrameChannelObject& c) { clear_frames(c.receiver); }, "Discard the buffered frames.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __iter__(self) -> FrameChannel"),
             "The channel itself: iteration yields frames until the stream ends and the buffer is empty.")
        .def("__next__", [](FrameChannelObject& c) { return next_frame(c.receiver, c.loss); },
             nb::sig("def __next__(self) -> Frame"),
             "The next frame; Ctrl-C interrupts the wait. Raises CameraException once the camera's\n"
             "control is lost and no frame is left.");
    def_frames_async(cls, [](FrameChannelObject& c) -> FrameReceiver& { return c.receiver; });
}

nb::object make_frame_channel(FrameReceiver receiver, std::shared_ptr<void> keep_alive, LossCheck loss) {
    return nb::cast(FrameChannelObject{std::move(receiver), std::move(keep_alive), std::move(loss)});
}

}  // namespace korvalite::py
