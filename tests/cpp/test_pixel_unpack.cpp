#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bytes_util.hpp"
#include "korvalite/pixel/unpack.hpp"

using namespace korvalite::pixel;
using korvalite::test_support::hex_bytes;

namespace {

std::vector<std::uint16_t> unpacked(Packing packing, const std::vector<std::byte>& in, std::size_t count) {
    std::vector<std::uint16_t> out(count, 0xFFFF);
    EXPECT_TRUE(unpack(packing, in, out));
    return out;
}

// Samples that use every bit of a `bits`-bit pixel, different at each index.
std::vector<std::uint16_t> samples(std::size_t count, unsigned bits) {
    std::vector<std::uint16_t> out(count);
    std::uint32_t x = 0x9E37;
    for (auto& s : out) {
        x = x * 1103515245u + 12345u;
        s = static_cast<std::uint16_t>((x >> 8) & ((1u << bits) - 1));
    }
    return out;
}

}  // namespace

TEST(PixelUnpack, GoldenBytes) {
    struct Case {
        Packing packing;
        const char* bytes;
        std::vector<std::uint16_t> pixels;
    };
    for (const Case& c : std::initializer_list<Case>{
             {Packing::Lsb12, "23 61 45", {0x123, 0x456}},
             {Packing::Lsb12, "BC 0A", {0xABC}},
             {Packing::Msb12Pairs, "12 63 45", {0x123, 0x456}},
             {Packing::Msb12Pairs, "AB 0C", {0xABC}},
             {Packing::Lsb10, "FF 03 50 95 AA", {0x3FF, 0x000, 0x155, 0x2AA}},
             {Packing::Lsb10, "01 08 40 C0 FF 00 01", {0x001, 0x002, 0x004, 0x3FF, 0x100}},
             {Packing::Lsb10, "01 02", {0x201}},
         }) {
        const auto bytes = hex_bytes(c.bytes);
        EXPECT_EQ(packed_bytes(c.packing, c.pixels.size()), bytes.size()) << c.bytes;
        EXPECT_EQ(unpacked(c.packing, bytes, c.pixels.size()), c.pixels) << c.bytes;
        std::vector<std::byte> packed(bytes.size(), std::byte{0xEE});
        ASSERT_TRUE(pack(c.packing, c.pixels, packed));
        EXPECT_EQ(packed, bytes) << c.bytes;
    }
}

// Lengths around the eight-pixel vector steps and their 16-byte loads, the four-pixel steps and
// their 8-byte loads, and the pixel-by-pixel tail.
TEST(PixelUnpack, PackAndUnpackRoundTripAtEveryLength) {
    for (const Packing packing : {Packing::Lsb10, Packing::Lsb12, Packing::Msb12Pairs}) {
        const unsigned bits = packing == Packing::Lsb10 ? 10 : 12;
        for (std::size_t count = 0; count <= 45; ++count) {
            const auto pixels = samples(count, bits);
            std::vector<std::byte> packed(packed_bytes(packing, count));
            ASSERT_TRUE(pack(packing, pixels, packed));
            EXPECT_EQ(unpacked(packing, packed, count), pixels) << static_cast<int>(packing) << " x" << count;
        }
    }
}

TEST(PixelUnpack, ShortInputOrNoPackingWritesNothing) {
    const std::vector<std::byte> five(5);
    std::vector<std::uint16_t> out(4, 7);
    EXPECT_FALSE(unpack(Packing::Lsb12, five, out));  // 4 pixels need 6 bytes
    EXPECT_FALSE(unpack(Packing::Msb12Pairs, five, out));
    EXPECT_FALSE(unpack(Packing::None, five, out));
    EXPECT_EQ(out, std::vector<std::uint16_t>(4, 7));
    EXPECT_TRUE(unpack(Packing::Lsb10, five, out));
    std::vector<std::byte> small(2);
    EXPECT_FALSE(pack(Packing::Lsb12, out, small));
}

// Without padding a 3-pixel Mono12p row ends mid-byte and the next one goes on in it; with
// padding each row starts on a byte.
TEST(PixelUnpack, ImagesFollowLinePadding) {
    const std::vector<std::uint16_t> pixels = {0x123, 0x456, 0x789, 0xABC, 0xDEF, 0x012};
    struct Case {
        PackedImage image;
        const char* bytes;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{3, 2, 0}, "23 61 45 89 C7 AB EF 2D 01"},
             {{3, 2, 2}, "23 61 45 89 07 EE EE BC FA DE 12 00"},
         }) {
        const auto bytes = hex_bytes(c.bytes);
        EXPECT_EQ(packed_image_bytes(Packing::Lsb12, c.image), bytes.size());
        std::vector<std::uint16_t> out(6);
        ASSERT_TRUE(unpack_image(Packing::Lsb12, bytes, c.image, out));
        EXPECT_EQ(out, pixels) << c.bytes;
        const std::vector<std::byte> short_by_one(bytes.begin(), bytes.end() - 1);
        EXPECT_FALSE(unpack_image(Packing::Lsb12, short_by_one, c.image, out));
        std::vector<std::uint16_t> wrong_size(5);
        EXPECT_FALSE(unpack_image(Packing::Lsb12, bytes, c.image, wrong_size));
    }
}
