#pragma once
// The deterministic test image (TestPattern GreyDiagonalRampMoving; scene.hpp has the scene). For a frame with number f (its block id) and a pixel at image
// position (x, y) of a window placed at (offset_x, offset_y) on the sensor:
//
//   g = (x + offset_x) + 2 * (y + offset_y) + 3 * f
//
//   Mono8, Bayer*8                  one byte:  g mod 256
//   Mono10/12/16, Bayer*10, *12     16-bit little-endian word: g mod 2^10, 2^12, 2^16
//   Mono10p/12p, Mono12Packed,      the same 10- or 12-bit values as the unpacked format of
//   Bayer*10p/12p, Bayer*12Packed   that depth, packed over the whole image without row breaks
//   RGB8                            three bytes R, G, B: g, g + 85, g + 170 (each mod 256)
//   BGR8                            three bytes B, G, R of the same colour
//   YUV422_8                        two bytes: chroma then luma
//   YCbCr422_8                      two bytes: luma then chroma
//       luma g, chroma g + 85 at even x (U, Cb) and g + 170 at odd x (V, Cr), each mod 256
//
// Rows follow each other without padding. Finally the first eight bytes of the payload (or all
// of it, when shorter) are replaced by f as a 64-bit little-endian number.
#include <cstdint>
#include <span>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::sim {

struct ImageGeometry {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t offset_x = 0;
    std::uint32_t offset_y = 0;
    std::uint32_t pixel_format = 0;

    bool operator==(const ImageGeometry&) const = default;
};

// The pixel formats the simulated camera can stream: every format korvalite knows.
std::span<const std::uint32_t> supported_pixel_formats();
bool is_supported_pixel_format(std::uint32_t pixel_format);
// Payload bytes of one image (packed formats rounded up to whole bytes); 0 for an unsupported format.
std::uint64_t image_payload_size(const ImageGeometry& geometry);

// Fills `out` (exactly image_payload_size bytes) with frame `frame_number` of the pattern.
void fill_pattern(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry);

}  // namespace korvalite::sim
