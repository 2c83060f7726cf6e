#include "korvalite/sim/stream_sender.hpp"

#include <algorithm>
#include <thread>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/log.hpp"
#include "korvalite/sim/feature_map.hpp"

namespace korvalite::sim {

namespace {

namespace gp = gige::proto;

constexpr auto kIdleWait = std::chrono::milliseconds(100);
constexpr auto kNoTargetWait = std::chrono::milliseconds(5);
constexpr auto kPreciseWait = std::chrono::milliseconds(2);
constexpr std::uint16_t kStatusResent = gp::status::kPacketResend;
// Longer packet delays are cut to this, so that stopping never waits long.
constexpr auto kMaxPacketGap = std::chrono::milliseconds(100);

}  // namespace

StreamSender::StreamSender(Device& device, ResendQueue& resends, std::vector<int> channel_fds,
                           const SimConfig& config, FrameEventSink& events)
    : device_(device),
      resends_(resends),
      channel_fds_(std::move(channel_fds)),
      events_(events),
      tick_frequency_(config.tick_frequency),
      output_(device, config.path_mtu),
      history_(config.resend_history_frames),
      extended_(config.extended_ids),
      next_block_id_(config.first_block_id) {}

void StreamSender::run(const std::atomic<bool>& stop, net::Poller& poller, net::Waker& waker) {
    while (!stop.load(std::memory_order_acquire)) {
        refresh_faults();
        serve_resends();
        const auto now = Clock::now();
        if (gone_.load(std::memory_order_acquire) || !device_.acquiring()) {
            wait(poller, waker, kIdleWait);
            continue;
        }
        if (const auto generation = device_.acquisition_generation(); generation != generation_) {
            generation_ = generation;
            next_frame_at_ = now;
        }
        if (device_.awaiting_trigger()) {  // a trigger wakes the waker
            wait(poller, waker, kIdleWait);
            continue;
        }
        if (now < next_frame_at_) {
            wait(poller, waker, std::min<std::chrono::nanoseconds>(next_frame_at_ - now, kIdleWait));
            continue;
        }
        if (!produce_frame(stop, now)) wait(poller, waker, kNoTargetWait);
    }
    output_.finish();
}

void StreamSender::wait(net::Poller& poller, net::Waker& waker, std::chrono::nanoseconds timeout) {
    // The poller counts whole milliseconds: it waits the whole milliseconds only (the caller
    // comes back for the rest), and short waits (fast frame rates) sleep precisely.
    if (timeout < kPreciseWait) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    std::array<epoll_event, net::kMaxEvents> events{};
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(timeout).count();
    auto n = poller.wait(events, static_cast<int>(std::max<std::int64_t>(ms, 0)));
    if (n && *n > 0) waker.drain();
}

void StreamSender::refresh_faults() {
    const std::uint64_t version = device_.faults_version();
    if (version == faults_version_) return;
    faults_version_ = version;
    output_.set_faults(device_.faults());
}

bool StreamSender::follow_target() {
    const std::uint64_t epoch = device_.epoch();
    if (epoch != seen_epoch_) {
        seen_epoch_ = epoch;
        target_ = device_.stream_target(0);
        if (target_.destination) output_.retarget(channel_fds_[0], *target_.destination);
        const auto gap = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<unsigned __int128>(target_.packet_delay_ticks) * 1'000'000'000u /
                                      tick_frequency_));
        output_.set_gap(std::min<std::chrono::nanoseconds>(gap, kMaxPacketGap));
        paced_ = gap.count() > 0;
    }
    return target_.destination.has_value();
}

bool StreamSender::produce_frame(const std::atomic<bool>& stop, Clock::time_point now) {
    if (!follow_target()) return false;
    const bool extended = extended_ids();
    if (gp::payload_bytes_per_packet(target_.packet_size, extended) == 0) return false;
    const auto plan = device_.begin_frame(now);
    if (!plan) return true;
    StoredFrame& frame = history_.next();
    build_frame(frame, take_block_id(), extended, target_.packet_size, plan->geometry, plan->timestamp,
                plan->chunks, plan->pattern == TestPattern::Off ? &scene_ : nullptr, plan->scene);
    next_frame_at_ = now + plan->period;
    // The exposure is over before the image leaves the camera.
    if (plan->frame_start_event) events_.frame_event(features::kFrameStartEventId, frame.block_id, plan->timestamp);
    if (plan->exposure_end_event)
        events_.frame_event(features::kExposureEndEventId, frame.block_id, plan->timestamp + plan->exposure_ticks);
    if (send_frame(frame, stop) == Sent::Aborted) return true;
    device_.counters().add(Counter::FramesSent);
    if (plan->frame_end_event)
        events_.frame_event(features::kFrameEndEventId, frame.block_id, device_.ticks(Clock::now()));
    return true;
}

StreamSender::Sent StreamSender::send_frame(const StoredFrame& frame, const std::atomic<bool>& stop) {
    PacketParts packet;
    for (std::uint32_t id = 0; id < frame.packet_count; ++id) {
        if (id > 0 && (paced_ || id % PacketBatch::kCapacity == 0)) {
            // Between batches: answer resend requests, and follow (or give up on) the target.
            output_.finish();
            serve_resends();
            if (stop.load(std::memory_order_acquire) || gone_.load(std::memory_order_acquire) || !follow_target())
                return Sent::Aborted;
        }
        cut_packet(frame, id, gp::status::kSuccess, packet);
        // The frame is over for the device before its last packet leaves: a host that answers
        // that packet with the next AcquisitionStart finds a SingleFrame acquisition ended.
        if (id + 1 == frame.packet_count) device_.end_frame();
        output_.emit(packet, false);
    }
    output_.finish();
    return Sent::Complete;
}

void StreamSender::serve_resends() {
    auto requests = resends_.drain();
    if (requests.empty() || gone_.load(std::memory_order_acquire)) return;
    for (const auto& r : requests) serve_resend(r);
    // Back to the stream's own destination for what follows.
    seen_epoch_ = ~std::uint64_t{0};
}

void StreamSender::serve_resend(const ResendRequest& request) {
    if (request.channel >= channel_fds_.size()) return;
    const StreamTarget target = device_.stream_target(request.channel);
    if (!target.destination) return;
    output_.retarget(channel_fds_[request.channel], *target.destination);
    const StoredFrame* frame = request.channel == 0 ? history_.find(request.block_id) : nullptr;
    PacketParts packet;
    if (!frame || request.first_packet > request.last_packet || request.first_packet >= frame->packet_count) {
        // Gone from memory (or never sent): say so once for the whole request.
        error_packet(gp::status::kPacketUnavailable, request.block_id, frame ? frame->extended : request.extended,
                     request.first_packet, packet);
        device_.counters().add(Counter::ResendUnavailable);
        output_.emit(packet, true);
        output_.finish();
        return;
    }
    const std::uint32_t last = std::min(request.last_packet, frame->packet_count - 1);
    for (std::uint32_t id = request.first_packet; id <= last; ++id) {
        cut_packet(*frame, id, kStatusResent, packet);
        output_.emit(packet, true);
    }
    output_.finish();
}

std::uint64_t StreamSender::take_block_id() {
    const bool extended = extended_ids();
    std::uint64_t id = next_block_id_;
    if (!extended && id > 0xFFFF) id = 1;
    // Block id 0 is never used: the 16-bit id wraps from 0xFFFF to 1.
    std::uint64_t next = id + 1;
    if ((!extended && next > 0xFFFF) || next == 0) next = 1;
    next_block_id_ = next;
    return id;
}

}  // namespace korvalite::sim
