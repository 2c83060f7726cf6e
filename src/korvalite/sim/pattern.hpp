#pragma once
// The deterministic test image. For a frame with number f (its block id) and a pixel at image
// position (x, y) of a window placed at (offset_x, offset_y) on the sensor:
//
//   g = (x + offset_x) + 2 * (y + offset_y) + 3 * f
//
//   Mono8, BayerRG8, BayerGB8   one byte:  g mod 256
//   Mono10, Mono12, Mono16      16-bit little-endian word: g mod 2^10, 2^12, 2^16
//   RGB8                        three bytes R, G, B: g, g + 85, g + 170 (each mod 256)
//   BGR8                        three bytes B, G, R of the same colour
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
};

// The pixel formats the simulated camera can stream.
std::span<const std::uint32_t> supported_pixel_formats();
bool is_supported_pixel_format(std::uint32_t pixel_format);
// Bytes per pixel of a supported format (0 for any other).
std::uint32_t bytes_per_pixel(std::uint32_t pixel_format);
// width * height * bytes per pixel.
std::uint64_t image_payload_size(const ImageGeometry& geometry);

// Fills `out` (exactly image_payload_size bytes) with frame `frame_number` of the pattern.
void fill_pattern(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry);

}  // namespace korvalite::sim
