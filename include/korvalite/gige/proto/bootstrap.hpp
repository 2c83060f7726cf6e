#pragma once
// The bootstrap register map: the identity block at the bottom of the address space and the
// registers the driver uses beyond it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::gige::proto {

inline constexpr std::size_t DISCOVERY_DATA_SIZE = 248;

namespace reg {
// Identity block (offsets equal register addresses).
inline constexpr std::uint32_t kVersion = 0x0000;
inline constexpr std::uint32_t kDeviceMode = 0x0004;
inline constexpr std::uint32_t kMacHigh = 0x0008;
inline constexpr std::uint32_t kMacLow = 0x000C;
inline constexpr std::uint32_t kIpConfigOptions = 0x0010;
inline constexpr std::uint32_t kIpConfigCurrent = 0x0014;
inline constexpr std::uint32_t kCurrentIp = 0x0024;
inline constexpr std::uint32_t kSubnetMask = 0x0034;
inline constexpr std::uint32_t kGateway = 0x0044;
inline constexpr std::uint32_t kManufacturerName = 0x0048;   // 32 bytes
inline constexpr std::uint32_t kModelName = 0x0068;          // 32 bytes
inline constexpr std::uint32_t kDeviceVersion = 0x0088;      // 32 bytes
inline constexpr std::uint32_t kManufacturerInfo = 0x00A8;   // 48 bytes
inline constexpr std::uint32_t kSerialNumber = 0x00D8;       // 16 bytes
inline constexpr std::uint32_t kUserDefinedName = 0x00E8;    // 16 bytes

// Further registers.
inline constexpr std::uint32_t kFirstUrl = 0x0200;   // 512 bytes
inline constexpr std::uint32_t kSecondUrl = 0x0400;  // 512 bytes
inline constexpr std::uint32_t kUrlSize = 512;
inline constexpr std::uint32_t kNumberOfMessageChannels = 0x0900;
inline constexpr std::uint32_t kNumberOfStreamChannels = 0x0904;
inline constexpr std::uint32_t kGvcpCapability = 0x0934;
inline constexpr std::uint32_t kHeartbeatTimeout = 0x0938;
inline constexpr std::uint32_t kTickFrequencyHigh = 0x093C;
inline constexpr std::uint32_t kTickFrequencyLow = 0x0940;
inline constexpr std::uint32_t kPendingTimeout = 0x0958;  // longest PENDING_ACK wait, ms
inline constexpr std::uint32_t kControlChannelPrivilege = 0x0A00;
inline constexpr std::uint32_t kMessageChannelPort = 0x0B00;         // MCP: host port, 0 closes the channel
inline constexpr std::uint32_t kMessageChannelDestination = 0x0B10;  // MCDA: host IPv4 address

// Control channel privilege bits.
inline constexpr std::uint32_t kCcpExclusive = 0x1;
inline constexpr std::uint32_t kCcpControl = 0x2;

// Stream channel c registers: base 0x0D00 + 0x40 * c.
inline constexpr std::uint32_t stream_channel_base(std::uint32_t c) { return 0x0D00 + 0x40 * c; }
inline constexpr std::uint32_t kScpOffset = 0x00;   // port (SCP)
inline constexpr std::uint32_t kScpsOffset = 0x04;  // packet size (SCPS)
inline constexpr std::uint32_t kScpdOffset = 0x08;  // packet delay (SCPD)
inline constexpr std::uint32_t kScdaOffset = 0x18;  // destination address (SCDA)

// SCPS bits: fire test packet (bit 31), do not fragment (bit 30); packet size in the low 16 bits.
inline constexpr std::uint32_t kScpsFireTestPacket = 0x80000000;
inline constexpr std::uint32_t kScpsDoNotFragment = 0x40000000;
inline constexpr std::uint32_t kScpsPacketSizeMask = 0x0000FFFF;
}  // namespace reg

// GVCP capability bits (value of kGvcpCapability): which optional commands and behaviours the
// device serves.
namespace capability {
inline constexpr std::uint32_t kUserDefinedName = 0x80000000;
inline constexpr std::uint32_t kSerialNumber = 0x40000000;
inline constexpr std::uint32_t kPrimaryApplicationRegisters = 0x08000000;
inline constexpr std::uint32_t kPendingAck = 0x00000020;
inline constexpr std::uint32_t kEventData = 0x00000010;
inline constexpr std::uint32_t kEvent = 0x00000008;
inline constexpr std::uint32_t kPacketResend = 0x00000004;
inline constexpr std::uint32_t kWriteMem = 0x00000002;
inline constexpr std::uint32_t kConcatenation = 0x00000001;  // several operations in one READREG/WRITEREG
}  // namespace capability

// A device's GVCP capability register as the driver uses it.
struct GvcpCapability {
    std::uint32_t bits = 0;

    bool has(std::uint32_t bit) const { return (bits & bit) != 0; }
    bool concatenation() const { return has(capability::kConcatenation); }
    bool write_memory() const { return has(capability::kWriteMem); }
    bool packet_resend() const { return has(capability::kPacketResend); }
    bool pending_ack() const { return has(capability::kPendingAck); }
    bool event() const { return has(capability::kEvent); }
    bool event_data() const { return has(capability::kEventData); }
    bool operator==(const GvcpCapability&) const = default;
};

// The six text fields of the identity block: address and width in bytes.
namespace text_field {
inline constexpr std::pair<std::uint32_t, std::size_t> kManufacturer{reg::kManufacturerName, 32};
inline constexpr std::pair<std::uint32_t, std::size_t> kModel{reg::kModelName, 32};
inline constexpr std::pair<std::uint32_t, std::size_t> kDeviceVersion{reg::kDeviceVersion, 32};
inline constexpr std::pair<std::uint32_t, std::size_t> kManufacturerInfo{reg::kManufacturerInfo, 48};
inline constexpr std::pair<std::uint32_t, std::size_t> kSerial{reg::kSerialNumber, 16};
inline constexpr std::pair<std::uint32_t, std::size_t> kUserDefinedName{reg::kUserDefinedName, 16};
}  // namespace text_field

// A text field: the bytes up to the first zero byte (or all of them), as UTF-8 with invalid
// sequences replaced by U+FFFD. Spaces are kept. A field reaching past the block is cut short.
std::string string_reg(ByteView block, std::size_t offset, std::size_t width);

using Ipv4Bytes = std::array<std::uint8_t, 4>;  // network order, as on the wire

// "192.168.1.10"
std::string dotted(const Ipv4Bytes& address);

// A device's identity from its bootstrap identity block.
struct DeviceInfo {
    std::string manufacturer;
    std::string model;
    std::string device_version;
    std::string manufacturer_info;
    std::string serial;
    std::string user_defined_name;
    std::pair<std::uint16_t, std::uint16_t> spec_version{};  // (major, minor)
    std::uint32_t device_mode = 0;
    std::uint32_t ip_config_options = 0;
    std::uint32_t ip_config_current = 0;
    Ipv4Bytes ip{};
    Ipv4Bytes subnet_mask{};
    Ipv4Bytes gateway{};
    std::array<std::uint8_t, 6> mac{};

    // Parses the first DISCOVERY_DATA_SIZE bytes; nullopt when fewer are given.
    static std::optional<DeviceInfo> parse(ByteView block);

    // "02:1a:2b:3c:4d:5e"
    std::string mac_text() const;

    bool operator==(const DeviceInfo&) const = default;
};

}  // namespace korvalite::gige::proto
