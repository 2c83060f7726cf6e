#pragma once
// GVCP status codes: the one table of their values and names, for the protocol, the simulated
// camera and the error messages that quote a device's answer.
#include <cstdint>
#include <string>

namespace korvalite {

namespace gvcp_status {
inline constexpr std::uint16_t kSuccess = 0x0000;
inline constexpr std::uint16_t kPacketResend = 0x0100;
inline constexpr std::uint16_t kNotImplemented = 0x8001;
inline constexpr std::uint16_t kInvalidParameter = 0x8002;
inline constexpr std::uint16_t kInvalidAddress = 0x8003;
inline constexpr std::uint16_t kWriteProtect = 0x8004;
inline constexpr std::uint16_t kBadAlignment = 0x8005;
inline constexpr std::uint16_t kAccessDenied = 0x8006;
inline constexpr std::uint16_t kBusy = 0x8007;
inline constexpr std::uint16_t kPacketUnavailable = 0x800C;
inline constexpr std::uint16_t kDataOverrun = 0x800D;
inline constexpr std::uint16_t kInvalidHeader = 0x800E;
inline constexpr std::uint16_t kPacketNotYetAvailable = 0x8010;
inline constexpr std::uint16_t kPacketAndPreviousRemoved = 0x8011;
inline constexpr std::uint16_t kPacketRemoved = 0x8012;
inline constexpr std::uint16_t kNoReferenceTime = 0x8013;
inline constexpr std::uint16_t kPacketTemporarilyUnavailable = 0x8014;
inline constexpr std::uint16_t kOverflow = 0x8015;
inline constexpr std::uint16_t kActionLate = 0x8016;
inline constexpr std::uint16_t kLeaderTrailerOverflow = 0x8017;
inline constexpr std::uint16_t kGenericError = 0x8FFF;
}  // namespace gvcp_status

// A 16-bit GVCP status; bit 15 marks an error.
struct GvcpStatus {
    std::uint16_t code = 0;

    bool is_error() const { return (code & 0x8000) != 0; }
    // The status name, or nullptr for a code without one.
    const char* name() const;
    // "access denied (0x8006)", or "status 0x800f" for a code without a name.
    std::string display() const;
    bool operator==(const GvcpStatus&) const = default;
};

}  // namespace korvalite
