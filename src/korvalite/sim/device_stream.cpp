// Acquisition state and what the stream sender reads from the registers.
#include <bit>
#include <cmath>

#include "korvalite/log.hpp"
#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"

namespace korvalite::sim {

namespace f = features;

void Device::start_acquisition() {
    Lock lock(mutex_);
    if (!acquiring()) set_acquiring(true);
    bump();
}

void Device::stop_acquisition() {
    Lock lock(mutex_);
    set_acquiring(false);
    bump();
}

void Device::set_acquiring(bool on) {
    if (on) {
        const std::uint32_t mode = space_.load_u32(f::kAcquisitionMode);
        frames_left_ = mode == f::kModeSingleFrame  ? 1
                       : mode == f::kModeMultiFrame ? space_.load_u32(f::kAcquisitionFrameCount)
                                                    : 0;
        if (!acquiring()) generation_.fetch_add(1, std::memory_order_acq_rel);
        triggers_.clear();  // triggers count only while acquiring
    }
    if (acquiring_.exchange(on, std::memory_order_acq_rel) != on)
        KORVALITE_LOG(log::targets::sim, log::Level::Debug, on ? "acquisition started" : "acquisition stopped");
    const std::uint32_t status = space_.load_u32(f::kStatusControl);
    space_.store_u32(f::kStatusControl,
                     on ? status | f::kStatusAcquisitionActive : status & ~f::kStatusAcquisitionActive);
    if (on && stream_waker_) (void)stream_waker_->wake();
}

StreamTarget Device::stream_target(std::uint32_t channel) const {
    Lock lock(mutex_);
    return stream_target_locked(channel);
}

StreamTarget Device::stream_target_locked(std::uint32_t channel) const {
    StreamTarget target;
    if (channel >= stream_channels_) return target;
    const std::uint32_t base = boot::stream_channel_base(channel);
    target.packet_size = space_.load_u32(base + boot::kScpsOffset) & boot::kScpsPacketSizeMask;
    target.packet_delay_ticks = space_.load_u32(base + boot::kScpdOffset);
    const auto port = static_cast<std::uint16_t>(space_.load_u32(base + boot::kScpOffset) & 0xFFFF);
    std::uint32_t ip = space_.load_u32(base + boot::kScdaOffset);
    // Without a destination address the stream goes to the controlling application.
    if (ip == 0 && privilege_.holder()) ip = privilege_.holder()->address.value;
    const net::Endpoint to{net::Ipv4Address{ip}, port};
    if (port != 0 && ip != 0 && may_send_to(to)) target.destination = to;
    return target;
}

std::optional<FramePlan> Device::begin_frame(Clock::time_point now) {
    Lock lock(mutex_);
    if (!acquiring()) return std::nullopt;
    FramePlan plan;
    plan.geometry = ImageGeometry{space_.load_u32(f::kWidth), space_.load_u32(f::kHeight),
                                  space_.load_u32(f::kOffsetX), space_.load_u32(f::kOffsetY),
                                  space_.load_u32(f::kPixelFormat)};
    plan.pattern = static_cast<TestPattern>(space_.load_u32(f::kTestPattern));
    plan.scene = SceneSettings{space_.load_u32(f::kSensorWidth), space_.load_u32(f::kSensorHeight),
                               space_.load_u32(f::kExposureTimeRaw),
                               std::bit_cast<float>(space_.load_u32(f::kGain))};
    if (space_.load_u32(f::kAcquisitionFrameRateEnable) == 1) {
        // The halves of the rate may have been written one by one: use only sane values.
        const double rate = frame_rate_locked();
        if (std::isfinite(rate) && rate > 0.0)
            plan.period = std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(1e9 / rate, 3.6e12)));
    }
    plan.timestamp = ticks_locked(now);
    if (trigger_on_locked()) {
        const auto trigger = triggers_.pop();
        if (!trigger) return std::nullopt;
        plan.timestamp = ticks_locked(*trigger);  // the frame starts at its trigger
    }
    plan.frame_end_event = (space_.load_u32(f::kStatusControl) & f::kStatusFrameEndEventEnable) != 0;
    plan.chunks.active = space_.load_u32(f::kChunkModeActive) == 1;
    for (std::uint32_t s = 0; s < kChunkSelectors; ++s)
        if (space_.load_u32(f::kChunkEnable + 4 * s) == 1) plan.chunks.enabled |= 1u << s;
    plan.chunks.exposure_us = space_.load_u32(f::kExposureTimeRaw) / 10.0;
    plan.frame_start_event = space_.load_u32(f::event_notification(f::kEventFrameStart)) == 1;
    plan.exposure_end_event = space_.load_u32(f::event_notification(f::kEventExposureEnd)) == 1;
    // The exposure register counts 0.1 us.
    plan.exposure_ticks = static_cast<std::uint64_t>(static_cast<unsigned __int128>(
        space_.load_u32(f::kExposureTimeRaw)) * tick_frequency_ / 10'000'000u);
    return plan;
}

void Device::end_frame() {
    Lock lock(mutex_);
    if (frames_left_ > 0 && --frames_left_ == 0) set_acquiring(false);
}

bool Device::trigger_on_locked() const { return space_.load_u32(f::kTriggerMode) == 1; }

bool Device::awaiting_trigger() const {
    Lock lock(mutex_);
    return acquiring() && trigger_on_locked() && triggers_.empty();
}

void Device::trigger_locked(std::uint32_t source, Clock::time_point now) {
    if (!acquiring() || !trigger_on_locked() || space_.load_u32(f::kTriggerSource) != source) return;
    if (triggers_.push(now) && stream_waker_) (void)stream_waker_->wake();
}

bool Device::pulse_line(std::uint32_t line) {
    if (line >= f::kTriggerLines) return false;
    const auto now = Clock::now();
    Lock lock(mutex_);
    trigger_locked(f::kTriggerSourceLine0 + line, now);
    return true;
}

std::uint64_t Device::ticks(Clock::time_point at) const {
    Lock lock(mutex_);
    return ticks_locked(at);
}

std::uint64_t Device::ticks_locked(Clock::time_point at) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at - tick_origin_).count();
    if (ns <= 0) return 0;
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(ns) * tick_frequency_ / 1'000'000'000u);
}

std::optional<net::Endpoint> Device::event_destination() const {
    Lock lock(mutex_);
    const auto port = static_cast<std::uint16_t>(space_.load_u32(boot::kMessageChannelPort) & 0xFFFF);
    if (port != 0) {
        std::uint32_t ip = space_.load_u32(boot::kMessageChannelDestination);
        if (ip == 0 && privilege_.holder()) ip = privilege_.holder()->address.value;
        const net::Endpoint to{net::Ipv4Address{ip}, port};
        if (ip != 0 && may_send_to(to)) return to;
        return std::nullopt;
    }
    return privilege_.holder();
}

void Device::set_message_source_port(std::uint16_t port) {
    Lock lock(mutex_);
    space_.store_u32(boot::kMessageChannelSourcePort, port);
}

void Device::set_stream_source_port(std::uint32_t channel, std::uint16_t port) {
    Lock lock(mutex_);
    if (channel < stream_channels_) space_.store_u32(boot::stream_channel_base(channel) + boot::kScspOffset, port);
}

void Device::set_stream_waker(std::shared_ptr<net::Waker> waker) {
    Lock lock(mutex_);
    stream_waker_ = std::move(waker);
}

}  // namespace korvalite::sim
