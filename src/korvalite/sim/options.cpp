#include "korvalite/sim/options.hpp"

#include <algorithm>
#include <cstdio>

#include "korvalite/pixel/formats.hpp"
#include "korvalite/sim/config.hpp"
#include "korvalite/sim/pattern.hpp"

namespace korvalite::sim {

namespace {

using enum OptionKind;

std::string mac_text(const std::array<std::uint8_t, 6>& mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

std::vector<std::string> pixel_format_names() {
    std::vector<std::string> names;
    for (std::uint32_t code : supported_pixel_formats()) names.push_back(pixel::format_name(code));
    std::ranges::sort(names);
    return names;
}

std::vector<SimOption> build() {
    const SimConfig d;
    const auto& id = d.identity;
    const auto& im = d.image;
    const auto& f = d.faults;
    auto integer = [](std::uint64_t v) { return OptionDefault{static_cast<std::int64_t>(v)}; };
    auto seconds = [](std::uint32_t ms) { return OptionDefault{ms / 1000.0}; };
    const std::vector<std::string> modes{"Continuous", "SingleFrame", "MultiFrame"};
    const std::vector<std::string> patterns{"Off", "GreyDiagonalRampMoving"};  // TestPattern values
    const std::vector<std::string> commands{"READREG", "WRITEREG", "READMEM", "WRITEMEM"};
    const char* fi = "fault injection (seeded, reproducible)";
    return {
        {"address", "address", "network", Text, d.bind.address.to_string(),
         "IPv4 address to bind the device port to (default %(default)s)"},
        {"port", "port", "network", Integer, integer(d.bind.port),
         "GVCP device port (default %(default)s; 0 picks a free one)"},
        {"manufacturer", "manufacturer", "identity", Text, id.manufacturer, "manufacturer name (default %(default)s)"},
        {"model", "model", "identity", Text, id.model, "model name (default %(default)s)"},
        {"device_version", "device-version", "identity", Text, id.device_version,
         "device version (default %(default)s)"},
        {"manufacturer_info", "manufacturer-info", "identity", Text, id.manufacturer_info,
         "manufacturer-specific information"},
        {"serial", "serial", "identity", Text, id.serial, "serial number (default %(default)s)"},
        {"user_name", "user-name", "identity", Text, id.user_name, "user-defined name"},
        {"mac", "mac", "identity", Text, mac_text(id.mac), "MAC address (default %(default)s)"},
        {"ip", "ip", "identity", Text, {}, "IP address the device reports (default: the bound address)"},
        {"subnet_mask", "mask", "identity", Text, id.subnet_mask.to_string(),
         "subnet mask the device reports (default %(default)s)"},
        {"gateway", "gateway", "identity", Text, id.gateway.to_string(),
         "default gateway the device reports (default %(default)s)"},
        {"version", "", "identity", Version, std::pair{id.version_major, id.version_minor},
         "GigE Vision version the device reports (major, minor)"},
        {"gvcp_capability", "gvcp-capability", "device", Code, {},
         "GVCP capability register value (default: every capability the camera has)"},
        {"packet_resend", "no-packet-resend", "device", Flag,
         (d.gvcp_capability & capability::kPacketResend) != 0, "clear the PACKETRESEND capability bit"},
        {"tick_frequency", "tick-frequency", "device", Integer, integer(d.tick_frequency),
         "timestamp ticks per second (default %(default)s)"},
        {"heartbeat_timeout", "heartbeat-timeout", "device", Number, seconds(d.heartbeat_timeout_ms),
         "heartbeat timeout at power-up, seconds (default %(default)s)"},
        {"min_heartbeat_timeout", "", "device", Number, seconds(d.min_heartbeat_timeout_ms),
         "smallest heartbeat timeout a write may set, seconds"},
        {"stream_channels", "stream-channels", "device", Integer, integer(d.stream_channels),
         "number of stream channels, 1 to 4 (default %(default)s)"},
        {"path_mtu", "path-mtu", "device", Integer, integer(d.path_mtu),
         "largest packet the path carries, bytes (default %(default)s)"},
        {"extended_ids", "extended-ids", "device", Flag, d.extended_ids,
         "stream with 64-bit block ids and 32-bit packet ids"},
        {"first_block_id", "first-block-id", "device", Code, integer(d.first_block_id),
         "block id of the first frame (default %(default)s)"},
        {"resend_history", "resend-history", "device", Integer, integer(d.resend_history_frames),
         "frames kept for resend requests (default %(default)s)"},
        {"answer_broadcast", "no-broadcast", "network", Flag, d.answer_broadcast,
         "do not answer DISCOVERY sent to broadcast addresses"},
        {"max_recorded_writes", "", "device", Integer, integer(d.max_recorded_writes),
         "host writes kept for inspection; the oldest give way beyond this"},
        {"spare_memory", "", "device", Flag, d.spare_memory,
         "registers the camera does not model read and write as plain memory"},
        {"description", "", "description", Text, {}, "GenICam description (XML text or bytes, or a ZIP archive)"},
        {"description_file", "description", "description", Text, {},
         "serve this GenICam description (XML or ZIP) instead of the built-in one", {}, false, "FILE"},
        {"zip", "zip", "description", Choice, {}, "serve the description as a ZIP archive", {"stored", "deflated"}},
        {"first_url", "first-url", "description", Text, d.first_url,
         "first URL register: 'local' (device memory), a file: or http: URL, or ''"},
        {"second_url", "second-url", "description", Text, d.second_url,
         "second URL register, as --first-url (default: empty)"},
        {"sensor_width", "sensor-width", "image", Integer, integer(im.sensor_width),
         "sensor width in pixels (default %(default)s)"},
        {"sensor_height", "sensor-height", "image", Integer, integer(im.sensor_height),
         "sensor height in pixels (default %(default)s)"},
        {"width", "width", "image", Integer, integer(im.width), "image width (default %(default)s)"},
        {"height", "height", "image", Integer, integer(im.height), "image height (default %(default)s)"},
        {"offset_x", "offset-x", "image", Integer, integer(im.offset_x), "horizontal offset (default %(default)s)"},
        {"offset_y", "offset-y", "image", Integer, integer(im.offset_y), "vertical offset (default %(default)s)"},
        {"pixel_format", "pixel-format", "image", Choice, pixel::format_name(im.pixel_format),
         "pixel format (default %(default)s)", pixel_format_names()},
        {"acquisition_mode", "acquisition-mode", "image", Choice, modes.at(im.acquisition_mode),
         "acquisition mode (default %(default)s)", modes},
        {"frame_count", "frame-count", "image", Integer, integer(im.frame_count),
         "frames per MultiFrame acquisition (default %(default)s)"},
        {"frame_rate", "frame-rate", "image", Number, im.frame_rate, "frames per second (default %(default)s)"},
        {"frame_rate_enable", "free-run", "image", Flag, im.frame_rate_enable,
         "send frames as fast as possible instead of at --frame-rate"},
        {"exposure_us", "exposure-us", "image", Number, im.exposure_us,
         "exposure time in microseconds (default %(default)s)"},
        {"gain_db", "gain-db", "image", Number, double{im.gain_db}, "gain in dB, 0 to 24 (default %(default)s)"},
        {"test_pattern", "test-pattern", "image", Choice, patterns.at(im.test_pattern),
         "what the camera shows: Off, a scene whose brightness follows exposure and gain; "
         "GreyDiagonalRampMoving, the exact pattern tests check byte for byte (default %(default)s)",
         patterns},
        {"seed", "seed", fi, Integer, integer(f.seed), "seed of every fault sequence (default %(default)s)"},
        {"stream_drop", "drop", fi, Number, f.stream_drop, "fraction of stream packets to drop"},
        {"stream_duplicate", "duplicate", fi, Number, f.stream_duplicate, "fraction of stream packets to send twice"},
        {"stream_reorder", "reorder", fi, Number, f.stream_reorder,
         "fraction of stream packets to send after their successor"},
        {"resend_drop", "resend-drop", fi, Number, f.resend_drop, "fraction of resent packets to drop"},
        {"resend_duplicate", "resend-duplicate", fi, Number, f.resend_duplicate,
         "fraction of resent packets to send twice"},
        {"resend_reorder", "resend-reorder", fi, Number, f.resend_reorder, "fraction of resent packets to reorder"},
        {"ack_drop", "ack-drop", fi, Number, f.ack_drop, "fraction of control acknowledges to drop"},
        {"pending_ack", "pending-ack", fi, Choice, std::vector<std::string>{},
         "answer this command with PENDING_ACK first (repeatable)", commands, true},
        {"pending_ack_announce_ms", "pending-ack-ms", fi, Integer, integer(f.pending_ack_announce_ms),
         "time announced by PENDING_ACK, ms (default %(default)s)"},
        {"pending_ack_delay_ms", "pending-delay-ms", fi, Integer, integer(f.pending_ack_delay_ms),
         "delay before the final acknowledge, ms (default %(default)s)"},
        {"refuse", "refuse", fi, Refusals, {},
         "refuse every access to this register (status default 0x8006; repeatable)", {}, true, "ADDR[=STATUS]"},
    };
}

}  // namespace

const std::vector<SimOption>& sim_options() {
    static const std::vector<SimOption> options = build();
    return options;
}

}  // namespace korvalite::sim
