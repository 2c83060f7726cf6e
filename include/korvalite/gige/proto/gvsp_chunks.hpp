#pragma once
// GVSP chunk data: a payload made of chunks, each chunk's data followed by an 8-byte tag (chunk
// id, then data length, both big-endian). The layout is read from the end of the payload
// backwards, tag by tag, until the start is reached exactly. Every length is checked against
// the bytes left, so a hostile layout is refused and never read outside the payload.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::gige::proto {

inline constexpr std::size_t kChunkTagSize = 8;
// More chunks than this in one payload is no real layout (a payload of zeros reads as endless
// empty chunks); refusing it bounds the work a hostile payload can cause.
inline constexpr std::size_t kMaxChunks = 256;

struct ChunkEntry {
    std::uint32_t id = 0;
    std::size_t offset = 0;  // of the chunk's data in the payload
    std::size_t length = 0;
    bool operator==(const ChunkEntry&) const = default;
};

enum class ChunkLayoutError : std::uint8_t {
    TruncatedTag,    // fewer than 8 bytes left before the start for a tag
    LengthPastStart, // a chunk's length reaches beyond the start of the payload
    TooManyChunks,   // more than kMaxChunks tags
};

const char* chunk_layout_error_name(ChunkLayoutError error);

// Calls `on_chunk(entry)` for each chunk from the last to the first; the number of chunks, or
// the first fault of the layout (chunks before it have been reported). An empty payload holds
// no chunks.
template <class OnChunk>
std::expected<std::size_t, ChunkLayoutError> walk_chunks(ByteView payload, OnChunk&& on_chunk) {
    std::size_t end = payload.size();
    std::size_t count = 0;
    while (end > 0) {
        if (end < kChunkTagSize) return std::unexpected(ChunkLayoutError::TruncatedTag);
        if (count == kMaxChunks) return std::unexpected(ChunkLayoutError::TooManyChunks);
        const std::size_t tag = end - kChunkTagSize;
        const std::uint32_t id = u32_at(payload, tag);
        const std::uint32_t length = u32_at(payload, tag + 4);
        if (length > tag) return std::unexpected(ChunkLayoutError::LengthPastStart);
        end = tag - length;
        on_chunk(ChunkEntry{id, end, length});
        ++count;
    }
    return count;
}

// The chunks of `payload` in payload order (first chunk first).
std::expected<std::vector<ChunkEntry>, ChunkLayoutError> parse_chunks(ByteView payload);

// Device side: appends one chunk (its data, zero-padded to a multiple of 4 bytes, and its tag).
void append_chunk(ByteVec& payload, std::uint32_t id, ByteView data);

}  // namespace korvalite::gige::proto
