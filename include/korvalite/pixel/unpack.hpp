#pragma once
// Packed 10- and 12-bit pixels to 16-bit samples and back. Unpacking is the one copy a packed
// frame makes on its way to an array, so it runs at close to memory speed; packing serves the
// simulated camera and tests.
#include <cstddef>
#include <cstdint>
#include <span>

#include "korvalite/pixel/formats.hpp"

namespace korvalite::pixel {

// Bytes `pixels` packed pixels take, the last byte possibly part-filled; 0 for Packing::None.
std::uint64_t packed_bytes(Packing packing, std::uint64_t pixels);

// An image of packed pixels. Without line padding the rows follow each other bit for bit (a row
// may end inside a byte); with padding every row starts on a byte boundary, `line_padding` bytes
// after the previous row's last byte.
struct PackedImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t line_padding = 0;
};

// Bytes the image needs (the last row without its padding), at most UINT64_MAX.
std::uint64_t packed_image_bytes(Packing packing, const PackedImage& image);

// Unpacks out.size() pixels from the start of `in`. False, with nothing written, when `in` is
// shorter than packed_bytes(out.size()) or `packing` is None.
[[nodiscard]] bool unpack(Packing packing, std::span<const std::byte> in, std::span<std::uint16_t> out);

// Unpacks the image into width * height samples, row after row, without padding. False, with
// nothing written, when `in` is shorter than packed_image_bytes or `out` is not exactly the size.
[[nodiscard]] bool unpack_image(Packing packing, std::span<const std::byte> in, const PackedImage& image,
                                std::span<std::uint16_t> out);

// Packs in.size() samples (their significant bits only) into the start of `out`, clearing the
// unused bits of a part-filled last byte. False, with nothing written, when `out` is too short.
[[nodiscard]] bool pack(Packing packing, std::span<const std::uint16_t> in, std::span<std::byte> out);

}  // namespace korvalite::pixel
