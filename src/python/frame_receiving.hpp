#pragma once
// Taking frames from a subscription on behalf of Python: every wait runs with the interpreter
// lock released, and frames come back as Python Frame objects. Used by FrameChannel and by the
// built-in subscription of an acquisition.
#include <nanobind/nanobind.h>

#include <functional>

#include "korvalite/mpmc_channel.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/frame_channel.hpp"

namespace korvalite::py {

using FrameReceiver = gige::stream::FrameChannel;

// A Frame, or None when `timeout_seconds` pass or the stream has ended with the queue empty.
// A time-out too large to add to the current instant waits without limit; a negative,
// not-a-number or unrepresentable one raises ValueError.
nanobind::object wait_for_frame(FrameReceiver& receiver, double timeout_seconds);

// A queued Frame at once, or None.
nanobind::object try_recv_frame(FrameReceiver& receiver);

// Every Frame queued now, oldest first.
nanobind::list recv_all_frames(FrameReceiver& receiver);

// Discards every frame queued now.
void clear_frames(FrameReceiver& receiver);

// The next Frame for iteration: waits in 100 ms slices; after an empty slice pending signals
// raise (e.g. KeyboardInterrupt), and once every sender is gone the iteration ends
// (StopIteration). `source_gone`, when given, is asked (interpreter lock released) after each
// empty slice too: true ends the iteration once the queue is empty, as if the stream had ended.
nanobind::object next_frame(FrameReceiver& receiver, const std::function<bool()>& source_gone = {});

}  // namespace korvalite::py
