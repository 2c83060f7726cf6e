#include "korvalite/sim/stream_packets.hpp"

#include <algorithm>
#include <cstring>

namespace korvalite::sim {

namespace gp = gige::proto;

namespace {

// Chunk-data leader: reserved, payload type, timestamp.
constexpr std::size_t kChunkDataLeaderSize = 12;

}  // namespace

void build_frame(StoredFrame& frame, std::uint64_t block_id, bool extended, std::uint32_t packet_size,
                 const ImageGeometry& geometry, std::uint64_t timestamp, const ChunkPlan& chunks,
                 SceneRenderer* scene, const SceneSettings& scene_settings) {
    frame.block_id = block_id;
    frame.extended = extended;
    frame.per_packet = gp::payload_bytes_per_packet(packet_size, extended);
    frame.payload.resize(image_payload_size(geometry));
    if (scene != nullptr)
        scene->fill(frame.payload, block_id, geometry, scene_settings);
    else
        fill_pattern(frame.payload, block_id, geometry);
    if (chunks.active) make_chunk_payload(frame.payload, frame.scratch, chunks, geometry, block_id, timestamp);
    const std::uint64_t size = frame.payload.size();
    frame.packet_count = static_cast<std::uint32_t>(gp::frame_packet_count(size, frame.per_packet));
    frame.leader_size = gp::kImageLeaderSize;
    if (!chunks.active) {
        gp::put_image_leader(frame.leader, gp::kPayloadTypeImage, timestamp, geometry.pixel_format, geometry.width,
                             geometry.height, geometry.offset_x, geometry.offset_y, 0, 0);
        gp::put_image_trailer(frame.trailer, gp::kPayloadTypeImage, geometry.height);
    } else if (chunks.has(ChunkSelector::Image)) {
        const std::uint16_t type = gp::kPayloadTypeImage | gp::kPayloadTypeChunkFlag;
        gp::put_image_leader(frame.leader, type, timestamp, geometry.pixel_format, geometry.width, geometry.height,
                             geometry.offset_x, geometry.offset_y, 0, 0);
        gp::put_image_trailer(frame.trailer, type, geometry.height);
    } else {
        frame.leader = {};
        gp::put_u16(frame.leader, 2, gp::kPayloadTypeChunkData);
        gp::put_u64(frame.leader, 4, timestamp);
        frame.leader_size = kChunkDataLeaderSize;
        // The chunk-data trailer carries the chunk payload's length where an image's has its height.
        gp::put_image_trailer(frame.trailer, gp::kPayloadTypeChunkData, static_cast<std::uint32_t>(size));
    }
}

void cut_packet(const StoredFrame& frame, std::uint32_t packet_id, std::uint16_t status, PacketParts& out) {
    const std::uint32_t last = frame.packet_count - 1;
    const std::uint8_t format = packet_id == 0      ? gp::packet_format::kLeader
                                : packet_id == last ? gp::packet_format::kTrailer
                                                    : gp::packet_format::kPayload;
    out.head_size = gp::put_gvsp_header(out.head, status, frame.block_id, frame.extended, format, packet_id);
    out.body = {};
    if (format == gp::packet_format::kLeader) {
        std::memcpy(out.head.data() + out.head_size, frame.leader.data(), frame.leader_size);
        out.head_size += frame.leader_size;
    } else if (format == gp::packet_format::kTrailer) {
        std::memcpy(out.head.data() + out.head_size, frame.trailer.data(), frame.trailer.size());
        out.head_size += frame.trailer.size();
    } else {
        const std::size_t offset = gp::payload_offset(packet_id, frame.per_packet);
        const std::size_t n = std::min<std::size_t>(frame.per_packet, frame.payload.size() - offset);
        out.body = gp::ByteView(frame.payload).subspan(offset, n);
    }
}

void error_packet(std::uint16_t status, std::uint64_t block_id, bool extended, std::uint32_t packet_id,
                  PacketParts& out) {
    const std::uint8_t format = packet_id == 0 ? gp::packet_format::kLeader : gp::packet_format::kPayload;
    out.head_size = gp::put_gvsp_header(out.head, status, block_id, extended, format, packet_id);
    out.body = {};
}

gp::ByteVec test_packet(std::uint32_t size) {
    constexpr std::uint32_t kIpUdpHeaders = 28;
    gp::ByteVec out(size > kIpUdpHeaders ? size - kIpUdpHeaders : 0);
    if (out.size() < gp::kGvspHeaderSize) return out;
    gp::put_gvsp_header(out, 0, 0, false, 0, 0);
    // A 16-bit Galois LFSR (taps 0xB400) as filler, so the packet does not compress away.
    std::uint16_t lfsr = 0xACE1;
    for (std::size_t i = gp::kGvspHeaderSize; i < out.size(); ++i) {
        lfsr = static_cast<std::uint16_t>((lfsr >> 1) ^ (-(lfsr & 1u) & 0xB400u));
        out[i] = static_cast<std::byte>(lfsr & 0xFF);
    }
    return out;
}

StoredFrame& FrameHistory::next() {
    StoredFrame& slot = slots_[next_];
    used_[next_] = true;
    next_ = (next_ + 1) % slots_.size();
    return slot;
}

const StoredFrame* FrameHistory::find(std::uint64_t block_id) const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (used_[i] && slots_[i].block_id == block_id) return &slots_[i];
    return nullptr;
}

}  // namespace korvalite::sim
