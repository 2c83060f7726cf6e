#pragma once
// The simulated camera's chunk data: which chunks ChunkModeActive and ChunkEnable ask for, and
// the payload they make. The image comes first (so its pixels start the payload), then the
// enabled values in selector order, each followed by its tag. Values are little-endian.
#include <array>
#include <cstdint>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/sim/pattern.hpp"

namespace korvalite::sim {

// ChunkSelector values; bit (1 << selector) of ChunkPlan::enabled.
enum class ChunkSelector : std::uint32_t { Image = 0, Timestamp = 1, ExposureTime = 2, FrameID = 3, Width = 4, Height = 5 };
inline constexpr std::uint32_t kChunkSelectors = 6;

// The ChunkID of each selector's chunk, as the built-in description's chunk ports name them.
inline constexpr std::array<std::uint32_t, kChunkSelectors> kChunkIds = {
    0xA5C10001, 0xA5C10002, 0xA5C10003, 0xA5C10004, 0xA5C10005, 0xA5C10006};

struct ChunkPlan {
    bool active = false;
    std::uint32_t enabled = 0;  // bit per ChunkSelector
    double exposure_us = 0.0;

    bool has(ChunkSelector s) const { return (enabled >> static_cast<std::uint32_t>(s) & 1u) != 0; }
};

// Turns `payload`, which holds the image, into the chunk payload `plan` asks for: the image
// becomes the first chunk (or is dropped when its chunk is off), the enabled values follow.
// `scratch` is working room whose capacity is kept for the next frame.
void make_chunk_payload(gige::proto::ByteVec& payload, gige::proto::ByteVec& scratch, const ChunkPlan& plan,
                        const ImageGeometry& geometry, std::uint64_t block_id, std::uint64_t timestamp);

}  // namespace korvalite::sim
