#include "korvalite/gige/stream/frame.hpp"

#include <algorithm>

namespace korvalite::gige::stream {

const char* frame_status_name(FrameStatus status) {
    switch (status) {
        case FrameStatus::Complete: return "Complete";
        case FrameStatus::MissingPackets: return "MissingPackets";
        case FrameStatus::Timeout: return "Timeout";
        case FrameStatus::Aborted: return "Aborted";
        case FrameStatus::WrongPacketId: return "WrongPacketId";
        case FrameStatus::PayloadUnsupported: return "PayloadUnsupported";
        case FrameStatus::SizeMismatch: return "SizeMismatch";
        case FrameStatus::OversizedPacket: return "OversizedPacket";
        case FrameStatus::EarlyTrailer: return "EarlyTrailer";
        case FrameStatus::MalformedChunks: return "MalformedChunks";
        case FrameStatus::IncompletePayload: return "IncompletePayload";
    }
    return "?";
}

void fill_leader_fields(FrameInfo& info, const proto::GvspLeader& leader) {
    if (!leader.has_info()) {
        info.timestamp_ticks = 0;
        info.payload_kind = PayloadKind::Other;
        info.payload_type = 0;
        info.has_chunk = HasChunk::NoLeaderInfo;
        info.pixel_format = {};
        info.width = info.height = info.x_offset = info.y_offset = 0;
        info.padding_x = info.padding_y = 0;
        return;
    }
    info.timestamp_ticks = leader.timestamp;
    info.payload_type = leader.payload_type;
    switch (leader.payload_type) {
        case proto::kPayloadTypeImage:
        case proto::kPayloadTypeExtendedChunk: info.payload_kind = PayloadKind::Image; break;
        case proto::kPayloadTypeChunkData: info.payload_kind = PayloadKind::ChunkData; break;
        default: info.payload_kind = PayloadKind::Other; break;
    }
    info.has_chunk = leader.chunk == proto::ChunkFlag::Yes ? HasChunk::Yes : HasChunk::No;
    info.pixel_format = proto::PixelFormat{leader.pixel_format};
    info.width = leader.size_x;
    info.height = leader.size_y;
    info.x_offset = leader.offset_x;
    info.y_offset = leader.offset_y;
    info.padding_x = leader.padding_x;
    info.padding_y = leader.padding_y;
}

std::uint64_t device_ticks_to_ns(std::uint64_t ticks, std::uint64_t frequency, std::uint64_t system_ns) {
    if (frequency == 0) return system_ns;
    constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
    // The remainder term in 128 bits, so that tick rates above ~18 GHz cannot wrap it.
    const auto fraction = static_cast<unsigned __int128>(ticks % frequency) * kNsPerSecond / frequency;
    return (ticks / frequency) * kNsPerSecond + static_cast<std::uint64_t>(fraction);
}

std::span<const std::byte> Frame::data() const {
    auto all = buffer_.bytes();
    return all.first(static_cast<std::size_t>(std::min<std::uint64_t>(all.size(), info_.data_end)));
}

std::vector<proto::ChunkEntry> Frame::chunks() const {
    if (!is_complete() || info_.has_chunk != HasChunk::Yes) return {};
    return proto::parse_chunks(data()).value_or(std::vector<proto::ChunkEntry>{});
}

}  // namespace korvalite::gige::stream
