#include "korvalite/pixel/unpack.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "korvalite/pixel/unpack_simd.hpp"

namespace korvalite::pixel {

namespace {

// Sizes of huge images are worked out without overflow and saturate.
using Wide = unsigned __int128;

static_assert(std::endian::native == std::endian::little, "the unpackers read bytes as little-endian words");

unsigned bits_of(Packing packing) {
    switch (packing) {
        case Packing::Lsb10: return 10;
        case Packing::Lsb12:
        case Packing::Msb12Pairs: return 12;
        case Packing::None: break;
    }
    return 0;
}

std::uint64_t load64(const std::byte* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint32_t byte_at(std::span<const std::byte> in, std::uint64_t i) {
    return i < in.size() ? std::to_integer<std::uint32_t>(in[i]) : 0;
}

// Pixel `i` of a least-significant-bit-first stream of `bits`-bit pixels.
std::uint16_t lsb_pixel(std::span<const std::byte> in, std::uint64_t i, unsigned bits) {
    const std::uint64_t bit = i * bits;
    const std::uint64_t at = bit / 8;
    const std::uint32_t word = byte_at(in, at) | byte_at(in, at + 1) << 8 | byte_at(in, at + 2) << 16;
    return static_cast<std::uint16_t>((word >> (bit % 8)) & ((1u << bits) - 1));
}

// Pixel `i` of two-pixels-in-three-bytes pairs.
std::uint16_t msb12_pixel(std::span<const std::byte> in, std::uint64_t i) {
    const std::uint64_t at = i / 2 * 3;
    const std::uint32_t middle = byte_at(in, at + 1);
    if (i % 2 == 0) return static_cast<std::uint16_t>(byte_at(in, at) << 4 | (middle & 0x0F));
    return static_cast<std::uint16_t>(byte_at(in, at + 2) << 4 | middle >> 4);
}

void store64(std::uint16_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// Groups of four pixels, `step` bytes each, that can be read with a 64-bit load inside `in_size`.
std::size_t fast_groups(std::size_t in_size, std::size_t step, std::size_t n) {
    return in_size < 8 ? 0 : std::min(n / 4, (in_size - 8) / step + 1);
}

// Each fast loop turns one unaligned 64-bit load into four 16-bit samples, moved into place with
// shifts and masks and written as one 64-bit store, while eight bytes remain to be read. It
// returns how many pixels it did; the remaining ones go pixel by pixel.
std::size_t unpack4_lsb10(const std::byte* in, std::size_t in_size, std::uint16_t* out, std::size_t n) {
    const std::size_t groups = fast_groups(in_size, 5, n);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t v = load64(in + 5 * g);
        store64(out + 4 * g, (v & 0x3FF) | ((v << 6) & 0x3FF'0000) | ((v << 12) & 0x3FF'0000'0000) |
                             ((v << 18) & 0x3FF'0000'0000'0000));
    }
    return 4 * groups;
}

std::size_t unpack4_lsb12(const std::byte* in, std::size_t in_size, std::uint16_t* out, std::size_t n) {
    const std::size_t groups = fast_groups(in_size, 6, n);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t v = load64(in + 6 * g);
        store64(out + 4 * g, (v & 0xFFF) | ((v << 4) & 0xFFF'0000) | ((v << 8) & 0xFFF'0000'0000) |
                             ((v << 12) & 0xFFF'0000'0000'0000));
    }
    return 4 * groups;
}

// Bytes b0..b5 hold p0 = b0 << 4 | b1 & 0xF, p1 = b2 << 4 | b1 >> 4, and the same for p2, p3 in
// b3..b5; p1 and p3 are already twelve contiguous bits of the word.
std::size_t unpack4_msb12(const std::byte* in, std::size_t in_size, std::uint16_t* out, std::size_t n) {
    const std::size_t groups = fast_groups(in_size, 6, n);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t v = load64(in + 6 * g);
        store64(out + 4 * g, ((v & 0xFF) << 4) | ((v >> 8) & 0xF) | ((v << 4) & 0xFFF'0000) |
                             ((v << 12) & 0xFF0'0000'0000) | (v & 0x00F'0000'0000) |
                             ((v << 12) & 0xFFF'0000'0000'0000));
    }
    return 4 * groups;
}

std::size_t unpack4(Packing packing, const std::byte* in, std::size_t in_size, std::uint16_t* out, std::size_t n) {
    switch (packing) {
        case Packing::Lsb10: return unpack4_lsb10(in, in_size, out, n);
        case Packing::Lsb12: return unpack4_lsb12(in, in_size, out, n);
        case Packing::Msb12Pairs: return unpack4_msb12(in, in_size, out, n);
        case Packing::None: break;
    }
    return 0;
}

// All of out from the stream starting at in[0]; `in` holds at least packed_bytes(out.size()).
// Eight pixels at a time where the CPU can, then four, then one by one up to the end.
void unpack_run(Packing packing, std::span<const std::byte> in, std::span<std::uint16_t> out) {
    const std::size_t n = out.size();
    std::size_t done = detail::unpack8_simd(packing, in.data(), in.size(), out.data(), n);
    const std::size_t skip = packed_bytes(packing, done);  // eight pixels end on a byte
    done += unpack4(packing, in.data() + skip, in.size() - skip, out.data() + done, n - done);
    for (std::size_t i = done; i < n; ++i)
        out[i] = packing == Packing::Msb12Pairs ? msb12_pixel(in, i) : lsb_pixel(in, i, bits_of(packing));
}

}  // namespace

std::uint64_t packed_bytes(Packing packing, std::uint64_t pixels) {
    if (packing == Packing::Msb12Pairs) return pixels / 2 * 3 + (pixels % 2 == 0 ? 0 : 2);
    return static_cast<std::uint64_t>((Wide{pixels} * bits_of(packing) + 7) / 8);
}

std::uint64_t packed_image_bytes(Packing packing, const PackedImage& image) {
    if (image.height == 0) return 0;
    if (image.line_padding == 0) return packed_bytes(packing, std::uint64_t{image.width} * image.height);
    const Wide row = packed_bytes(packing, image.width);
    const Wide total = (row + image.line_padding) * (image.height - 1) + row;
    return total > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(total);
}

bool unpack(Packing packing, std::span<const std::byte> in, std::span<std::uint16_t> out) {
    if (packing == Packing::None || in.size() < packed_bytes(packing, out.size())) return false;
    unpack_run(packing, in, out);
    return true;
}

bool unpack_image(Packing packing, std::span<const std::byte> in, const PackedImage& image,
                  std::span<std::uint16_t> out) {
    if (packing == Packing::None || out.size() != std::uint64_t{image.width} * image.height ||
        in.size() < packed_image_bytes(packing, image))
        return false;
    if (image.line_padding == 0) {
        unpack_run(packing, in, out);
        return true;
    }
    const std::uint64_t row = packed_bytes(packing, image.width);
    const std::uint64_t stride = row + image.line_padding;
    for (std::uint32_t y = 0; y < image.height; ++y)
        unpack_run(packing, in.subspan(y * stride, row), out.subspan(std::size_t{y} * image.width, image.width));
    return true;
}

bool pack(Packing packing, std::span<const std::uint16_t> in, std::span<std::byte> out) {
    const std::uint64_t size = packed_bytes(packing, in.size());
    if (packing == Packing::None || out.size() < size) return false;
    std::fill_n(out.begin(), size, std::byte{0});
    const unsigned bits = bits_of(packing);
    const std::uint32_t mask = (1u << bits) - 1;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint32_t v = in[i] & mask;
        if (packing == Packing::Msb12Pairs) {
            const std::size_t at = i / 2 * 3;
            out[i % 2 == 0 ? at : at + 2] = static_cast<std::byte>(v >> 4);
            out[at + 1] |= static_cast<std::byte>(i % 2 == 0 ? (v & 0x0F) : (v & 0x0F) << 4);
            continue;
        }
        const std::uint64_t bit = std::uint64_t{i} * bits;
        const std::uint32_t shifted = v << (bit % 8);
        for (std::uint64_t k = 0; k < 3 && bit / 8 + k < size; ++k)
            out[bit / 8 + k] |= static_cast<std::byte>((shifted >> (8 * k)) & 0xFF);
    }
    return true;
}

}  // namespace korvalite::pixel
