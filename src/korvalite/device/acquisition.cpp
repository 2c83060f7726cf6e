#include "korvalite/device/acquisition.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/try.hpp"

#include <algorithm>

namespace korvalite::device {

namespace {

using log::Level;

constexpr std::size_t kSnapshotSubscription = 4;
constexpr Duration kSnapSlice = std::chrono::milliseconds(100);

void debug(const log::Target& target, const std::string& text) { KORVALITE_LOG(target, Level::Debug, text); }

// What a camera with its trigger on waits for, as the snap time-out says it; empty when the
// trigger is off or the description has no trigger features.
std::string awaited_trigger(GenICamera& camera) {
    if (!camera.has_feature("TriggerMode")) return {};
    auto mode = camera.get_enum("TriggerMode");
    if (!mode || *mode != "On") return {};
    auto source = camera.has_feature("TriggerSource") ? camera.get_enum("TriggerSource")
                                                       : GenicamResult<std::string>(std::string{});
    if (!source || source->empty()) return "the camera waits for a trigger (TriggerMode is On)";
    if (*source == "Software")
        return "the camera waits for a software trigger (TriggerMode is On, TriggerSource is Software): "
               "execute TriggerSoftware";
    return "the camera waits for a trigger from " + *source + " (TriggerMode is On, TriggerSource is " + *source + ")";
}

void lock_transport(GenICamera& camera, const log::Target& target) {
    if (auto r = camera.set_integer("TLParamsLocked", 1); !r)
        debug(target, "TLParamsLocked not set: " + r.error().message());
}

void unlock_transport(GenICamera& camera, const log::Target& target) {
    if (auto r = camera.set_integer("TLParamsLocked", 0); !r)
        debug(target, "TLParamsLocked not cleared: " + r.error().message());
}

GenicamResult<gige::stream::StreamChannel> open_stream(GenICamera& camera, gige::stream::StreamOptions& options) {
    KORVALITE_TRY(camera.fill_payload_size(options));
    auto stream = camera.gige().open_stream(options);
    if (!stream) return std::unexpected(GenicamError::transport(stream.error()));
    return std::move(*stream);
}

// A stream that closed without one complete frame but with failed ones may have been sent
// packets the path does not pass: the next stream on its channel negotiates the size again.
void forget_packet_size_if_failed(GenICamera& camera, const gige::stream::StreamChannel& stream) {
    const gige::stream::StreamStats stats = stream.stats();
    if (stats.completed_frames == 0 && stats.failed_frames > 0) camera.gige().forget_packet_size(stream.channel());
}

}  // namespace

GenicamResult<AcquisitionState> start_acquisition(GenICamera& camera, gige::stream::StreamOptions options,
                                                  const log::Target& target) {
    auto stream = open_stream(camera, options);
    if (!stream) return std::unexpected(stream.error());
    gige::stream::FrameChannel frames = stream->subscribe(options.n_buffers);
    lock_transport(camera, target);
    if (auto started = camera.execute("AcquisitionStart"); !started) {
        unlock_transport(camera, target);
        return std::unexpected(started.error());  // the subscription and the stream close here
    }
    return AcquisitionState{std::move(*stream), std::move(frames)};
}

GenicamResult<void> stop_acquisition(GenICamera& camera, AcquisitionState& state, const log::Target& target) {
    auto stopped = camera.execute("AcquisitionStop");
    unlock_transport(camera, target);
    state.stream.close();
    forget_packet_size_if_failed(camera, state.stream);
    return stopped;
}

GenicamResult<SnapshotState> open_snapshot(GenICamera& camera, gige::stream::StreamOptions options,
                                           const log::Target& target) {
    std::optional<std::string> restore_mode;
    bool single_frame = false;
    if (auto mode = camera.get_enum("AcquisitionMode"); !mode) {
        debug(target, "AcquisitionMode unavailable, stopping per snap: " + mode.error().message());
    } else if (*mode == "SingleFrame") {
        single_frame = true;
    } else if (auto set = camera.set_enum("AcquisitionMode", "SingleFrame"); !set) {
        debug(target, "SingleFrame mode unavailable, stopping per snap: " + set.error().message());
    } else {
        single_frame = true;
        restore_mode = std::move(*mode);
    }
    auto stream = open_stream(camera, options);
    if (!stream) {
        if (restore_mode) (void)camera.set_enum("AcquisitionMode", *restore_mode);
        return std::unexpected(stream.error());
    }
    lock_transport(camera, target);
    gige::stream::FrameChannel frames = stream->subscribe(kSnapshotSubscription);
    return SnapshotState{std::move(restore_mode), std::move(*stream), std::move(frames), single_frame};
}

GenicamResult<void> begin_snap(GenICamera& camera, SnapshotState& state) {
    state.frames.clear();
    return camera.execute("AcquisitionStart");
}

// Waits in slices so that `interrupted` is asked at least every kSnapSlice.
gige::stream::FramePtr wait_for_snap(gige::stream::FrameChannel frames, Duration timeout,
                                     const std::function<bool()>& interrupted) {
    if (auto queued = frames.try_recv()) return queued;  // a frame already there counts, even at timeout 0
    if (!interrupted) return frames.wait_for(timeout);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const Duration waited = std::chrono::steady_clock::now() - start;
        if (waited >= timeout) return nullptr;
        if (auto frame = frames.wait_for(std::min<Duration>(timeout - waited, kSnapSlice))) return frame;
        if (frames.has_ended() || interrupted()) return nullptr;
    }
}

GenicamResult<gige::stream::FramePtr> finish_snap(GenICamera& camera, bool single_frame, std::uint16_t channel,
                                                  gige::stream::FramePtr frame, const log::Target& target,
                                                  bool packets_arrived) {
    if (!(frame && single_frame)) {
        if (auto stopped = camera.execute("AcquisitionStop"); !stopped)
            KORVALITE_LOG(target, Level::Warn, "AcquisitionStop after snap failed: " + stopped.error().message());
    }
    if (!frame) {
        // Packets that came without making a frame may mean the path drops the negotiated size;
        // when nothing came, the camera sent nothing (a trigger it waits for, say).
        if (packets_arrived) camera.gige().forget_packet_size(channel);
        return std::unexpected(GenicamError::snap_timeout(awaited_trigger(camera)));
    }
    return frame;
}

void close_snapshot(GenICamera& camera, SnapshotState& state, const log::Target& target) {
    unlock_transport(camera, target);
    if (state.restore_mode) {
        if (auto r = camera.set_enum("AcquisitionMode", *state.restore_mode); !r)
            debug(target, "AcquisitionMode not restored: " + r.error().message());
    }
    state.stream.close();
    forget_packet_size_if_failed(camera, state.stream);
    state.frames.clear();
}

}  // namespace korvalite::device
