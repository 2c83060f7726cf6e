#include "korvalite/sim/config.hpp"

#include <algorithm>
#include <cmath>

#include "korvalite/hex.hpp"
#include "korvalite/sim/pattern.hpp"

namespace korvalite::sim {

namespace {

using Problem = std::optional<std::string>;

Problem fraction(const char* name, double value) {
    if (!(value >= 0.0 && value <= 1.0)) return std::string(name) + " must be between 0 and 1";
    return std::nullopt;
}

Problem text_field(const char* name, const std::string& value, std::size_t width) {
    if (value.size() > width) return std::string(name) + " is longer than " + std::to_string(width) + " bytes";
    return std::nullopt;
}

Problem check_identity(const Identity& id) {
    for (auto p : {text_field("manufacturer", id.manufacturer, 32), text_field("model", id.model, 32),
                   text_field("device_version", id.device_version, 32),
                   text_field("manufacturer_info", id.manufacturer_info, 48), text_field("serial", id.serial, 16),
                   text_field("user_name", id.user_name, 16)})
        if (p) return p;
    return std::nullopt;
}

Problem check_image(const ImageDefaults& im) {
    if (im.sensor_width == 0 || im.sensor_height == 0 || im.sensor_width > 65535 || im.sensor_height > 65535)
        return "sensor size must be 1 to 65535 pixels each way";
    if (im.width == 0 || im.height == 0 || std::uint64_t{im.offset_x} + im.width > im.sensor_width ||
        std::uint64_t{im.offset_y} + im.height > im.sensor_height)
        return "image window must be non-empty and lie on the sensor";
    if (!is_supported_pixel_format(im.pixel_format)) return "unsupported pixel format " + hex_code(im.pixel_format, 8);
    if (im.acquisition_mode > 2) return "acquisition_mode must be 0 (Continuous), 1 (SingleFrame) or 2 (MultiFrame)";
    if (im.frame_count == 0) return "frame_count must be at least 1";
    if (!(im.frame_rate > 0.0 && im.frame_rate <= 1e6)) return "frame_rate must be above 0 and at most 1000000";
    if (!(im.exposure_us >= 0.1 && im.exposure_us * 10.0 <= 4294967295.0))
        return "exposure_us must be 0.1 to 429496729.5";
    if (im.test_pattern > 1) return "test_pattern must be 0 (Off) or 1 (GreyDiagonalRampMoving)";
    // The camera counts exposure in tenths of a microsecond; a frame cannot be shorter.
    if (im.frame_rate > 1e7 / std::floor(im.exposure_us * 10.0 + 0.5))
        return "frame_rate must be at most 1000000 / exposure_us";
    return std::nullopt;
}

Problem check_faults(const FaultConfig& f) {
    for (auto p : {fraction("stream_drop", f.stream_drop), fraction("stream_duplicate", f.stream_duplicate),
                   fraction("stream_reorder", f.stream_reorder), fraction("resend_drop", f.resend_drop),
                   fraction("resend_duplicate", f.resend_duplicate), fraction("resend_reorder", f.resend_reorder),
                   fraction("ack_drop", f.ack_drop)})
        if (p) return p;
    for (auto code : f.pending_ack_commands)
        if (code != 0x0080 && code != 0x0082 && code != 0x0084 && code != 0x0086)
            return "pending_ack_commands may hold only 0x0080, 0x0082, 0x0084 and 0x0086, not " + hex_code(code, 4);
    if (f.pending_ack_announce_ms > 0xFFFF) return "pending_ack_announce_ms must be at most 65535";
    for (const auto& [address, status] : f.refused_registers)
        if ((status & 0x8000) == 0)
            return "refusal status " + hex_code(status, 4) + " for " + hex_code(address, 4) + " is not an error status";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> validate(const SimConfig& c) {
    if (auto p = check_identity(c.identity)) return p;
    if (c.stream_channels < 1 || c.stream_channels > 4) return "stream_channels must be 1 to 4";
    if (c.path_mtu < 64 || c.path_mtu > 65535) return "path_mtu must be 64 to 65535";
    if (c.tick_frequency == 0) return "tick_frequency must be above 0";
    if (c.min_heartbeat_timeout_ms == 0) return "min_heartbeat_timeout_ms must be above 0";
    if (c.heartbeat_timeout_ms < c.min_heartbeat_timeout_ms)
        return "heartbeat_timeout_ms must be at least min_heartbeat_timeout_ms";
    if (c.first_block_id == 0 || (!c.extended_ids && c.first_block_id > 0xFFFF))
        return c.extended_ids ? "first_block_id must be at least 1" : "first_block_id must be 1 to 65535";
    if (c.resend_history_frames == 0 || c.resend_history_frames > 1024)
        return "resend_history_frames must be 1 to 1024";
    if (c.first_url.size() > 511 || c.second_url.size() > 511) return "URLs must be at most 511 bytes";
    if (c.max_recorded_writes == 0) return "max_recorded_writes must be at least 1";
    if (auto p = check_image(c.image)) return p;
    return check_faults(c.faults);
}

}  // namespace korvalite::sim
