#include "korvalite/sim/pattern.hpp"

#include <algorithm>
#include <array>

#include "korvalite/gige/proto/gvsp.hpp"

namespace korvalite::sim {

namespace {

using gige::proto::PixelFormat;

constexpr std::array<std::uint32_t, 8> kSupported = {
    PixelFormat::kMono8,    PixelFormat::kMono10,   PixelFormat::kMono12, PixelFormat::kMono16,
    PixelFormat::kBayerRG8, PixelFormat::kBayerGB8, PixelFormat::kRGB8,   PixelFormat::kBGR8,
};

// Bits kept from g in the 16-bit formats.
std::uint32_t word_mask(std::uint32_t pixel_format) {
    switch (pixel_format) {
        case PixelFormat::kMono10: return 0x03FF;
        case PixelFormat::kMono12: return 0x0FFF;
        default: return 0xFFFF;
    }
}

void fill_row_8(std::byte* row, std::uint32_t width, std::uint8_t base) {
    for (std::uint32_t x = 0; x < width; ++x) row[x] = static_cast<std::byte>(static_cast<std::uint8_t>(base + x));
}

void fill_row_16(std::byte* row, std::uint32_t width, std::uint16_t base, std::uint16_t mask) {
    for (std::uint32_t x = 0; x < width; ++x) {
        const auto v = static_cast<std::uint16_t>((base + x) & mask);
        row[2 * x] = static_cast<std::byte>(v & 0xFF);
        row[2 * x + 1] = static_cast<std::byte>(v >> 8);
    }
}

void fill_row_rgb(std::byte* row, std::uint32_t width, std::uint8_t base, bool bgr) {
    const std::size_t first = bgr ? 2 : 0, last = bgr ? 0 : 2;
    for (std::uint32_t x = 0; x < width; ++x) {
        const auto g = static_cast<std::uint8_t>(base + x);
        row[3 * x + first] = static_cast<std::byte>(g);
        row[3 * x + 1] = static_cast<std::byte>(static_cast<std::uint8_t>(g + 85));
        row[3 * x + last] = static_cast<std::byte>(static_cast<std::uint8_t>(g + 170));
    }
}

}  // namespace

std::span<const std::uint32_t> supported_pixel_formats() { return kSupported; }

bool is_supported_pixel_format(std::uint32_t pixel_format) {
    return std::find(kSupported.begin(), kSupported.end(), pixel_format) != kSupported.end();
}

std::uint32_t bytes_per_pixel(std::uint32_t pixel_format) {
    if (!is_supported_pixel_format(pixel_format)) return 0;
    return PixelFormat{pixel_format}.bits_per_pixel() / 8;
}

std::uint64_t image_payload_size(const ImageGeometry& geometry) {
    return std::uint64_t{geometry.width} * geometry.height * bytes_per_pixel(geometry.pixel_format);
}

void fill_pattern(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry) {
    const std::uint32_t bpp = bytes_per_pixel(geometry.pixel_format);
    const std::size_t row_bytes = std::size_t{geometry.width} * bpp;
    for (std::uint32_t y = 0; y < geometry.height; ++y) {
        std::byte* row = out.data() + y * row_bytes;
        // Only the low 16 bits of g ever matter, so the sum may wrap freely.
        const std::uint64_t base = geometry.offset_x + 2 * (std::uint64_t{y} + geometry.offset_y) + 3 * frame_number;
        switch (geometry.pixel_format) {
            case PixelFormat::kMono10:
            case PixelFormat::kMono12:
            case PixelFormat::kMono16:
                fill_row_16(row, geometry.width, static_cast<std::uint16_t>(base),
                            static_cast<std::uint16_t>(word_mask(geometry.pixel_format)));
                break;
            case PixelFormat::kRGB8:
            case PixelFormat::kBGR8:
                fill_row_rgb(row, geometry.width, static_cast<std::uint8_t>(base),
                             geometry.pixel_format == PixelFormat::kBGR8);
                break;
            default: fill_row_8(row, geometry.width, static_cast<std::uint8_t>(base)); break;
        }
    }
    const std::size_t stamp = std::min<std::size_t>(8, out.size());
    for (std::size_t i = 0; i < stamp; ++i) out[i] = static_cast<std::byte>((frame_number >> (8 * i)) & 0xFF);
}

}  // namespace korvalite::sim
