// A frame payload read as chunk data: a layout that parses must tile the payload exactly, each
// chunk's data followed by its tag, and one that does not must be refused without reading
// outside the payload.
#include "fuzz_support.hpp"
#include "korvalite/gige/proto/gvsp_chunks.hpp"

using namespace korvalite::gige::proto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView payload(reinterpret_cast<const std::byte*>(data), size);
    const auto chunks = parse_chunks(payload);
    if (!chunks) return 0;
    KORVALITE_FUZZ_CHECK(chunks->size() <= kMaxChunks);
    std::size_t at = 0;
    for (const ChunkEntry& chunk : *chunks) {
        KORVALITE_FUZZ_CHECK(chunk.offset == at);
        at = chunk.offset + chunk.length;
        KORVALITE_FUZZ_CHECK(at + kChunkTagSize <= size);
        KORVALITE_FUZZ_CHECK(u32_at(payload, at) == chunk.id && u32_at(payload, at + 4) == chunk.length);
        at += kChunkTagSize;
    }
    KORVALITE_FUZZ_CHECK(at == size);
    return 0;
}
