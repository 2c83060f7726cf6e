#pragma once
// GVSP: stream packet headers, the image leader, the size arithmetic and pixel format names.
// Decoding happens in place over the receive buffer and never allocates.
#include <cstdint>
#include <optional>
#include <string>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::gige::proto {

inline constexpr std::size_t kGvspHeaderSize = 8;
inline constexpr std::size_t kGvspExtendedHeaderSize = 20;
// IP (20) + UDP (8) + GVSP header: subtract from the packet size to get payload bytes per packet.
inline constexpr std::uint32_t kStandardPacketOverhead = 36;
inline constexpr std::uint32_t kExtendedPacketOverhead = 48;

namespace packet_format {
inline constexpr std::uint8_t kLeader = 1;
inline constexpr std::uint8_t kTrailer = 2;
inline constexpr std::uint8_t kPayload = 3;
inline constexpr std::uint8_t kAllIn = 4;
}  // namespace packet_format

struct GvspPacket {
    std::uint16_t status = 0;
    std::uint64_t block_id = 0;
    bool extended = false;
    std::uint8_t format = 0;  // bits 6-0 of byte 4
    std::uint32_t packet_id = 0;
    ByteView data;

    bool is_error() const { return status >= 0x8000; }
};

// nullopt for datagrams too short for their header form.
std::optional<GvspPacket> decode_gvsp(ByteView datagram);

enum class ChunkFlag : std::uint8_t { NoLeaderInfo, No, Yes };

struct GvspLeader {
    ChunkFlag chunk = ChunkFlag::NoLeaderInfo;
    std::uint16_t payload_type = 0;  // bit 14 cleared
    std::uint64_t timestamp = 0;
    std::uint32_t pixel_format = 0;
    std::uint32_t size_x = 0;
    std::uint32_t size_y = 0;
    std::uint32_t offset_x = 0;
    std::uint32_t offset_y = 0;
    std::uint16_t padding_x = 0;
    std::uint16_t padding_y = 0;

    bool has_info() const { return chunk != ChunkFlag::NoLeaderInfo; }
    // Image (1), chunk data (4) and extended chunk data (5), with or without bit 14, open a frame.
    bool opens_frame() const;
};

GvspLeader decode_leader(ByteView data);

// The line count of an image trailer (payload type image, chunk flag ignored); nullopt for a
// trailer of another payload type or one too short to carry it.
std::optional<std::uint32_t> image_trailer_size_y(ByteView data);

inline constexpr std::uint16_t kPayloadTypeImage = 1;
inline constexpr std::uint16_t kPayloadTypeChunkData = 4;
inline constexpr std::uint16_t kPayloadTypeExtendedChunk = 5;
inline constexpr std::uint16_t kPayloadTypeChunkFlag = 0x4000;

// Payload bytes per payload packet for stream packet size `packet_size` (0 when too small).
inline std::uint32_t payload_bytes_per_packet(std::uint32_t packet_size, bool extended) {
    const std::uint32_t overhead = extended ? kExtendedPacketOverhead : kStandardPacketOverhead;
    return packet_size > overhead ? packet_size - overhead : 0;
}

// Leader + ceil(payload / per_packet) payload packets + trailer.
inline std::uint64_t frame_packet_count(std::uint64_t payload_size, std::uint32_t per_packet) {
    return (payload_size + per_packet - 1) / per_packet + 2;
}

// Offset in the payload of payload packet k (1-based).
inline std::uint64_t payload_offset(std::uint32_t packet_id, std::uint32_t per_packet) {
    return std::uint64_t{packet_id - 1} * per_packet;
}

// --- Device-side encoders ----------------------------------------------------------------

// Writes a GVSP header (standard or extended) and returns its size.
std::size_t put_gvsp_header(MutableBytes out, std::uint16_t status, std::uint64_t block_id, bool extended,
                            std::uint8_t format, std::uint32_t packet_id);

inline constexpr std::size_t kImageLeaderSize = 36;
// Writes the 36-byte image leader data (payload_type as given, bit 14 included).
void put_image_leader(MutableBytes out, std::uint16_t payload_type, std::uint64_t timestamp,
                      std::uint32_t pixel_format, std::uint32_t size_x, std::uint32_t size_y,
                      std::uint32_t offset_x, std::uint32_t offset_y, std::uint16_t padding_x,
                      std::uint16_t padding_y);

inline constexpr std::size_t kImageTrailerSize = 8;
// Writes the 8-byte image trailer data: payload type and size_y.
void put_image_trailer(MutableBytes out, std::uint16_t payload_type, std::uint32_t size_y);

// --- Pixel formats -----------------------------------------------------------------------

struct PixelFormat {
    std::uint32_t code = 0;

    // The display name, or "0x" and eight lowercase hexadecimal digits.
    std::string name() const;
    std::uint8_t bits_per_pixel() const { return static_cast<std::uint8_t>((code >> 16) & 0xFF); }
    bool operator==(const PixelFormat&) const = default;

    static constexpr std::uint32_t kMono8 = 0x01080001;
    static constexpr std::uint32_t kMono10 = 0x01100003;
    static constexpr std::uint32_t kMono12 = 0x01100005;
    static constexpr std::uint32_t kMono16 = 0x01100007;
    static constexpr std::uint32_t kBayerRG8 = 0x01080009;
    static constexpr std::uint32_t kBayerGB8 = 0x0108000A;
    static constexpr std::uint32_t kYUV422_8 = 0x02100032;
    static constexpr std::uint32_t kRGB8 = 0x02180014;
    static constexpr std::uint32_t kBGR8 = 0x02180015;
};

}  // namespace korvalite::gige::proto
