#include "korvalite/gige/proto/gvsp_chunks.hpp"

#include <algorithm>

namespace korvalite::gige::proto {

const char* chunk_layout_error_name(ChunkLayoutError error) {
    switch (error) {
        case ChunkLayoutError::TruncatedTag: return "truncated chunk tag";
        case ChunkLayoutError::LengthPastStart: return "chunk length past the start of the payload";
        case ChunkLayoutError::TooManyChunks: return "too many chunks";
    }
    return "?";
}

std::expected<std::vector<ChunkEntry>, ChunkLayoutError> parse_chunks(ByteView payload) {
    std::vector<ChunkEntry> chunks;
    auto walked = walk_chunks(payload, [&](const ChunkEntry& entry) { chunks.push_back(entry); });
    if (!walked) return std::unexpected(walked.error());
    std::reverse(chunks.begin(), chunks.end());
    return chunks;
}

void append_chunk(ByteVec& payload, std::uint32_t id, ByteView data) {
    const std::size_t padded = (data.size() + 3) / 4 * 4;
    const std::size_t start = payload.size();
    payload.resize(start + padded + kChunkTagSize);
    std::copy(data.begin(), data.end(), payload.begin() + static_cast<std::ptrdiff_t>(start));
    const auto tag = MutableBytes(payload).subspan(start + padded);
    put_u32(tag, 0, id);
    put_u32(tag, 4, static_cast<std::uint32_t>(padded));
}

}  // namespace korvalite::gige::proto
