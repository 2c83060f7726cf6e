#include <gtest/gtest.h>

#include <set>
#include <string>

#include "korvalite/pixel/formats.hpp"
#include "korvalite/pixel/unpack.hpp"

using namespace korvalite::pixel;

// The table agrees with itself: unique codes and names, wire bits as the code's bits 16 to 23
// say, unpacked samples wide enough for their bits, and packed ones exactly as wide as packed.
TEST(PixelFormats, TableIsConsistent) {
    std::set<std::uint32_t> codes;
    std::set<std::string_view> names;
    for (const FormatInfo& f : known_formats()) {
        EXPECT_TRUE(codes.insert(f.code).second) << f.name;
        EXPECT_TRUE(names.insert(f.name).second) << f.name;
        EXPECT_EQ(f.wire_bits, (f.code >> 16) & 0xFF) << f.name;
        EXPECT_EQ(find_format(f.code), &f) << f.name;
        EXPECT_EQ(format_name(f.code), f.name);
        EXPECT_GE(8 * f.sample_bytes, f.pixel_bits) << f.name;
        if (f.packing == Packing::None)
            EXPECT_EQ(f.wire_bits, 8 * f.sample_bytes * f.channels) << f.name;
        else
            EXPECT_EQ(packed_bytes(f.packing, 8) * 8, 8u * f.wire_bits) << f.name;
        EXPECT_EQ(f.layout == Layout::Bayer, f.tile != BayerTile::None) << f.name;
    }
}

TEST(PixelFormats, LookupByCode) {
    struct Case {
        std::uint32_t code;
        const char* name;
        unsigned pixel_bits;
        Packing packing;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0x010C0047, "Mono12p", 12, Packing::Lsb12},
             {0x010A0046, "Mono10p", 10, Packing::Lsb10},
             {0x010C0006, "Mono12Packed", 12, Packing::Msb12Pairs},
             {0x010C0059, "BayerRG12p", 12, Packing::Lsb12},
             {0x0110000C, "BayerGR10", 10, Packing::None},
             {0x0210003B, "YCbCr422_8", 8, Packing::None},
         }) {
        const FormatInfo* f = find_format(c.code);
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f->name, c.name);
        EXPECT_EQ(f->pixel_bits, c.pixel_bits) << c.name;
        EXPECT_EQ(f->packing, c.packing) << c.name;
    }
    EXPECT_EQ(find_format(0x01100025), nullptr);
    EXPECT_EQ(format_name(0x01100025), "0x01100025");
}
