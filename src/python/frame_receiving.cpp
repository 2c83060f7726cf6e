#include "frame_receiving.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "duration.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "gil.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using gige::stream::FramePtr;

using Duration = std::chrono::steady_clock::duration;

nb::object frame_or_none(FramePtr frame) { return frame ? to_python(std::move(frame)) : nb::none(); }

// The connection's error when it is lost and nothing is left to deliver.
std::optional<CameraError> lost_and_drained(FrameReceiver& receiver, const LossCheck& loss) {
    if (!loss || receiver.queued() != 0) return std::nullopt;
    return loss();
}

// Waits up to `timeout` in slices, so a lost connection and host signals are noticed while
// waiting; a signal is looked at only after an empty slice, so no frame taken is dropped.
FramePtr wait_watching(FrameReceiver& receiver, Duration timeout, const LossCheck& loss,
                       std::optional<CameraError>& lost, bool& interrupted) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (auto frame = receiver.try_recv()) return frame;
        if (receiver.has_ended()) return nullptr;
        if ((lost = lost_and_drained(receiver, loss))) return nullptr;
        const Duration waited = std::chrono::steady_clock::now() - start;
        if (waited >= timeout) return nullptr;
        if (auto frame = receiver.wait_for(std::min<Duration>(timeout - waited, FrameReceiver::kIterationSlice)))
            return frame;
        if ((interrupted = signal_raised())) return nullptr;
    }
}

}  // namespace

nb::object wait_for_frame(FrameReceiver& receiver, double timeout_seconds, const LossCheck& loss) {
    const auto timeout = seconds_to_duration(timeout_seconds, "timeout");
    FramePtr frame;
    std::optional<CameraError> lost;
    bool interrupted = false;
    {
        GilRelease release;
        frame = wait_watching(receiver, timeout, loss, lost, interrupted);
    }
    if (interrupted) throw nb::python_error();
    if (lost) raise(*lost);
    return frame_or_none(std::move(frame));
}

nb::object try_recv_frame(FrameReceiver& receiver) { return frame_or_none(receiver.try_recv()); }

nb::list recv_all_frames(FrameReceiver& receiver) {
    nb::list frames;
    for (FramePtr& frame : receiver.recv_all()) frames.append(to_python(std::move(frame)));
    return frames;
}

void clear_frames(FrameReceiver& receiver) { receiver.clear(); }

nb::object next_frame(FrameReceiver& receiver, const LossCheck& loss) {
    for (;;) {
        FramePtr frame;
        bool ended = false;
        std::optional<CameraError> lost;
        {
            GilRelease release;
            frame = receiver.wait_for(FrameReceiver::kIterationSlice);
            // Ended only once the queue is empty too, so no frame slips between the two checks.
            if (!frame) {
                ended = receiver.has_ended() && receiver.queued() == 0;
                if (!ended) lost = lost_and_drained(receiver, loss);
            }
        }
        if (frame) return to_python(std::move(frame));
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (ended) throw nb::stop_iteration();
        if (lost) raise(*lost);
    }
}

}  // namespace korvalite::py
