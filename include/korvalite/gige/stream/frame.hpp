#pragma once
// A completed (or given-up) frame: its pooled payload buffer plus what the leader and the
// reassembly said about it. Immutable once made and shared by all its receivers; the buffer
// returns to its pool when the last reference goes.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/proto/gvsp_chunks.hpp"
#include "korvalite/gige/stream/pool.hpp"

namespace korvalite::gige::stream {

enum class FrameStatus : std::uint8_t {
    Complete = 0,
    MissingPackets = 1,
    Timeout = 2,
    Aborted = 3,
    WrongPacketId = 4,
    PayloadUnsupported = 5,   // a payload this receiver does not decode (all-in packets)
    SizeMismatch = 6,         // the payload is larger than the buffer
    OversizedPacket = 7,      // a payload packet carried more data than a packet holds
    EarlyTrailer = 8,         // the trailer counted fewer packets than the frame carried
    MalformedChunks = 9,      // every packet arrived, but the chunk tags do not fit the payload
    IncompletePayload = 10,   // the trailer came before the image's bytes, and the rest never did
};

// "Complete", "MissingPackets", ...: the status's debug text.
const char* frame_status_name(FrameStatus status);

// Image for payload types 1 and 5, chunk data for 4, other for anything else (the raw type is
// then in payload_type; 0 without leader information).
enum class PayloadKind : std::uint8_t { Image, ChunkData, Other };

// Whether the payload carries chunk data; NoLeaderInfo when no usable leader arrived.
enum class HasChunk : std::uint8_t { No = 0, Yes = 1, NoLeaderInfo = 2 };

struct FrameInfo {
    std::uint64_t frame_id = 0;
    std::uint64_t timestamp_ticks = 0;
    std::uint64_t timestamp_ns = 0;
    std::uint64_t system_timestamp_ns = 0;
    std::uint64_t received_size = 0;
    std::uint64_t data_end = 0;  // highest buffer offset written plus one
    PayloadKind payload_kind = PayloadKind::Other;
    std::uint16_t payload_type = 0;  // bit 14 cleared
    HasChunk has_chunk = HasChunk::NoLeaderInfo;
    proto::PixelFormat pixel_format;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t x_offset = 0;
    std::uint32_t y_offset = 0;
    std::uint16_t padding_x = 0;
    std::uint16_t padding_y = 0;
    FrameStatus status = FrameStatus::Complete;
};

// Leader-derived fields of FrameInfo from a decoded leader (zeros without leader information).
void fill_leader_fields(FrameInfo& info, const proto::GvspLeader& leader);

// Device ticks to nanoseconds at `frequency` ticks per second; with frequency 0 the host's
// `system_ns` stands in.
std::uint64_t device_ticks_to_ns(std::uint64_t ticks, std::uint64_t frequency, std::uint64_t system_ns);

class Frame {
public:
    Frame(PooledBuf buffer, const FrameInfo& info) : buffer_(std::move(buffer)), info_(info) {}

    std::uint64_t frame_id() const { return info_.frame_id; }
    std::uint64_t timestamp_ticks() const { return info_.timestamp_ticks; }
    std::uint64_t timestamp_ns() const { return info_.timestamp_ns; }
    std::uint64_t system_timestamp_ns() const { return info_.system_timestamp_ns; }
    std::uint64_t received_size() const { return info_.received_size; }
    std::uint64_t data_end() const { return info_.data_end; }
    PayloadKind payload_kind() const { return info_.payload_kind; }
    std::uint16_t payload_type() const { return info_.payload_type; }
    HasChunk has_chunk() const { return info_.has_chunk; }
    proto::PixelFormat pixel_format() const { return info_.pixel_format; }
    std::uint8_t bits_per_pixel() const { return info_.pixel_format.bits_per_pixel(); }
    std::uint32_t width() const { return info_.width; }
    std::uint32_t height() const { return info_.height; }
    std::uint32_t x_offset() const { return info_.x_offset; }
    std::uint32_t y_offset() const { return info_.y_offset; }
    std::uint16_t padding_x() const { return info_.padding_x; }
    std::uint16_t padding_y() const { return info_.padding_y; }
    FrameStatus status() const { return info_.status; }
    bool is_complete() const { return info_.status == FrameStatus::Complete; }
    const FrameInfo& info() const { return info_; }

    // The first min(buffer length, data end) bytes. In an incomplete frame the bytes of missing
    // packets are whatever an earlier frame left in the buffer (zeros in a buffer never used).
    std::span<const std::byte> data() const;
    // The chunks of data(), in payload order: only for a complete frame whose leader announced
    // chunk data (a layout that does not parse has made the frame MalformedChunks); else none.
    std::vector<proto::ChunkEntry> chunks() const;
    // The whole payload buffer.
    std::span<const std::byte> buffer() const { return buffer_.bytes(); }

private:
    PooledBuf buffer_;
    FrameInfo info_;
};

using FramePtr = std::shared_ptr<const Frame>;

}  // namespace korvalite::gige::stream
