#include <gtest/gtest.h>

#include <zlib.h>

#include <bit>
#include <cstring>
#include <map>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/proto/gvsp_chunks.hpp"
#include "korvalite/pixel/formats.hpp"
#include "korvalite/pixel/unpack.hpp"
#include "korvalite/sim/pattern.hpp"
#include "korvalite/sim/register_space.hpp"
#include "korvalite/sim/stream_packets.hpp"
#include "korvalite/sim/zip_writer.hpp"

using namespace korvalite;
using namespace korvalite::sim;
using gige::proto::PixelFormat;
using test_support::hex_bytes;

TEST(SimPattern, BytesFollowTheDocumentedFormula) {
    struct Case {
        std::uint32_t format;
        ImageGeometry geometry;
        std::uint64_t frame;
        std::size_t offset;  // first byte compared
        const char* bytes;
    };
    for (const Case& c : std::initializer_list<Case>{
             // Mono8 4x3, frame 0x0102: the stamp covers bytes 0-7, then row 2 starts at g = 4 + 0x306.
             {PixelFormat::kMono8, {4, 3, 0, 0, PixelFormat::kMono8}, 0x0102, 0, "02 01 00 00 00 00 00 00 0A 0B 0C 0D"},
             // With offsets (5, 1): g(0, 2) = 5 + 2 * 3 + 3 = 14 for frame 1.
             {PixelFormat::kMono8, {4, 3, 5, 1, PixelFormat::kMono8}, 1, 8, "0E 0F 10 11"},
             // Mono16 little-endian words, frame 0x5555: g(0, 1) = 2 + 0xFFFF = 0x10001 -> 0x0001.
             {PixelFormat::kMono16, {4, 2, 0, 0, PixelFormat::kMono16}, 0x5555, 8, "01 00 02 00 03 00 04 00"},
             // Mono12 keeps 12 bits: g(3, 1) = 3 + 2 + 3 * 0x555 = 0x1004 -> 0x004.
             {PixelFormat::kMono12, {4, 2, 0, 0, PixelFormat::kMono12}, 0x555, 14, "04 00"},
             // RGB8 and BGR8: pixel (3, 0) of frame 0 has g = 3 -> (3, 88, 173).
             {PixelFormat::kRGB8, {4, 1, 0, 0, PixelFormat::kRGB8}, 0, 9, "03 58 AD"},
             {PixelFormat::kBGR8, {4, 1, 0, 0, PixelFormat::kBGR8}, 0, 9, "AD 58 03"},
             // 4:2:2: pixels 4 and 5 of frame 0 have g = 4, 5; chroma g + 85 at even x, g + 170 at odd x.
             {pixel::code::kYUV422_8, {8, 1, 0, 0, pixel::code::kYUV422_8}, 0, 8, "59 04 AF 05"},
             {pixel::code::kYCbCr422_8, {8, 1, 0, 0, pixel::code::kYCbCr422_8}, 0, 8, "04 59 05 AF"},
             // Mono12p 8x1: pixels 6 and 7 (g = 6, 7) in bytes 9 to 11.
             {pixel::code::kMono12p, {8, 1, 0, 0, pixel::code::kMono12p}, 0, 9, "06 70 00"},
         }) {
        gige::proto::ByteVec out(image_payload_size(c.geometry));
        fill_pattern(out, c.frame, c.geometry);
        const auto expected = hex_bytes(c.bytes);
        EXPECT_EQ(gige::proto::ByteVec(out.begin() + c.offset, out.begin() + c.offset + expected.size()), expected)
            << PixelFormat{c.format}.name();
    }
    gige::proto::ByteVec tiny(3);
    fill_pattern(tiny, 0x030201, {3, 1, 0, 0, PixelFormat::kMono8});
    EXPECT_EQ(tiny, hex_bytes("01 02 03"));  // all stamp
    EXPECT_EQ(image_payload_size({640, 480, 0, 0, PixelFormat::kRGB8}), 921600u);
    EXPECT_EQ(image_payload_size({640, 480, 0, 0, 0x01100025}), 0u);  // Mono14: not offered
}

// Each packed format carries the values of the unpacked format of its depth (past the stamp).
TEST(SimPattern, PackedFormatsCarryTheUnpackedValues) {
    for (const pixel::FormatInfo& f : pixel::known_formats()) {
        if (f.packing == pixel::Packing::None) continue;
        const std::uint32_t unpacked = f.pixel_bits == 10 ? PixelFormat::kMono10 : PixelFormat::kMono12;
        const ImageGeometry packed_geometry{13, 5, 2, 7, f.code}, word_geometry{13, 5, 2, 7, unpacked};
        gige::proto::ByteVec packed(image_payload_size(packed_geometry)), words(image_payload_size(word_geometry));
        ASSERT_EQ(packed.size(), pixel::packed_bytes(f.packing, 13 * 5)) << f.name;
        fill_pattern(packed, 0x1234, packed_geometry);
        fill_pattern(words, 0x1234, word_geometry);
        std::vector<std::uint16_t> values(13 * 5), expected(13 * 5);
        ASSERT_TRUE(pixel::unpack(f.packing, packed, values)) << f.name;
        std::memcpy(expected.data(), words.data(), words.size());
        EXPECT_TRUE(std::equal(values.begin() + 8, values.end(), expected.begin() + 8)) << f.name;
        EXPECT_EQ(gige::proto::ByteVec(packed.begin(), packed.begin() + 8), hex_bytes("34 12 00 00 00 00 00 00"));
    }
}

