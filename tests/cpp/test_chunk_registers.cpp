// Registers on chunk ports read the chunks of the frame being read, never the device.
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <iterator>

#include "bytes_util.hpp"
#include "graph_util.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "memory_port.hpp"
#include "shared_descriptions.hpp"
#include "korvalite/genicam/xml.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

constexpr std::string_view kChunkModel = R"(
  <Integer Name="ChunkCounter"><pValue>CounterReg</pValue></Integer>
  <IntReg Name="CounterReg">
    <Address>0x4</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>CounterPort</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Port Name="CounterPort"><ChunkID>8c0f1cd8</ChunkID></Port>
  <Float Name="ChunkExposure"><pValue>ExposureReg</pValue></Float>
  <FloatReg Name="ExposureReg">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode><pPort>ExposurePort</pPort>
    <Endianess>BigEndian</Endianess>
  </FloatReg>
  <Port Name="ExposurePort"><ChunkID> 0x0A </ChunkID></Port>
  <Integer Name="ChunkBroken"><pValue>BrokenReg</pValue></Integer>
  <IntReg Name="BrokenReg">
    <Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>BrokenPort</pPort>
  </IntReg>
  <Port Name="BrokenPort"><ChunkID>not hex</ChunkID></Port>
)";

struct Fixture {
    Fixture() : g(build_graph(kChunkModel)) {}
    GenicamResult<std::int64_t> counter() { return int_value(g, id_of(g, "ChunkCounter"), port); }
    GenicamResult<double> exposure() { return float_value(g, id_of(g, "ChunkExposure"), port); }

    Genicam g;
    MemoryPort port;
};

}  // namespace

TEST(ChunkRegisters, ChunkIdsParseAsHexadecimal) {
    Fixture f;
    EXPECT_EQ(node_as<Port>(f.g, "CounterPort").chunk_id, 0x8c0f1cd8u);
    EXPECT_EQ(node_as<Port>(f.g, "ExposurePort").chunk_id, 0x0Au);
    EXPECT_EQ(node_as<Port>(f.g, "BrokenPort").chunk_id, std::nullopt);
    EXPECT_FALSE(node_as<Port>(f.g, "BrokenPort").device);
}

TEST(ChunkRegisters, ReadTheFrameChunkOfTheirPort) {
    Fixture f;
    const auto counter = hex_bytes("FF FF FF FF 2A 01 00 00");
    const auto exposure = hex_bytes("40 B3 88 00 00 00 00 00");  // 5000.0
    const FrameChunk chunks[] = {{0x0A, exposure}, {0x8c0f1cd8, counter}};
    f.g.frame_chunks = chunks;
    EXPECT_EQ(f.counter(), 0x12A);
    EXPECT_EQ(f.exposure(), 5000.0);
    EXPECT_EQ(access_mode(f.g, id_of(f.g, "ChunkCounter"), f.port), AccessMode::RO);
    EXPECT_TRUE(f.port.log.empty());  // nothing went to the device

    // Never cached: the next frame's bytes are read, and a repeated id reads its last chunk.
    const auto other = hex_bytes("00 00 00 00 07 00 00 00");
    const FrameChunk next[] = {{0x8c0f1cd8, counter}, {0x8c0f1cd8, other}};
    f.g.frame_chunks = next;
    EXPECT_EQ(f.counter(), 7);
}

TEST(ChunkRegisters, WithoutTheirChunkTheyAreNotAvailable) {
    struct Case {
        const char* name;
        std::vector<FrameChunk> chunks;
        const char* message;
    };
    const auto short_counter = hex_bytes("00 00 00 00 07 00");
    const auto counter = hex_bytes("00 00 00 00 07 00 00 00");
    const std::vector<Case> cases = {
        {"no frame", {}, "node 'CounterReg' is not available"},
        {"another chunk", {{0x0A, counter}}, "node 'CounterReg' is not available"},
        {"chunk too short", {{0x8c0f1cd8, short_counter}},
         "node 'CounterReg': bytes 4..8 lie outside chunk 0x8c0f1cd8 of 6 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.g.frame_chunks = c.chunks;
        EXPECT_EQ(error_of(f.counter()), c.message);
        EXPECT_TRUE(f.port.log.empty());
    }
    Fixture f;
    f.g.frame_chunks = {};
    EXPECT_EQ(access_mode(f.g, id_of(f.g, "ChunkCounter"), f.port), AccessMode::NA);
    EXPECT_EQ(error_of(int_value(f.g, id_of(f.g, "ChunkBroken"), f.port)), "node 'BrokenReg' is not available");
}

TEST(ChunkRegisters, AreNeverWritten) {
    Fixture f;
    const auto counter = hex_bytes("00 00 00 00 07 00 00 00");
    const FrameChunk chunks[] = {{0x8c0f1cd8, counter}};
    f.g.frame_chunks = chunks;
    const auto bytes = hex_bytes("01 00 00 00");
    EXPECT_FALSE(register_write(f.g, id_of(f.g, "CounterReg"), bytes, f.port));
    EXPECT_TRUE(f.port.log.empty());
}

// A real camera's chunk features (hexadecimal ChunkIDs without 0x, little-endian registers, a
// value and an availability formula over a chunk register) read from a frame's chunks.
TEST(ChunkRegisters, RealDescriptionReadsItsChunkFeatures) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    std::ifstream in(shared_descriptions() / "areaDetector__ADGenICam__Basler-acA640-300gm.xml", std::ios::binary);
    auto graph = parse_description(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(graph.has_value());
    Genicam& g = *graph;
    MemoryPort port;
    const auto counter = hex_bytes("2A 00 00 00");
    const auto timestamp = hex_bytes("88 77 66 55 44 33 22 11");
    const auto exposure = hex_bytes("88 13 00 00");  // 5000
    const auto all_ones = hex_bytes("FF FF FF FF");
    const FrameChunk chunks[] = {{0x8c0f1cd8, counter}, {0xc91613db, timestamp}, {0xef86b3e0, exposure}};
    g.frame_chunks = chunks;
    EXPECT_EQ(int_value(g, id_of(g, "ChunkFramecounter"), port), 42);
    EXPECT_EQ(int_value(g, id_of(g, "ChunkTimestamp"), port), 0x1122334455667788);
    EXPECT_EQ(float_value(g, id_of(g, "ChunkExposureTime"), port), 5000.0);
    // The raw exposure register is signed: all ones read -1, which the formula (compared with
    // 0xffffffff) takes as available.
    const FrameChunk signed_raw[] = {{0xef86b3e0, all_ones}};
    g.frame_chunks = signed_raw;
    EXPECT_EQ(float_value(g, id_of(g, "ChunkExposureTime"), port), -1.0);
    EXPECT_EQ(error_of(int_value(g, id_of(g, "ChunkFramecounter"), port)), "node 'N1352' is not available");
    EXPECT_TRUE(port.log.empty());
}
