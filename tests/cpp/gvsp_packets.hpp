#pragma once
// Test helpers for the stream side: GVSP datagrams as a device sends them, and PACKETRESEND
// requests as a device receives them.
#include <cstdint>
#include <optional>
#include <vector>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/gige/proto/gvsp.hpp"

namespace korvalite::test_support {

using gige::proto::ByteVec;

// The payload byte at `offset` of frame `block`: distinct per frame, so stale bytes show.
inline std::byte pattern_byte(std::uint64_t block, std::uint64_t offset) {
    return static_cast<std::byte>((block * 31 + offset) & 0xFF);
}

inline ByteVec gvsp_packet(std::uint64_t block, std::uint8_t format, std::uint32_t packet_id,
                           std::size_t data_size = 0, std::uint16_t status = 0, bool extended = false) {
    const std::size_t header = extended ? gige::proto::kGvspExtendedHeaderSize : gige::proto::kGvspHeaderSize;
    ByteVec out(header + data_size);
    gige::proto::put_gvsp_header(out, status, block, extended, format, packet_id);
    return out;
}

inline ByteVec gvsp_leader(std::uint64_t block, std::uint16_t payload_type = 1, std::uint64_t timestamp = 0,
                           bool extended = false) {
    auto out = gvsp_packet(block, gige::proto::packet_format::kLeader, 0, gige::proto::kImageLeaderSize, 0, extended);
    gige::proto::put_image_leader(std::span(out).last(gige::proto::kImageLeaderSize), payload_type, timestamp,
                                  gige::proto::PixelFormat::kMono8, 8, 4, 2, 1, 0, 0);
    return out;
}

// Payload packet k carrying `size` bytes of the frame's pattern, from offset (k - 1) x per_packet.
inline ByteVec gvsp_payload(std::uint64_t block, std::uint32_t k, std::size_t size, std::size_t per_packet,
                            std::uint16_t status = 0, bool extended = false) {
    auto out = gvsp_packet(block, gige::proto::packet_format::kPayload, k, size, status, extended);
    const std::size_t header = out.size() - size;
    for (std::size_t i = 0; i < size; ++i) out[header + i] = pattern_byte(block, (k - 1) * per_packet + i);
    return out;
}

inline ByteVec gvsp_trailer(std::uint64_t block, std::uint32_t packet_id, bool extended = false) {
    return gvsp_packet(block, gige::proto::packet_format::kTrailer, packet_id, gige::proto::kImageTrailerSize, 0,
                       extended);
}

// Every datagram of one frame, leader first, skipping the packet ids in `skip`.
inline std::vector<ByteVec> gvsp_frame(std::uint64_t block, std::uint64_t payload_size, std::size_t per_packet,
                                       const std::vector<std::uint32_t>& skip = {}) {
    std::vector<ByteVec> out;
    const auto payload_packets = static_cast<std::uint32_t>((payload_size + per_packet - 1) / per_packet);
    auto skipped = [&](std::uint32_t id) { return std::find(skip.begin(), skip.end(), id) != skip.end(); };
    if (!skipped(0)) out.push_back(gvsp_leader(block));
    for (std::uint32_t k = 1; k <= payload_packets; ++k) {
        const std::size_t size = std::min<std::uint64_t>(per_packet, payload_size - (k - 1) * per_packet);
        if (!skipped(k)) out.push_back(gvsp_payload(block, k, size, per_packet));
    }
    if (!skipped(payload_packets + 1)) out.push_back(gvsp_trailer(block, payload_packets + 1));
    return out;
}

struct ResendRequest {
    std::uint16_t request_id;
    std::uint64_t block_id;
    std::uint32_t first;
    std::uint32_t last;
    bool extended;
    bool operator==(const ResendRequest&) const = default;
};

inline std::optional<ResendRequest> decode_resend(gige::proto::ByteView b) {
    using namespace gige::proto;
    if (b.size() < kPacketResendSize || u16_at(b, 2) != code::kPacketResendCmd) return std::nullopt;
    const bool extended = b.size() >= kPacketResendExtendedSize;
    return ResendRequest{u16_at(b, 6), extended ? u64_at(b, 20) : u32_at(b, 8), u32_at(b, 12), u32_at(b, 16),
                         extended};
}

}  // namespace korvalite::test_support