TEST(SimStreamPackets, FrameIsCutIntoLeaderPayloadAndTrailer) {
    StoredFrame frame;
    // 100 x 30 Mono8 = 3000 bytes; packet size 1036 carries 1000 bytes each: 3 payload packets.
    build_frame(frame, 0xFFFF, false, 1036, {100, 30, 2, 3, PixelFormat::kMono8}, 0x1122334455);
    ASSERT_EQ(frame.packet_count, 5u);
    PacketParts p;
    cut_packet(frame, 0, 0, p);
    gige::proto::ByteVec leader(p.head.begin(), p.head.begin() + p.head_size);
    auto packet = gige::proto::decode_gvsp(leader);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->block_id, 0xFFFFu);
    EXPECT_EQ(packet->format, gige::proto::packet_format::kLeader);
    const auto info = gige::proto::decode_leader(packet->data);
    EXPECT_EQ(info.payload_type, 1);
    EXPECT_EQ(info.timestamp, 0x1122334455u);
    EXPECT_EQ(info.size_x, 100u);
    EXPECT_EQ(info.size_y, 30u);
    EXPECT_EQ(info.offset_x, 2u);
    EXPECT_EQ(info.offset_y, 3u);

    cut_packet(frame, 3, 0x0100, p);
    EXPECT_EQ(p.head_size, 8u);
    EXPECT_EQ(p.body.data(), frame.payload.data() + 2000);
    EXPECT_EQ(p.body.size(), 1000u);
    EXPECT_EQ(p.size() + 28, 1036u);
    EXPECT_EQ(gige::proto::ByteVec(p.head.begin(), p.head.begin() + 8), hex_bytes("01 00 FF FF 03 00 00 03"));
    cut_packet(frame, 4, 0, p);
    EXPECT_EQ(gige::proto::ByteVec(p.head.begin(), p.head.begin() + p.head_size),
              hex_bytes("00 00 FF FF 02 00 00 04 00 00 00 01 00 00 00 1E"));

    // Extended ids: 20-byte headers, 12 bytes less payload per packet.
    build_frame(frame, 0x100000000, true, 1036, {100, 30, 0, 0, PixelFormat::kMono8}, 0);
    EXPECT_EQ(frame.per_packet, 988u);
    cut_packet(frame, 1, 0, p);
    EXPECT_EQ(gige::proto::ByteVec(p.head.begin(), p.head.begin() + 20),
              hex_bytes("00 00 00 00 83 00 00 00 00 00 00 01 00 00 00 00 00 00 00 01"));

    const auto test = test_packet(576);
    EXPECT_EQ(test.size(), 548u);
    EXPECT_EQ(gige::proto::ByteVec(test.begin(), test.begin() + 8), hex_bytes("00 00 00 00 00 00 00 00"));
}

