// The rules and side effects of host writes to individual registers.
#include <bit>
#include <cmath>

#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/scene.hpp"

namespace korvalite::sim {

namespace {

namespace st = gige::proto::status;
namespace f = features;

// The smallest packet that still carries a GVSP header behind the IP and UDP headers.
constexpr std::uint32_t kMinPacketSize = 64;
constexpr double kMinFrameRate = 0.01;
constexpr double kMaxFrameRate = 1e6;
constexpr std::uint32_t kMaxFrameCount = 65535;
constexpr std::uint32_t kMaxExposureRaw = 100'000'000;  // ten seconds in tenths of a microsecond
constexpr float kMaxGainDb = 24.0f;

}  // namespace

std::uint16_t Device::apply_register(const net::Endpoint& peer, std::uint32_t address, std::uint32_t value,
                                     Clock::time_point now, HostWriteResult& result) {
    if (address % 4 != 0) return st::kBadAlignment;
    if (address == boot::kControlChannelPrivilege) return apply_privilege(peer, value, now);
    if (auto s = check_write(peer, address, 4)) return s;
    std::uint32_t channel = 0, offset = 0;
    if (is_stream_register(address, channel, offset)) return apply_stream_register(address, value, result);
    if (address >= f::kWidth && address < f::kFeatureBlockEnd) return apply_feature_register(address, value, now);
    switch (address) {
        case boot::kHeartbeatTimeout:
            space_.store_u32(address, std::max(value, min_heartbeat_timeout_ms_));
            return st::kSuccess;
        case boot::kTimestampControl:
            if (value & boot::kTimestampReset) tick_origin_ = now;
            if (value & boot::kTimestampLatch) {
                const std::uint64_t t = ticks_locked(now);
                space_.store_u32(boot::kTimestampValueHigh, static_cast<std::uint32_t>(t >> 32));
                space_.store_u32(boot::kTimestampValueLow, static_cast<std::uint32_t>(t & 0xFFFFFFFF));
            }
            return st::kSuccess;  // the control bits clear themselves
        default: space_.store_u32(address, value); return st::kSuccess;
    }
}

bool Device::is_stream_register(std::uint32_t address, std::uint32_t& channel, std::uint32_t& offset) const {
    const std::uint32_t first = boot::stream_channel_base(0);
    if (address < first || address >= boot::stream_channel_base(stream_channels_)) return false;
    channel = (address - first) / 0x40;
    offset = (address - first) % 0x40;
    return true;
}

std::uint16_t Device::apply_stream_register(std::uint32_t address, std::uint32_t value, HostWriteResult& result) {
    std::uint32_t channel = 0, offset = 0;
    is_stream_register(address, channel, offset);
    if (offset != boot::kScpsOffset) {
        space_.store_u32(address, value);
        return st::kSuccess;
    }
    const std::uint32_t size = value & boot::kScpsPacketSizeMask;
    if (size < kMinPacketSize) return st::kInvalidParameter;
    space_.store_u32(address, value & ~boot::kScpsFireTestPacket);
    if (value & boot::kScpsFireTestPacket)
        result.fire_tests.push_back(FireTest{channel, size, stream_target_locked(channel).destination});
    return st::kSuccess;
}

std::uint16_t Device::apply_feature_register(std::uint32_t address, std::uint32_t value, Clock::time_point now) {
    const bool locked = space_.load_u32(f::kTLParamsLocked) == 1;
    const std::uint32_t sensor_w = space_.load_u32(f::kSensorWidth);
    const std::uint32_t sensor_h = space_.load_u32(f::kSensorHeight);
    switch (address) {
        case f::kWidth:
        case f::kHeight: {
            if (locked) return st::kWriteProtect;
            const std::uint32_t limit = address == f::kWidth ? sensor_w : sensor_h;
            const std::uint32_t offset_reg = address == f::kWidth ? f::kOffsetX : f::kOffsetY;
            if (value == 0 || value > limit) return st::kInvalidParameter;
            // A wider window pushes the offset back so that it stays on the sensor.
            if (space_.load_u32(offset_reg) + value > limit) space_.store_u32(offset_reg, limit - value);
            break;
        }
        case f::kOffsetX:
            if (std::uint64_t{value} + space_.load_u32(f::kWidth) > sensor_w) return st::kInvalidParameter;
            break;
        case f::kOffsetY:
            if (std::uint64_t{value} + space_.load_u32(f::kHeight) > sensor_h) return st::kInvalidParameter;
            break;
        case f::kPixelFormat:
            if (locked) return st::kWriteProtect;
            if (!is_supported_pixel_format(value)) return st::kInvalidParameter;
            break;
        case f::kAcquisitionMode:
            if (value > f::kModeMultiFrame) return st::kInvalidParameter;
            break;
        case f::kAcquisitionFrameCount:
            if (value == 0 || value > kMaxFrameCount) return st::kInvalidParameter;
            break;
        case f::kAcquisitionStart:
            if (value != 0 && !acquiring()) set_acquiring(true);
            return st::kSuccess;  // command registers read back 0
        case f::kAcquisitionStop:
            if (value != 0) set_acquiring(false);
            return st::kSuccess;
        case f::kAcquisitionFrameRateEnable:
        case f::kTLParamsLocked:
        case f::kTriggerMode:
        case f::kTriggerActivation:
            if (value > 1) return st::kInvalidParameter;
            break;
        case f::kTriggerSelector:
            if (value != 0) return st::kInvalidParameter;
            break;
        case f::kTestPattern:
            if (value >= kTestPatterns) return st::kInvalidParameter;
            break;
        case f::kChunkSelector:
            if (value >= kChunkSelectors) return st::kInvalidParameter;
            break;
        case f::kEventSelector:
            if (value >= f::kSelectableEvents) return st::kInvalidParameter;
            break;
        case f::event_notification(f::kEventExposureEnd):
        case f::event_notification(f::kEventFrameStart):
            if (value > 1) return st::kInvalidParameter;
            break;
        case f::kTriggerSource:
            if (value >= f::kTriggerSourceLine0 + f::kTriggerLines) return st::kInvalidParameter;
            break;
        case f::kTriggerSoftware:
            if (value != 0) trigger_locked(f::kTriggerSourceSoftware, now);
            return st::kSuccess;
        case f::kGain: {
            const float gain = std::bit_cast<float>(value);
            if (!(gain >= 0.0f && gain <= kMaxGainDb)) return st::kInvalidParameter;
            break;
        }
        case f::kExposureTimeRaw: {
            if (value == 0 || value > kMaxExposureRaw) return st::kInvalidParameter;
            space_.store_u32(address, value);
            // The frame period cannot be shorter than the exposure: lower the rate to fit.
            const double max_rate = std::min(kMaxFrameRate, 1e7 / value);
            if (frame_rate_locked() > max_rate) {
                std::array<std::byte, 8> rate{};
                gige::proto::put_u64(rate, 0, std::bit_cast<std::uint64_t>(max_rate));
                space_.store(f::kAcquisitionFrameRate, rate);
            }
            return st::kSuccess;
        }
        case f::kStatusControl:
            value = (value & f::kStatusWritableMask) | (space_.load_u32(address) & ~f::kStatusWritableMask);
            break;
        default:
            // Chunk settings change the payload: locked like the image size.
            if (address == f::kChunkModeActive || (address >= f::kChunkEnable && address < f::kChunkEnableEnd)) {
                if (locked) return st::kWriteProtect;
                if (value > 1) return st::kInvalidParameter;
            }
            break;  // else the halves of the frame rate: checked when used
    }
    space_.store_u32(address, value);
    return st::kSuccess;
}

std::uint16_t Device::apply_frame_rate(double hz) {
    if (auto s = refused(f::kAcquisitionFrameRate, 8)) return s;
    const double max_rate = std::min(kMaxFrameRate, 1e7 / space_.load_u32(f::kExposureTimeRaw));
    if (!(hz >= kMinFrameRate && hz <= max_rate)) return st::kInvalidParameter;
    return st::kSuccess;
}

double Device::frame_rate_locked() const {
    std::array<std::byte, 8> rate{};
    space_.load(f::kAcquisitionFrameRate, rate);
    return std::bit_cast<double>(gige::proto::u64_at(rate, 0));
}

}  // namespace korvalite::sim
