#include "korvalite/sim/chunk_payload.hpp"

#include <bit>

#include "korvalite/gige/proto/gvsp_chunks.hpp"

namespace korvalite::sim {

namespace {

namespace gp = gige::proto;

template <std::size_t N>
std::array<std::byte, N> little_endian(std::uint64_t value) {
    std::array<std::byte, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace

void make_chunk_payload(gp::ByteVec& payload, gp::ByteVec& scratch, const ChunkPlan& plan,
                        const ImageGeometry& geometry, std::uint64_t block_id, std::uint64_t timestamp) {
    scratch.swap(payload);
    const gp::ByteVec& image = scratch;
    payload.clear();
    const auto id = [](ChunkSelector s) { return kChunkIds[static_cast<std::uint32_t>(s)]; };
    if (plan.has(ChunkSelector::Image)) gp::append_chunk(payload, id(ChunkSelector::Image), image);
    if (plan.has(ChunkSelector::Timestamp))
        gp::append_chunk(payload, id(ChunkSelector::Timestamp), little_endian<8>(timestamp));
    if (plan.has(ChunkSelector::ExposureTime))
        gp::append_chunk(payload, id(ChunkSelector::ExposureTime),
                         little_endian<8>(std::bit_cast<std::uint64_t>(plan.exposure_us)));
    if (plan.has(ChunkSelector::FrameID)) gp::append_chunk(payload, id(ChunkSelector::FrameID), little_endian<8>(block_id));
    if (plan.has(ChunkSelector::Width)) gp::append_chunk(payload, id(ChunkSelector::Width), little_endian<4>(geometry.width));
    if (plan.has(ChunkSelector::Height))
        gp::append_chunk(payload, id(ChunkSelector::Height), little_endian<4>(geometry.height));
}

}  // namespace korvalite::sim
