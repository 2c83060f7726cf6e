#pragma once
// GVCP: the control protocol's packet layouts, recognition rules, event decoding and status names.
// Pure functions over byte spans; no sockets.
#include <array>
#include <cstdint>
#include <vector>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/gvcp_status.hpp"

namespace korvalite::gige::proto {

inline constexpr std::uint16_t kGvcpPort = 3956;
inline constexpr std::uint8_t kCommandKey = 0x42;
inline constexpr std::size_t kGvcpHeaderSize = 8;
inline constexpr std::uint8_t kFlagAckRequired = 0x01;
inline constexpr std::uint8_t kFlagBroadcastOrExtended = 0x10;
inline constexpr std::size_t kMaxMemoryChunk = 512;

// Command and acknowledge codes.
namespace code {
inline constexpr std::uint16_t kDiscoveryCmd = 0x0002;
inline constexpr std::uint16_t kDiscoveryAck = 0x0003;
inline constexpr std::uint16_t kPacketResendCmd = 0x0040;
inline constexpr std::uint16_t kReadRegCmd = 0x0080;
inline constexpr std::uint16_t kReadRegAck = 0x0081;
inline constexpr std::uint16_t kWriteRegCmd = 0x0082;
inline constexpr std::uint16_t kWriteRegAck = 0x0083;
inline constexpr std::uint16_t kReadMemCmd = 0x0084;
inline constexpr std::uint16_t kReadMemAck = 0x0085;
inline constexpr std::uint16_t kWriteMemCmd = 0x0086;
inline constexpr std::uint16_t kWriteMemAck = 0x0087;
inline constexpr std::uint16_t kPendingAck = 0x0089;
inline constexpr std::uint16_t kEventCmd = 0x00C0;
inline constexpr std::uint16_t kEventAck = 0x00C1;
inline constexpr std::uint16_t kEventDataCmd = 0x00C2;
inline constexpr std::uint16_t kEventDataAck = 0x00C3;
}  // namespace code

// "READMEM" for a command code, or nullptr for one without a name.
const char* command_name(std::uint16_t command);

// Status codes and names live in the one table of korvalite/gvcp_status.hpp.
using korvalite::GvcpStatus;
namespace status = korvalite::gvcp_status;

// --- Host-side encoders ---------------------------------------------------------------------

ByteVec encode_read_reg(std::span<const std::uint32_t> addresses, std::uint16_t request_id);
ByteVec encode_write_reg(std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                         std::uint16_t request_id);
ByteVec encode_read_mem(std::uint32_t address, std::uint16_t count, std::uint16_t request_id);
ByteVec encode_write_mem(std::uint32_t address, ByteView data, std::uint16_t request_id);
// The discovery broadcast: always the 8 bytes 42 11 00 02 00 00 FF FF.
std::array<std::byte, 8> encode_discovery();
// The 8-byte acknowledge of an EVENT/EVENTDATA command: status 0, code + 1, length 0, same id.
std::array<std::byte, 8> encode_event_ack(std::uint16_t command, std::uint16_t request_id);

inline constexpr std::size_t kPacketResendSize = 20;
inline constexpr std::size_t kPacketResendExtendedSize = 28;
// Writes a PACKETRESEND into `buffer` (at least 20 or 28 bytes) and returns the size written.
std::size_t encode_packet_resend(MutableBytes buffer, std::uint64_t block_id, std::uint32_t first_packet,
                                 std::uint32_t last_packet, bool extended, std::uint16_t request_id);

// --- Device-side encoders (the simulated camera and scripted test devices) --------------------

// An acknowledge: status, acknowledge code, length = payload size, acknowledge id, payload.
ByteVec encode_ack(std::uint16_t status, std::uint16_t ack_code, std::uint16_t ack_id, ByteView payload = {});
// A command header with payload (device commands such as EVENT, or any host command).
ByteVec encode_command(std::uint8_t flags, std::uint16_t command, std::uint16_t request_id, ByteView payload);

// The acknowledges a device sends: READREG values; WRITEREG/WRITEMEM with the number of
// registers or bytes written; READMEM with the echoed address and the data; PENDING_ACK with its
// time to completion.
ByteVec encode_read_reg_ack(std::uint16_t status, std::uint16_t ack_id, std::span<const std::uint32_t> values);
ByteVec encode_write_ack(std::uint16_t status, std::uint16_t ack_code, std::uint16_t ack_id, std::uint16_t done);
ByteVec encode_read_mem_ack(std::uint16_t status, std::uint16_t ack_id, std::uint32_t address, ByteView data);
ByteVec encode_pending_ack(std::uint16_t ack_id, std::uint16_t milliseconds);
// An EVENT (or, with data, EVENTDATA) command of one 16-byte record.
ByteVec encode_event_command(bool ack_required, std::uint16_t request_id, std::uint16_t event_id,
                             std::uint16_t stream_channel, std::uint16_t block_id, std::uint64_t timestamp,
                             std::optional<ByteView> data);

// --- Recognition --------------------------------------------------------------------------

// A well-formed datagram, split into header fields and its `length`-byte payload.
struct GvcpDatagram {
    bool is_command = false;  // first byte 0x42
    std::uint8_t flags = 0;   // commands: byte 1
    std::uint16_t status = 0; // acknowledges: bytes 0-1
    std::uint16_t code = 0;   // command or acknowledge code
    std::uint16_t length = 0;
    std::uint16_t id = 0;     // request id (command) or acknowledge id
    ByteView payload;

