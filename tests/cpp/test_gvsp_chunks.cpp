#include <gtest/gtest.h>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/gvsp_chunks.hpp"

using namespace korvalite::gige::proto;
using korvalite::test_support::hex_bytes;

TEST(GvspChunks, WalksFromTheEndToTheStart) {
    // Image bytes (8) with tag id 1; a 4-byte chunk id 0x0A0B0C0D; an empty chunk id 7.
    const auto payload = hex_bytes(
        "11 22 33 44 55 66 77 88  00 00 00 01 00 00 00 08"
        "DE AD BE EF  0A 0B 0C 0D 00 00 00 04"
        "00 00 00 07 00 00 00 00");
    auto chunks = parse_chunks(payload);
    ASSERT_TRUE(chunks);
    const std::vector<ChunkEntry> expected = {{1, 0, 8}, {0x0A0B0C0D, 16, 4}, {7, 28, 0}};
    EXPECT_EQ(*chunks, expected);
    EXPECT_TRUE(parse_chunks({}).has_value());
    EXPECT_TRUE(parse_chunks({})->empty());
}

TEST(GvspChunks, AppendedChunksParseBack) {
    ByteVec payload;
    append_chunk(payload, 0x10, hex_bytes("01 02 03"));  // padded to 4
    append_chunk(payload, 0x20, hex_bytes("AA BB CC DD EE FF 00 11"));
    auto chunks = parse_chunks(payload);
    ASSERT_TRUE(chunks);
    ASSERT_EQ(chunks->size(), 2u);
    EXPECT_EQ((*chunks)[0], (ChunkEntry{0x10, 0, 4}));
    EXPECT_EQ((*chunks)[1], (ChunkEntry{0x20, 12, 8}));
    EXPECT_EQ(payload[3], std::byte{0});
    EXPECT_EQ(payload[12], std::byte{0xAA});
}

TEST(GvspChunks, HostileLayoutsAreRefused) {
    struct Case {
        const char* name;
        ByteVec payload;
        ChunkLayoutError error;
    };
    const std::vector<Case> cases = {
        {"length past the start", hex_bytes("00 00 00 00  00 00 00 01 00 00 00 08"), ChunkLayoutError::LengthPastStart},
        {"length of 4 GiB", hex_bytes("00 00 00 01 FF FF FF FF"), ChunkLayoutError::LengthPastStart},
        {"tag longer than the payload", hex_bytes("00 00 00 01 00 00 00"), ChunkLayoutError::TruncatedTag},
        {"bytes left before the first tag", hex_bytes("AB CD  00 00 00 01 00 00 00 00"),
         ChunkLayoutError::TruncatedTag},
        {"second chunk runs past the start",
         hex_bytes("00 00 00 02 00 00 00 10  11 22 33 44 00 00 00 01 00 00 00 04"),
         ChunkLayoutError::LengthPastStart},
        {"endless empty chunks (a payload of zeros)", ByteVec((kMaxChunks + 1) * kChunkTagSize),
         ChunkLayoutError::TooManyChunks},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chunks = parse_chunks(c.payload);
        ASSERT_FALSE(chunks);
        EXPECT_EQ(chunks.error(), c.error);
    }
    // The most chunks allowed still parse.
    EXPECT_TRUE(parse_chunks(ByteVec(kMaxChunks * kChunkTagSize)).has_value());
}
