#pragma once
// Where a payload packet the worker expects next belongs in its frame's buffer, so that the
// kernel can write the packet's data straight there instead of into a receive buffer that is
// then copied.
#include <cstddef>
#include <cstdint>
#include <span>

#include "korvalite/gige/proto/gvsp.hpp"

namespace korvalite::gige::stream {

struct PacketPlace {
    std::uint64_t block_id = 0;
    std::uint32_t packet_id = 0;
    bool extended = false;
    std::span<std::byte> data;  // the packet's bytes in the frame buffer

    std::size_t header_size() const { return extended ? proto::kGvspExtendedHeaderSize : proto::kGvspHeaderSize; }
};

// Whether a datagram received with `head` as its header, `data_size` bytes in place.data and
// `overflow` bytes beyond is the packet the place was made for, whole: a payload packet of
// that block and packet id, in that header form, with no byte past the place.
bool landed_in_place(proto::ByteView head, std::size_t data_size, std::size_t overflow, const PacketPlace& place);

}  // namespace korvalite::gige::stream