    bool is_nak() const { return !is_command && (status & 0x8000) != 0; }
};

// Classifies and validates a received datagram; nullopt when malformed (under 8 bytes, or
// fewer payload bytes than the header's length).
std::optional<GvcpDatagram> parse_datagram(ByteView datagram);

// READREG acknowledge values in whole 4-byte units.
inline std::size_t read_reg_value_count(const GvcpDatagram& ack) { return ack.length / 4; }
inline std::uint32_t read_reg_value(const GvcpDatagram& ack, std::size_t i) { return u32_at(ack.payload, 4 * i); }

// PENDING_ACK delay in milliseconds; nullopt when the payload is under 4 bytes (then the
// acknowledge counts as an ordinary final one).
std::optional<std::uint32_t> pending_ack_delay_ms(const GvcpDatagram& ack);

// Device commands the host accepts: EVENT and EVENTDATA.
inline bool is_accepted_device_command(std::uint16_t command) {
    return command == code::kEventCmd || command == code::kEventDataCmd;
}

// The identity payload of an acceptable discovery acknowledge, else nullopt.
std::optional<ByteView> discovery_ack_payload(ByteView datagram);

// --- Device-side decoders (what a device reads from the host's commands) ----------------------

// READREG: the addresses; nullopt unless the payload is one or more whole words.
std::optional<std::vector<std::uint32_t>> decode_read_reg(const GvcpDatagram& command);
// WRITEREG: the (address, value) pairs; nullopt unless the payload is one or more whole pairs.
std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> decode_write_reg(const GvcpDatagram& command);

struct ReadMemRequest {
    std::uint32_t address = 0;
    std::uint32_t count = 0;
};
// READMEM: address and byte count; nullopt unless the payload is exactly 8 bytes.
std::optional<ReadMemRequest> decode_read_mem(const GvcpDatagram& command);

struct WriteMemRequest {
    std::uint32_t address = 0;
    ByteView data;
};
// WRITEMEM: address and data; nullopt when the payload is under 4 bytes.
std::optional<WriteMemRequest> decode_write_mem(const GvcpDatagram& command);

struct ResendRequest {
    std::uint32_t channel = 0;
    std::uint64_t block_id = 0;
    std::uint32_t first_packet = 0;
    std::uint32_t last_packet = 0;
    bool extended = false;  // asked in the extended form

    bool operator==(const ResendRequest&) const = default;
};
// PACKETRESEND (normal form, or extended when the header's flag 0x10 is set); nullopt when the
// payload is too short.
std::optional<ResendRequest> decode_packet_resend(std::uint8_t flags, ByteView payload);

// --- Events -----------------------------------------------------------------------------

struct GvcpEvent {
    std::uint16_t command = 0;
    std::uint16_t event_id = 0;
    std::uint16_t stream_channel = 0;
    std::uint16_t block_id = 0;
    std::uint64_t timestamp = 0;
    ByteVec data;
    ByteVec payload;

    // Decodes the first 16-byte record of an EVENT/EVENTDATA payload; never fails.
    static GvcpEvent parse(std::uint16_t command, ByteView payload);
};

}  // namespace korvalite::gige::proto
