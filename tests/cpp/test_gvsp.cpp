#include <gtest/gtest.h>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/gvsp.hpp"

using namespace korvalite::gige::proto;
using korvalite::test_support::hex_bytes;

TEST(GvspHeader, StandardAndExtendedForms) {
    auto nineteen = hex_bytes("00 00 00 07 83 00 00 01 00 00 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(nineteen.size(), 19u);
    EXPECT_FALSE(decode_gvsp(nineteen));  // extended flag set, under 20 bytes
    nineteen[4] = std::byte{0x03};
    auto standard = decode_gvsp(nineteen);
    ASSERT_TRUE(standard);
    EXPECT_FALSE(standard->extended);
    EXPECT_EQ(standard->data.size(), 11u);

    auto payload = decode_gvsp(hex_bytes("00 00 12 34 03 00 01 02"));
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->format, packet_format::kPayload);
    EXPECT_EQ(payload->packet_id, 258u);
    EXPECT_EQ(payload->block_id, 0x1234u);

    auto extended = decode_gvsp(hex_bytes("01 00 FF FF 82 FF FF FF 00 00 00 01 00 00 00 02 00 01 00 00 AA"));
    ASSERT_TRUE(extended);
    EXPECT_TRUE(extended->extended);
    EXPECT_EQ(extended->format, packet_format::kTrailer);
    EXPECT_EQ(extended->block_id, 0x100000002u);
    EXPECT_EQ(extended->packet_id, 0x10000u);
    EXPECT_EQ(extended->status, 0x0100);
    EXPECT_FALSE(extended->is_error());
    EXPECT_EQ(extended->data.size(), 1u);

    EXPECT_FALSE(decode_gvsp(hex_bytes("00 00 00 01 01 00 00")));
}

TEST(GvspHeader, EncodersRoundTrip) {
    std::array<std::byte, 20> buf{};
    ASSERT_EQ(put_gvsp_header(buf, 0, 0xABCD, false, packet_format::kLeader, 0), 8u);
    auto p = decode_gvsp(std::span(buf).first(8));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block_id, 0xABCDu);
    EXPECT_EQ(p->format, packet_format::kLeader);
    ASSERT_EQ(put_gvsp_header(buf, 0, 0x123456789A, true, packet_format::kPayload, 70000), 20u);
    p = decode_gvsp(buf);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block_id, 0x123456789Au);
    EXPECT_EQ(p->packet_id, 70000u);
}

TEST(GvspLeader, FieldsTakenOnlyAsFarAsTheDataReaches) {
    std::array<std::byte, kImageLeaderSize> leader{};
    put_image_leader(leader, 0x0001, 0x1122334455667788, PixelFormat::kMono8, 640, 480, 8, 4, 2, 1);
    auto full = decode_leader(leader);
    EXPECT_EQ(full.chunk, ChunkFlag::No);
    EXPECT_EQ(full.timestamp, 0x1122334455667788u);
    EXPECT_EQ(full.size_x, 640u);
    EXPECT_EQ(full.size_y, 480u);
    EXPECT_EQ(full.offset_x, 8u);
    EXPECT_EQ(full.offset_y, 4u);
    EXPECT_EQ(full.padding_x, 2);
    EXPECT_EQ(full.padding_y, 1);

    auto twenty = decode_leader(std::span(leader).first(20));
    EXPECT_EQ(twenty.size_x, 640u);
    EXPECT_EQ(twenty.size_y, 0u);
    EXPECT_EQ(twenty.offset_x, 0u);

    auto eleven = decode_leader(std::span(leader).first(11));
    EXPECT_FALSE(eleven.has_info());
    EXPECT_FALSE(eleven.opens_frame());
    EXPECT_EQ(eleven.timestamp, 0u);
}

TEST(GvspLeader, PayloadTypesAndChunkFlag) {
    struct Case {
        std::uint16_t raw;
        std::uint16_t type;
        ChunkFlag chunk;
        bool opens;
    };
    const Case cases[] = {
        {0x4001, 1, ChunkFlag::Yes, true}, {0x0004, 4, ChunkFlag::Yes, true},
        {0x0001, 1, ChunkFlag::No, true},  {0x0002, 2, ChunkFlag::No, false},
        {0x0005, 5, ChunkFlag::Yes, true}, {0x4005, 5, ChunkFlag::Yes, true},
        {0x0003, 3, ChunkFlag::No, false}, {0x4002, 2, ChunkFlag::Yes, false},
    };
    for (const auto& c : cases) {
        std::array<std::byte, 12> data{};
        put_u16(data, 2, c.raw);
        auto l = decode_leader(data);
        EXPECT_EQ(l.payload_type, c.type) << c.raw;
        EXPECT_EQ(l.chunk, c.chunk) << c.raw;
        EXPECT_EQ(l.opens_frame(), c.opens) << c.raw;
    }
}

TEST(GvspSizes, PacketArithmetic) {
    EXPECT_EQ(payload_bytes_per_packet(1500, false), 1464u);
    EXPECT_EQ(payload_bytes_per_packet(1500, true), 1452u);
    EXPECT_EQ(frame_packet_count(1000000, 1464), 686u);
    EXPECT_EQ(payload_offset(1, 1464), 0u);
    EXPECT_EQ(payload_offset(684, 1464), 683u * 1464u);
    EXPECT_EQ(payload_bytes_per_packet(30, false), 0u);
}

TEST(PixelFormat, NamesAndBits) {
    EXPECT_EQ(PixelFormat{0x0108000B}.name(), "0x0108000b");
    EXPECT_EQ(PixelFormat{0x0108000B}.bits_per_pixel(), 8);
    EXPECT_EQ(PixelFormat{0x01100005}.name(), "Mono12");
    EXPECT_EQ(PixelFormat{0x01100005}.bits_per_pixel(), 16);
    EXPECT_EQ(PixelFormat{PixelFormat::kRGB8}.name(), "RGB8");
    EXPECT_EQ(PixelFormat{PixelFormat::kRGB8}.bits_per_pixel(), 24);
    EXPECT_EQ(PixelFormat{0}.name(), "0x00000000");
}
