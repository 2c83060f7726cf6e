#include "korvalite/sim/pattern.hpp"

#include <algorithm>
#include <vector>

#include "korvalite/pixel/formats.hpp"
#include "korvalite/pixel/unpack.hpp"

namespace korvalite::sim {

namespace {

using pixel::FormatInfo;
using pixel::Layout;
using pixel::Packing;

const std::vector<std::uint32_t>& supported_codes() {
    static const auto codes = [] {
        std::vector<std::uint32_t> out;
        for (const FormatInfo& f : pixel::known_formats()) out.push_back(f.code);
        return out;
    }();
    return codes;
}

// Only the low 16 bits of g ever matter, so sums may wrap freely.
std::uint16_t row_base(const ImageGeometry& geometry, std::uint32_t y, std::uint64_t frame_number) {
    return static_cast<std::uint16_t>(geometry.offset_x + 2 * (std::uint64_t{y} + geometry.offset_y) +
                                      3 * frame_number);
}

void fill_row_8(std::byte* row, std::uint32_t width, std::uint8_t base) {
    for (std::uint32_t x = 0; x < width; ++x) row[x] = static_cast<std::byte>(static_cast<std::uint8_t>(base + x));
}

void fill_words(std::uint16_t* row, std::uint32_t width, std::uint16_t base, std::uint16_t mask) {
    for (std::uint32_t x = 0; x < width; ++x) row[x] = static_cast<std::uint16_t>((base + x) & mask);
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

void fill_row_422(std::byte* row, std::uint32_t width, std::uint8_t base, bool luma_first) {
    for (std::uint32_t x = 0; x < width; ++x) {
        const auto g = static_cast<std::uint8_t>(base + x);
        const auto chroma = static_cast<std::uint8_t>(g + (x % 2 == 0 ? 85 : 170));
        row[2 * x + (luma_first ? 0 : 1)] = static_cast<std::byte>(g);
        row[2 * x + (luma_first ? 1 : 0)] = static_cast<std::byte>(chroma);
    }
}

std::uint16_t sample_mask(const FormatInfo& f) { return static_cast<std::uint16_t>((1u << f.pixel_bits) - 1); }

// Packed formats: the unpacked pattern's words, packed as one run.
void fill_packed(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry,
                 const FormatInfo& f) {
    std::vector<std::uint16_t> words(std::size_t{geometry.width} * geometry.height);
    for (std::uint32_t y = 0; y < geometry.height; ++y)
        fill_words(words.data() + std::size_t{y} * geometry.width, geometry.width, row_base(geometry, y, frame_number),
                   sample_mask(f));
    [[maybe_unused]] const bool packed = pixel::pack(f.packing, words, out);
}

void fill_row(std::byte* row, const ImageGeometry& geometry, std::uint16_t base, const FormatInfo& f) {
    const auto base8 = static_cast<std::uint8_t>(base);
    switch (f.layout) {
        case Layout::Rgb:
        case Layout::Bgr: fill_row_rgb(row, geometry.width, base8, f.layout == Layout::Bgr); break;
        case Layout::Yuv422:
        case Layout::YCbCr422: fill_row_422(row, geometry.width, base8, f.layout == Layout::YCbCr422); break;
        case Layout::Mono:
        case Layout::Bayer:
            if (f.sample_bytes == 2)
                fill_row_16(row, geometry.width, base, sample_mask(f));
            else
                fill_row_8(row, geometry.width, base8);
            break;
    }
}

}  // namespace

std::span<const std::uint32_t> supported_pixel_formats() { return supported_codes(); }

bool is_supported_pixel_format(std::uint32_t pixel_format) { return pixel::find_format(pixel_format) != nullptr; }

std::uint64_t image_payload_size(const ImageGeometry& geometry) {
    const FormatInfo* f = pixel::find_format(geometry.pixel_format);
    if (f == nullptr) return 0;
    const std::uint64_t pixels = std::uint64_t{geometry.width} * geometry.height;
    if (f->packing != Packing::None) return pixel::packed_bytes(f->packing, pixels);
    return pixels * f->wire_bits / 8;
}

void fill_pattern(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry) {
    const FormatInfo* f = pixel::find_format(geometry.pixel_format);
    if (f == nullptr) return;
    if (f->packing != Packing::None) {
        fill_packed(out, frame_number, geometry, *f);
    } else {
        const std::size_t row_bytes = std::size_t{geometry.width} * f->wire_bits / 8;
        for (std::uint32_t y = 0; y < geometry.height; ++y)
            fill_row(out.data() + y * row_bytes, geometry, row_base(geometry, y, frame_number), *f);
    }
    const std::size_t stamp = std::min<std::size_t>(8, out.size());
    for (std::size_t i = 0; i < stamp; ++i) out[i] = static_cast<std::byte>((frame_number >> (8 * i)) & 0xFF);
}

}  // namespace korvalite::sim