// Chunk mode: the image first (padded to 4 bytes), then the enabled values in selector order,
// little-endian; the leader says image with chunks, or chunk data alone without the image.
TEST(SimStreamPackets, ChunkModeMakesTheEnabledChunks) {
    const ImageGeometry geometry{7, 3, 0, 0, PixelFormat::kMono8};  // 21 image bytes
    const auto bit = [](ChunkSelector s) { return 1u << static_cast<std::uint32_t>(s); };
    const auto id = [](ChunkSelector s) { return kChunkIds[static_cast<std::uint32_t>(s)]; };
    const struct {
        const char* name;
        std::uint32_t enabled;
        std::vector<gige::proto::ChunkEntry> chunks;
        std::uint16_t payload_type;
        std::size_t leader_size;
    } cases[] = {
        {"image only", bit(ChunkSelector::Image), {{id(ChunkSelector::Image), 0, 24}}, 0x4001, 36},
        {"image and values", bit(ChunkSelector::Image) | bit(ChunkSelector::Timestamp) | bit(ChunkSelector::Width),
         {{id(ChunkSelector::Image), 0, 24}, {id(ChunkSelector::Timestamp), 32, 8}, {id(ChunkSelector::Width), 48, 4}},
         0x4001, 36},
        {"values alone", bit(ChunkSelector::ExposureTime) | bit(ChunkSelector::FrameID) | bit(ChunkSelector::Height),
         {{id(ChunkSelector::ExposureTime), 0, 8}, {id(ChunkSelector::FrameID), 16, 8}, {id(ChunkSelector::Height), 32, 4}},
         4, 12},
    };
    const std::map<std::uint32_t, std::uint64_t> values = {
        {id(ChunkSelector::Timestamp), 0x1122334455}, {id(ChunkSelector::ExposureTime), std::bit_cast<std::uint64_t>(2.5)},
        {id(ChunkSelector::FrameID), 9}, {id(ChunkSelector::Width), 7}, {id(ChunkSelector::Height), 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StoredFrame frame;
        build_frame(frame, 9, false, 1036, geometry, 0x1122334455, ChunkPlan{true, c.enabled, 2.5});
        auto chunks = gige::proto::parse_chunks(frame.payload);
        ASSERT_TRUE(chunks);
        EXPECT_EQ(*chunks, c.chunks);
        PacketParts p;
        cut_packet(frame, 0, 0, p);
        EXPECT_EQ(p.head_size, 8 + c.leader_size);
        const auto leader = gige::proto::decode_leader(std::span(p.head).subspan(8, c.leader_size));
        EXPECT_EQ(leader.payload_type, c.payload_type & 0x3FFF);
        EXPECT_EQ(leader.chunk, gige::proto::ChunkFlag::Yes);
        EXPECT_EQ(leader.timestamp, 0x1122334455u);
        for (const auto& chunk : *chunks) {
            const auto bytes = std::span(frame.payload).subspan(chunk.offset, chunk.length);
            std::uint64_t value = 0;
            for (std::size_t i = std::min<std::size_t>(bytes.size(), 8); i-- > 0;)
                value = value << 8 | std::to_integer<std::uint64_t>(bytes[i]);
            if (auto sent = values.find(chunk.id); sent != values.end()) {
                EXPECT_EQ(value, sent->second) << std::hex << chunk.id;
            }
        }
    }
}

TEST(SimStreamPackets, HistoryKeepsTheLastFrames) {
    FrameHistory history(2);
    for (std::uint64_t id : {1, 2, 3}) history.next().block_id = id;
    EXPECT_EQ(history.find(1), nullptr);
    ASSERT_NE(history.find(2), nullptr);
    EXPECT_EQ(history.find(3)->block_id, 3u);
}

TEST(SimZip, OneEntryArchivesUnpackToTheContent) {
    const std::string text(5000, 'x');
    for (ZipMethod method : {ZipMethod::Stored, ZipMethod::Deflated}) {
        auto zip = make_zip("cam.xml", gige::proto::as_bytes(text), method);
        ASSERT_TRUE(zip);
        const auto& z = *zip;
        auto le16 = [&](std::size_t at) {
            return std::to_integer<unsigned>(z[at]) | std::to_integer<unsigned>(z[at + 1]) << 8;
        };
        auto le32 = [&](std::size_t at) { return le16(at) | le16(at + 2) << 16; };
        const std::size_t eocd = z.size() - 22;
        ASSERT_EQ(le32(eocd), 0x06054B50u);
        EXPECT_EQ(le16(eocd + 10), 1u);
        const std::size_t cd = le32(eocd + 16);
        ASSERT_EQ(le32(cd), 0x02014B50u);
        EXPECT_EQ(le16(cd + 10), method == ZipMethod::Stored ? 0u : 8u);
        EXPECT_EQ(le32(cd + 24), text.size());
        EXPECT_EQ(le32(cd + 16), crc32(0, reinterpret_cast<const Bytef*>(text.data()), text.size()));
        const std::size_t data = 30 + le16(26) + le16(28);
        const std::size_t packed = le32(cd + 20);
        std::string out(text.size(), '\0');
        if (method == ZipMethod::Stored) {
            std::memcpy(out.data(), z.data() + data, packed);
        } else {
            EXPECT_LT(packed, 100u);
            z_stream zs{};
            ASSERT_EQ(inflateInit2(&zs, -MAX_WBITS), Z_OK);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(z.data() + data));
            zs.avail_in = static_cast<uInt>(packed);
            zs.next_out = reinterpret_cast<Bytef*>(out.data());
            zs.avail_out = static_cast<uInt>(out.size());
            EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
            inflateEnd(&zs);
        }
        EXPECT_EQ(out, text);
    }
}

TEST(SimRegisterSpace, AccessesMayCrossAdjacentRegionsButNotHoles) {
    RegisterSpace space;
    ASSERT_TRUE(space.map(0x100, 8, Access::ReadOnly));
    ASSERT_TRUE(space.map(0x108, 8, Access::ReadWrite));
    ASSERT_TRUE(space.map(0x200, 4, Access::ReadWrite));
    EXPECT_FALSE(space.map(0x104, 8, Access::ReadWrite));  // overlaps
    EXPECT_FALSE(space.map(0xFFFFFFFC, 8, Access::ReadWrite));  // wraps
    EXPECT_TRUE(space.is_mapped(0x104, 8));
    EXPECT_FALSE(space.is_writable(0x104, 8));
    EXPECT_TRUE(space.is_writable(0x108, 8));
    EXPECT_FALSE(space.is_mapped(0x10C, 8));  // runs into the hole before 0x200
    EXPECT_FALSE(space.is_mapped(0x100, 0));
    space.store(0x104, hex_bytes("01 02 03 04 05 06 07 08"));
    EXPECT_EQ(space.load_u32(0x104), 0x01020304u);
    EXPECT_EQ(space.load_u32(0x108), 0x05060708u);
}
