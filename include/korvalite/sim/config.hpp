#pragma once
// Everything a simulated camera is built from: where it listens, who it says it is, what it
// streams by default, where its description lives, and which faults it injects.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::sim {

struct Identity {
    std::string manufacturer = "korvalite";
    std::string model = "SimCam-1";
    std::string device_version = "1.0.0";
    std::string manufacturer_info = "simulated GigE Vision camera";
    std::string serial = "SIM00001";
    std::string user_name;
    std::array<std::uint8_t, 6> mac{0x02, 0x4B, 0x56, 0x00, 0x00, 0x01};  // locally administered
    std::optional<net::Ipv4Address> ip;  // absent: the address the camera is bound to
    net::Ipv4Address subnet_mask{0xFF000000};
    net::Ipv4Address gateway{0};
    std::uint16_t version_major = 2;
    std::uint16_t version_minor = 0;
};

// GVCP capability bits (value of the register); the simulated camera serves all of these.
namespace capability {
using namespace gige::proto::capability;
inline constexpr std::uint32_t kDefault = kUserDefinedName | kSerialNumber | kPrimaryApplicationRegisters |
                                          kPendingAck | kEventData | kEvent | kPacketResend | kWriteMem |
                                          kConcatenation;
}  // namespace capability

// The camera's image settings at power-up (the registers behind the standard features).
struct ImageDefaults {
    std::uint32_t sensor_width = 1280;
    std::uint32_t sensor_height = 960;
    std::uint32_t width = 640;
    std::uint32_t height = 480;
    std::uint32_t offset_x = 0;
    std::uint32_t offset_y = 0;
    std::uint32_t pixel_format = gige::proto::PixelFormat::kMono8;
    std::uint32_t acquisition_mode = 0;  // Continuous
    std::uint32_t frame_count = 1;       // frames per MultiFrame acquisition
    bool frame_rate_enable = true;       // false: frames follow each other as fast as possible
    double frame_rate = 30.0;
    double exposure_us = 10000.0;
    float gain_db = 0.0f;
    // TestPattern at power-up: 0 the scene (scene.hpp), 1 the exact test pattern (pattern.hpp).
    std::uint32_t test_pattern = 0;
};

// Seeded, reproducible faults. Fractions are probabilities per packet or acknowledge.
struct FaultConfig {
    std::uint64_t seed = 0;
    double stream_drop = 0.0;
    double stream_duplicate = 0.0;
    double stream_reorder = 0.0;  // the packet goes out after its successor
    double resend_drop = 0.0;
    double resend_duplicate = 0.0;
    double resend_reorder = 0.0;
    double ack_drop = 0.0;
    // Commands (READREG 0x0080, WRITEREG 0x0082, READMEM 0x0084, WRITEMEM 0x0086) answered
    // first with PENDING_ACK announcing `pending_ack_announce_ms`; the command runs and its
    // acknowledge follows `pending_ack_delay_ms` later.
    std::vector<std::uint16_t> pending_ack_commands;
    std::uint32_t pending_ack_announce_ms = 1000;
    std::uint32_t pending_ack_delay_ms = 200;
    // Register addresses refused with the given status by every read and write touching them.
    std::map<std::uint32_t, std::uint16_t> refused_registers;
};

enum class DescriptionPacking { Plain, ZipStored, ZipDeflated };

struct SimConfig {
    net::Endpoint bind{net::Ipv4Address{0x7F000001}, 3956};
    Identity identity;
    std::uint32_t gvcp_capability = capability::kDefault;
    std::uint64_t tick_frequency = 1'000'000'000;  // timestamp ticks per second
    std::uint32_t heartbeat_timeout_ms = 3000;     // power-up value of the register
    std::uint32_t min_heartbeat_timeout_ms = 100;  // smaller writes are raised to this
    std::uint32_t stream_channels = 2;             // 1 to 4; images stream on channel 0
    std::uint32_t path_mtu = 9000;                 // larger stream packets never arrive
    bool extended_ids = false;                     // 64-bit block ids, 32-bit packet ids
    std::uint64_t first_block_id = 1;
    std::uint32_t resend_history_frames = 8;  // frames kept for PACKETRESEND
    // The description: empty means the built-in one. Text starting with the ZIP signature is
    // served as the archive it is.
    std::string description;
    DescriptionPacking packing = DescriptionPacking::Plain;
    // URL register contents: "local" names the description in device memory; anything else is
    // written as given ("" leaves the register empty).
    std::string first_url = "local";
    std::string second_url;
    bool answer_broadcast = true;  // also listen on the broadcast addresses for DISCOVERY
    // Registers the camera does not model read and write as plain memory (zero until written),
    // so that a description from another camera can be served with all of its features.
    bool spare_memory = false;
    ImageDefaults image;
    FaultConfig faults;
    std::size_t max_recorded_writes = 100000;  // oldest records give way beyond this
};

// The first problem found with a configuration, as a message, or nothing.
std::optional<std::string> validate(const SimConfig& config);

}  // namespace korvalite::sim
