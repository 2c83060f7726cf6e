#include "korvalite/sim/bootstrap_map.hpp"

#include <algorithm>
#include <array>

namespace korvalite::sim::boot {

namespace {

constexpr std::uint32_t kDeviceModeBigEndianUtf8 = 0x80000001;
constexpr std::uint32_t kInterfaceCapability = 0x00000007;     // persistent IP, DHCP, link-local
constexpr std::uint32_t kInterfaceConfiguration = 0x00000006;  // DHCP, link-local
constexpr std::uint32_t kStreamChannelCapability = 0x80000000;  // big-endian pixel data not offered

struct Block {
    std::uint32_t base;
    std::uint32_t size;
    Access access;
};

// Register blocks below the stream channels, in address order.
constexpr std::array<Block, 24> kBlocks = {{
    {0x0000, 0xE8, Access::ReadOnly},             // identity block up to the user-defined name
    {kUserDefinedName, 16, Access::ReadWrite},    // user-defined name
    {0x00F8, 0x08, Access::ReadOnly},             // rest of the identity block
    {kFirstUrl, kUrlSize, Access::ReadOnly},
    {kSecondUrl, kUrlSize, Access::ReadOnly},
    {kNumberOfInterfaces, 4, Access::ReadOnly},
    {kPersistentIp, 4, Access::ReadWrite},
    {kPersistentMask, 4, Access::ReadWrite},
    {kPersistentGateway, 4, Access::ReadWrite},
    {kLinkSpeed, 4, Access::ReadOnly},
    {kNumberOfMessageChannels, 12, Access::ReadOnly},  // message, stream channels, action signals
    {kMessageChannelCapability, 8, Access::ReadOnly},  // message channel and GVCP capability
    {kHeartbeatTimeout, 4, Access::ReadWrite},
    {kTickFrequencyHigh, 8, Access::ReadOnly},
    {kTimestampControl, 4, Access::ReadWrite},
    {kTimestampValueHigh, 8, Access::ReadOnly},
    {kGvcpConfiguration, 4, Access::ReadWrite},
    {kPendingTimeout, 4, Access::ReadOnly},
    {kControlChannelPrivilege, 4, Access::ReadWrite},
    {kPrimaryApplicationPort, 4, Access::ReadOnly},
    {kPrimaryApplicationIp, 4, Access::ReadOnly},
    {kMessageChannelPort, 4, Access::ReadWrite},
    {kMessageChannelDestination, 12, Access::ReadWrite},  // destination, timeout, retries
    {kMessageChannelSourcePort, 4, Access::ReadOnly},
}};

void put_text(RegisterSpace& space, std::uint32_t address, std::string_view text) {
    space.store(address, gige::proto::as_bytes(text));
}

void map_stream_channel(RegisterSpace& space, std::uint32_t channel, std::uint32_t path_mtu) {
    const std::uint32_t base = stream_channel_base(channel);
    space.map(base + kScpOffset, 12, Access::ReadWrite);  // SCP, SCPS, SCPD
    space.map(base + kScdaOffset, 4, Access::ReadWrite);
    space.map(base + kScspOffset, 8, Access::ReadOnly);  // SCSP, SCC
    space.map(base + kSccfgOffset, 4, Access::ReadWrite);
    space.store_u32(base + kScpsOffset, std::min<std::uint32_t>(path_mtu, 1500));
    space.store_u32(base + kSccOffset, kStreamChannelCapability);
}

}  // namespace

void map_bootstrap(RegisterSpace& space, const SimConfig& config, net::Ipv4Address current_ip,
                   std::string_view first_url, std::string_view second_url) {
    for (const auto& b : kBlocks) space.map(b.base, b.size, b.access);
    for (std::uint32_t c = 0; c < config.stream_channels; ++c) map_stream_channel(space, c, config.path_mtu);

    const Identity& id = config.identity;
    space.store_u32(kVersion, (std::uint32_t{id.version_major} << 16) | id.version_minor);
    space.store_u32(kDeviceMode, kDeviceModeBigEndianUtf8);
    space.store_u32(kMacHigh, (std::uint32_t{id.mac[0]} << 8) | id.mac[1]);
    space.store_u32(kMacLow, (std::uint32_t{id.mac[2]} << 24) | (std::uint32_t{id.mac[3]} << 16) |
                                 (std::uint32_t{id.mac[4]} << 8) | id.mac[5]);
    space.store_u32(kIpConfigOptions, kInterfaceCapability);
    space.store_u32(kIpConfigCurrent, kInterfaceConfiguration);
    space.store_u32(kCurrentIp, current_ip.value);
    space.store_u32(kSubnetMask, id.subnet_mask.value);
    space.store_u32(kGateway, id.gateway.value);
    put_text(space, kManufacturerName, id.manufacturer);
    put_text(space, kModelName, id.model);
    put_text(space, kDeviceVersion, id.device_version);
    put_text(space, kManufacturerInfo, id.manufacturer_info);
    put_text(space, kSerialNumber, id.serial);
    put_text(space, kUserDefinedName, id.user_name);
    put_text(space, kFirstUrl, first_url);
    put_text(space, kSecondUrl, second_url);

    space.store_u32(kNumberOfInterfaces, 1);
    space.store_u32(kPersistentIp, current_ip.value);
    space.store_u32(kPersistentMask, id.subnet_mask.value);
    space.store_u32(kPersistentGateway, id.gateway.value);
    space.store_u32(kLinkSpeed, 1000);  // Mbit/s
    space.store_u32(kNumberOfMessageChannels, 1);
    space.store_u32(kNumberOfStreamChannels, config.stream_channels);
    space.store_u32(kGvcpCapability, config.gvcp_capability);
    space.store_u32(kHeartbeatTimeout, config.heartbeat_timeout_ms);
    space.store_u32(kTickFrequencyHigh, static_cast<std::uint32_t>(config.tick_frequency >> 32));
    space.store_u32(kTickFrequencyLow, static_cast<std::uint32_t>(config.tick_frequency & 0xFFFFFFFF));
    space.store_u32(kPendingTimeout, config.faults.pending_ack_announce_ms);
    space.store_u32(kMessageChannelTimeout, 300);
    space.store_u32(kMessageChannelRetries, 0);
}

}  // namespace korvalite::sim::boot
