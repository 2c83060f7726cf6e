#pragma once
// The device side of the bootstrap register block: the addresses the simulated camera maps
// beyond those the driver uses, and the routine that lays the block out from a configuration.
#include <cstdint>
#include <string_view>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/sim/config.hpp"
#include "korvalite/sim/register_space.hpp"

namespace korvalite::sim::boot {

using namespace gige::proto::reg;

inline constexpr std::uint32_t kNumberOfInterfaces = 0x0600;
inline constexpr std::uint32_t kPersistentIp = 0x064C;
inline constexpr std::uint32_t kPersistentMask = 0x065C;
inline constexpr std::uint32_t kPersistentGateway = 0x066C;
inline constexpr std::uint32_t kLinkSpeed = 0x0670;
inline constexpr std::uint32_t kNumberOfMessageChannels = 0x0900;
inline constexpr std::uint32_t kNumberOfActionSignals = 0x0908;
inline constexpr std::uint32_t kMessageChannelCapability = 0x0930;
inline constexpr std::uint32_t kTimestampControl = 0x0944;
inline constexpr std::uint32_t kTimestampValueHigh = 0x0948;
inline constexpr std::uint32_t kTimestampValueLow = 0x094C;
inline constexpr std::uint32_t kGvcpConfiguration = 0x0954;
inline constexpr std::uint32_t kPrimaryApplicationPort = 0x0A04;
inline constexpr std::uint32_t kPrimaryApplicationIp = 0x0A14;
inline constexpr std::uint32_t kMessageChannelPort = 0x0B00;
inline constexpr std::uint32_t kMessageChannelDestination = 0x0B10;
inline constexpr std::uint32_t kMessageChannelTimeout = 0x0B14;
inline constexpr std::uint32_t kMessageChannelRetries = 0x0B18;
inline constexpr std::uint32_t kMessageChannelSourcePort = 0x0B1C;
// Per stream channel, beyond SCP, SCPS, SCPD and SCDA.
inline constexpr std::uint32_t kScspOffset = 0x1C;   // source port
inline constexpr std::uint32_t kSccOffset = 0x20;    // capability
inline constexpr std::uint32_t kSccfgOffset = 0x24;  // configuration

inline constexpr std::uint32_t kTimestampReset = 0x1;
inline constexpr std::uint32_t kTimestampLatch = 0x2;
inline constexpr std::uint32_t kCcpValidBits = kCcpExclusive | kCcpControl;

// Maps the bootstrap block into `space` and fills it: identity, network settings, capability,
// tick frequency, heartbeat timeout, stream channels and the two URL registers.
void map_bootstrap(RegisterSpace& space, const SimConfig& config, net::Ipv4Address current_ip,
                   std::string_view first_url, std::string_view second_url);

}  // namespace korvalite::sim::boot
