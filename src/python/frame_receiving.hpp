#pragma once
// Taking frames from a subscription on behalf of Python: every wait runs with the interpreter
// lock released, and frames come back as Python Frame objects. Used by FrameChannel and by the
// built-in subscription of an acquisition.
#include <nanobind/nanobind.h>

#include <functional>
#include <optional>

#include "korvalite/device/genicamera.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/frame_channel.hpp"
#include "korvalite/mpmc_channel.hpp"

namespace korvalite::py {

using FrameReceiver = gige::stream::FrameChannel;

// Asked without the interpreter lock: the error of the control connection behind a stream once
// its worker has ended (control lost, or disconnected), else nothing. No frame comes any more then.
// The camera gives the check for the connection a stream is opened on (`GenICamera::loss_check`).
using LossCheck = device::LossCheck;

// A Frame, or None when `timeout_seconds` pass or the stream has ended with the queue empty.
// With the queue empty and the connection lost (`loss`), raises its CameraException instead;
// the wait asks `loss` every 100 ms, and runs pending signal handlers after every empty slice:
// an exception they raise (KeyboardInterrupt, say) ends the wait. A time-out too large to add to
// the current instant waits without limit; a negative, not-a-number or unrepresentable one
// raises ValueError.
nanobind::object wait_for_frame(FrameReceiver& receiver, double timeout_seconds, const LossCheck& loss = {});

// A queued Frame at once, or None.
nanobind::object try_recv_frame(FrameReceiver& receiver);

// Every Frame queued now, oldest first.
nanobind::list recv_all_frames(FrameReceiver& receiver);

// Discards every frame queued now.
void clear_frames(FrameReceiver& receiver);

// The next Frame for iteration: waits in 100 ms slices; after an empty slice pending signals
// raise (e.g. KeyboardInterrupt), and once every sender is gone the iteration ends
// (StopIteration). `loss`, when given, is asked after each empty slice too: a lost connection
// raises its CameraException once the queue is empty.
nanobind::object next_frame(FrameReceiver& receiver, const LossCheck& loss = {});

}  // namespace korvalite::py
