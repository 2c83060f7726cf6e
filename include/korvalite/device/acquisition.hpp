#pragma once
// Driving image capture through the standard features: continuous acquisition (start, stop)
// and on-demand single frames in a snapshot session (open, snap, close). The callers hold the
// camera's mutex for every call except wait_for_snap; events go to the target the caller names.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "korvalite/device/genicamera.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/stream/frame_channel.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/gige/stream/stream_channel.hpp"
#include "korvalite/log.hpp"

namespace korvalite::device {

using Duration = std::chrono::steady_clock::duration;

// A running acquisition: the open stream and its built-in subscription.
struct AcquisitionState {
    gige::stream::StreamChannel stream;
    gige::stream::FrameChannel frames;
};

// Fills the payload size, opens the stream, subscribes (capacity `n_buffers`, before the camera
// starts, so the first frame is delivered), locks the transport parameters and starts the
// camera. On failure nothing stays open and TLParamsLocked is written back to 0.
[[nodiscard]] GenicamResult<AcquisitionState> start_acquisition(GenICamera& camera,
                                                                gige::stream::StreamOptions options,
                                                                const log::Target& target);

// Stops the camera, unlocks the transport parameters and closes the stream. Every step runs;
// the result is AcquisitionStop's. A stream that ended with failed frames and no complete one
// has its channel's packet size forgotten (as close_snapshot does).
[[nodiscard]] GenicamResult<void> stop_acquisition(GenICamera& camera, AcquisitionState& state,
                                                   const log::Target& target);

// An open snapshot session: the mode to restore, the stream, its subscription (capacity 4) and
// whether the camera is in SingleFrame mode for this session.
struct SnapshotState {
    std::optional<std::string> restore_mode;
    gige::stream::StreamChannel stream;
    gige::stream::FrameChannel frames;
    bool single_frame = false;
};

[[nodiscard]] GenicamResult<SnapshotState> open_snapshot(GenICamera& camera, gige::stream::StreamOptions options,
                                                         const log::Target& target);
// One frame in three steps, so that the camera's mutex is held only around the feature writes
// and never during the wait: begin_snap (mutex held) clears the subscription and starts the
// camera; wait_for_snap (no lock; on a copy of the subscription) waits up to `timeout`;
// finish_snap (mutex held) stops the camera unless a frame came in SingleFrame mode and turns a
// missing frame into SnapTimeout, saying what a triggered camera waits for (when packets
// arrived, the stream channel's packet size is then negotiated again on the next stream).
// wait_for_snap hands out a frame already queued even when `timeout` is zero. `interrupted`,
// when given, is asked between waits of at most 100 ms; true ends the wait early as if the time
// were up.
[[nodiscard]] GenicamResult<void> begin_snap(GenICamera& camera, SnapshotState& state);
gige::stream::FramePtr wait_for_snap(gige::stream::FrameChannel frames, Duration timeout,
                                     const std::function<bool()>& interrupted = {});
[[nodiscard]] GenicamResult<gige::stream::FramePtr> finish_snap(GenICamera& camera, bool single_frame,
                                                                std::uint16_t channel, gige::stream::FramePtr frame,
                                                                const log::Target& target, bool packets_arrived = true);
// Unlocks the transport parameters, restores the acquisition mode and closes the stream. Never
// fails; trouble is logged.
void close_snapshot(GenICamera& camera, SnapshotState& state, const log::Target& target);

}  // namespace korvalite::device
