#pragma once
// Frames as the stream sender keeps them for resending, and the GVSP packets cut from them:
// leader (id 0), payload packets (1 .. count - 2), trailer (count - 1).
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/sim/chunk_payload.hpp"
#include "korvalite/sim/pattern.hpp"
#include "korvalite/sim/scene.hpp"

namespace korvalite::sim {

inline constexpr std::size_t kMaxGvspHeader = gige::proto::kGvspExtendedHeaderSize;
// Room for a header and a leader's data in one buffer.
inline constexpr std::size_t kPacketHeadRoom = kMaxGvspHeader + gige::proto::kImageLeaderSize;

struct StoredFrame {
    std::uint64_t block_id = 0;
    bool extended = false;
    std::uint32_t per_packet = 0;    // payload bytes per payload packet
    std::uint32_t packet_count = 0;  // leader + payload packets + trailer
    std::array<std::byte, gige::proto::kImageLeaderSize> leader{};
    std::size_t leader_size = gige::proto::kImageLeaderSize;  // a chunk-data leader is shorter
    std::array<std::byte, gige::proto::kImageTrailerSize> trailer{};
    gige::proto::ByteVec payload;
    gige::proto::ByteVec scratch;  // working room of the chunk payload, reused with the slot
};

// Fills `frame` with a freshly produced image: leader and trailer data, and the exact test
// pattern, or with `scene` the scene it renders for `scene_settings`. With chunk mode active the
// payload is chunk data: an image leader with the extended chunk flag while the image chunk is
// on, else a chunk-data leader (payload type 4, no image fields).
void build_frame(StoredFrame& frame, std::uint64_t block_id, bool extended, std::uint32_t packet_size,
                 const ImageGeometry& geometry, std::uint64_t timestamp, const ChunkPlan& chunks = {},
                 SceneRenderer* scene = nullptr, const SceneSettings& scene_settings = {});

// One packet: `head` holds the header (and a leader's or trailer's data); `body` points into
// the frame's payload for payload packets.
struct PacketParts {
    std::array<std::byte, kPacketHeadRoom> head{};
    std::size_t head_size = 0;
    gige::proto::ByteView body;

    std::size_t size() const { return head_size + body.size(); }
};

// Packet `packet_id` (< packet_count) of `frame`, with GVSP status `status`.
void cut_packet(const StoredFrame& frame, std::uint32_t packet_id, std::uint16_t status, PacketParts& out);
// A header-only error packet, the answer for packets that can no longer be resent.
void error_packet(std::uint16_t status, std::uint64_t block_id, bool extended, std::uint32_t packet_id,
                  PacketParts& out);
// The UDP payload of a fire-test packet of `size` bytes on the path (IP and UDP headers
// included): a GVSP header with block id 0 and no packet format, then a pseudo-random filler.
gige::proto::ByteVec test_packet(std::uint32_t size);

// The last frames sent, for resending; slots and their buffers are reused.
class FrameHistory {
public:
    explicit FrameHistory(std::size_t capacity) : slots_(capacity) {}
    // The slot for the next frame (the oldest one, emptied).
    StoredFrame& next();
    // The frame with this block id, if still kept.
    const StoredFrame* find(std::uint64_t block_id) const;

private:
    std::vector<StoredFrame> slots_;
    std::vector<bool> used_ = std::vector<bool>(slots_.size(), false);
    std::size_t next_ = 0;
};

}  // namespace korvalite::sim
