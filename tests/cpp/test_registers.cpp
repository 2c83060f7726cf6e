// Register codecs, addressing, device access and caching against an in-memory port.
#include <gtest/gtest.h>

#include <bit>

#include "bytes_util.hpp"
#include "graph_util.hpp"
#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

using Access = MemoryPort::Access;

register_kind::Int int_kind(std::optional<std::uint32_t> lsb, std::optional<std::uint32_t> msb, bool is_unsigned,
                            bool big_endian) {
    return register_kind::Int{lsb, msb, is_unsigned, big_endian};
}

std::string decoded(const CodecResult<std::int64_t>& r) { return r ? std::to_string(*r) : r.error(); }

}  // namespace

// Cases the node-level tests below and in the read and write tests do not reach.
TEST(RegisterCodec, BitRangesByteOrdersAndLengths) {
    const std::optional<std::uint32_t> none;
    struct Case {
        const char* bytes;
        register_kind::Int kind;
        std::string expected;
    } cases[] = {
        {"80 00 00 00", int_kind(none, 0, true, true), "1"},          // only MSB: one bit, from the top
        {"AB", int_kind(none, 3, true, false), std::to_string(0xB)},  // only MSB little-endian: bits 0..3
        {"AB", int_kind(5, 2, true, false), "bad bit range 5..2 for 1 bytes"},
        {"80", int_kind(none, none, false, false), "-128"},
        {"", int_kind(none, none, true, true), "unsupported integer register length 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(decode_int(hex_bytes(c.bytes), c.kind)), c.expected) << c.bytes;

    EXPECT_EQ(encode_int(0x0102, 2, false), hex_bytes("02 01"));
    EXPECT_EQ(encode_int(1, 0, true).error(), "unsupported integer register length 0");
    const auto current = hex_bytes("12 34 56 78");
    EXPECT_EQ(insert_int(current, static_cast<std::uint64_t>(-1), false, 4, 7), hex_bytes("F2 34 56 78"));
    EXPECT_EQ(insert_int(hex_bytes("11 22 33 44 55 66 77 88"), 0x0102030405060708, false, 0, 63),
              hex_bytes("08 07 06 05 04 03 02 01"));
    EXPECT_EQ(insert_int(current, 1, true, 40, std::nullopt).error(), "bad bit range 4294967287..4294967287 for 4 bytes");

    EXPECT_EQ(decode_float(hex_bytes("00 00 80 3F"), false), 1.0);
    EXPECT_EQ(decode_float(hex_bytes("40 09 21 FB 54 44 2D 18"), true), 3.141592653589793);
    EXPECT_EQ(encode_float(0.1, 4, false), store_u64(std::bit_cast<std::uint32_t>(0.1f), 4, false));
    EXPECT_EQ(decode_string(hex_bytes("61 FF 62")), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(encode_string("ab", 4), hex_bytes("61 62 00 00"));
}

TEST(RegisterAccess, AddressIsTheWrappingSumOfItsTermsAndLengthDefaultsToFour) {
    Genicam g = build_graph(R"(
        <Integer Name="Base"><Value>0x1000</Value></Integer>
        <IntReg Name="R"><Address>0x10</Address><pAddress>Base</pAddress>
          <IntSwissKnife><Formula>2 * 4</Formula></IntSwissKnife><Length>2</Length></IntReg>
        <IntReg Name="Wrap"><Address>0xFFFFFFFFFFFFFFFF</Address><Address>0x21</Address></IntReg>)");
    MemoryPort port;
    EXPECT_EQ(register_address(g, id_of(g, "R"), port), (RegisterSpan{0x1018, 2}));
    ASSERT_TRUE(register_read(g, id_of(g, "Wrap"), port));
    EXPECT_EQ(port.log, std::vector<Access>{Access(MemoryPort::read_of(0x20, hex_bytes("00 00 00 00")))});
    EXPECT_TRUE(g.stack.empty());
}

TEST(RegisterAccess, LengthsBelowZeroOrBeyondTheLimitAreRefusedBeforeAnyTransfer) {
    Genicam g = build_graph(R"(
        <Integer Name="Len"><Value>-1</Value></Integer>
        <IntReg Name="R"><Address>0</Address><pLength>Len</pLength></IntReg>
        <StringReg Name="S"><Address>0</Address><Length>67108865</Length></StringReg>
        <StringReg Name="Big"><Address>0</Address><Length>67108864</Length></StringReg>)");
    MemoryPort port;
    port.record_bytes = false;
    EXPECT_EQ(error_of(int_value(g, id_of(g, "R"), port)), "formula in 'R': register length -1 outside 0..67108864");
    EXPECT_EQ(error_of(set_int_value(g, id_of(g, "R"), 1, port)),
              "formula in 'R': register length -1 outside 0..67108864");
    EXPECT_EQ(error_of(string_value(g, id_of(g, "S"), port)),
              "formula in 'S': register length 67108865 outside 0..67108864");
    EXPECT_EQ(error_of(set_string_value(g, id_of(g, "S"), "x", port)),
              "formula in 'S': register length 67108865 outside 0..67108864");
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(string_value(g, id_of(g, "Big"), port), "");
    EXPECT_EQ(port.reads(), 1u);
}

TEST(RegisterAccess, AccessModeForbidsTheDirectionWithoutTouchingThePort) {
    Genicam g = build_graph(R"(
        <IntReg Name="W"><Address>0</Address><Length>4</Length><AccessMode>WO</AccessMode></IntReg>
        <IntReg Name="R"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode></IntReg>
        <Register Name="B"><Address>0</Address><Length>4</Length></Register>)");
    MemoryPort port;
    EXPECT_EQ(error_of(register_read(g, id_of(g, "W"), port)), "node 'W' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(register_write(g, id_of(g, "R"), hex_bytes("00"), port)),
              "node 'R' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(int_value(g, id_of(g, "B"), port)), "node 'B' does not support this access: B is a register feature");
    EXPECT_TRUE(port.log.empty());
    EXPECT_TRUE(register_write(g, id_of(g, "W"), hex_bytes("01 02"), port));
    EXPECT_EQ(port.log, std::vector<Access>{MemoryPort::write_of(0, hex_bytes("01 02"))});
}

TEST(RegisterAccess, CacheModesDecideTheDeviceTraffic) {
    struct Case {
        const char* mode;
        std::size_t reads_for_two_reads;
        std::size_t reads_after_write;
    } cases[] = {{"NoCache", 2, 1}, {"WriteThrough", 1, 0}, {"WriteAround", 1, 1}};
    for (const auto& c : cases) {
        Genicam g = build_graph(std::string(R"(<IntReg Name="R"><Address>0x40</Address><Length>4</Length>
            <Endianess>BigEndian</Endianess><Cachable>)") + c.mode + "</Cachable></IntReg>");
        const NodeId r = id_of(g, "R");
        MemoryPort port;
        port.store(0x40, hex_bytes("00 00 00 07"));
        EXPECT_EQ(int_value(g, r, port), 7);
        EXPECT_EQ(int_value(g, r, port), 7);
        EXPECT_EQ(port.reads(), c.reads_for_two_reads) << c.mode;

        port.log.clear();
        ASSERT_TRUE(set_int_value(g, r, 9, port));
        EXPECT_EQ(int_value(g, r, port), 9);
        EXPECT_EQ(port.reads(), c.reads_after_write) << c.mode;
        EXPECT_EQ(port.writes(), 1u);
    }
}

TEST(RegisterAccess, FailedTransfersAreTransportErrorsAndKeepTheCache) {
    Genicam g = build_graph(R"(<IntReg Name="R"><Address>0</Address><Length>4</Length>
        <Cachable>WriteThrough</Cachable></IntReg>)");
    const NodeId r = id_of(g, "R");
    MemoryPort port;
    port.failure = CameraError::ack_timeout();
    EXPECT_EQ(error_of(int_value(g, r, port)), "timed out waiting for acknowledge");
    EXPECT_FALSE(std::get<Register>(g[r].node).common.cache.has_value());

    port.failure.reset();
    ASSERT_EQ(int_value(g, r, port), 0);
    port.failure = CameraError::status(0x0082, 0x8006);
    auto failed = set_int_value(g, r, 5, port);
    EXPECT_EQ(failed.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(error_of(failed), "device answered command 0x0082 with access denied (0x8006)");
    EXPECT_EQ(std::get<Register>(g[r].node).common.cache, hex_bytes("00 00 00 00"));
    EXPECT_TRUE(g.stack.empty());
}

TEST(RegisterAccess, InvalidatorsDropCachesOnlyAfterSuccessfulWrites) {
    Genicam g = build_graph(R"(
        <IntReg Name="A"><Address>0</Address><Length>4</Length><pInvalidator>Feature</pInvalidator></IntReg>
        <IntReg Name="C"><Address>4</Address><Length>4</Length><pInvalidator>B</pInvalidator></IntReg>
        <IntReg Name="B"><Address>8</Address><Length>4</Length></IntReg>
        <Integer Name="Feature"><pValue>B</pValue></Integer>)");
    const NodeId a = id_of(g, "A");
    const NodeId c = id_of(g, "C");
    MemoryPort port;
    ASSERT_TRUE(int_value(g, a, port));
    ASSERT_TRUE(int_value(g, c, port));

    // A write through the feature reaches register B: C, which names B, reads from the device
    // again; A names the feature itself, which is not a register write, and keeps its bytes.
    port.log.clear();
    ASSERT_TRUE(set_int_value(g, id_of(g, "Feature"), 1, port));
    ASSERT_TRUE(int_value(g, a, port));
    ASSERT_TRUE(int_value(g, c, port));
    EXPECT_EQ(port.log, (std::vector<Access>{MemoryPort::write_of(8, hex_bytes("01 00 00 00")),
                                             MemoryPort::read_of(4, hex_bytes("00 00 00 00"))}));

    port.failure = CameraError::ack_timeout();
    EXPECT_FALSE(set_int_value(g, id_of(g, "B"), 2, port));
    port.failure.reset();
    port.log.clear();
    ASSERT_TRUE(int_value(g, c, port));
    EXPECT_EQ(port.reads(), 0u);
}

TEST(RegisterAccess, DecodedValuesAndCodecFailuresNameTheRegister) {
    struct Case {
        const char* element;
        const char* bytes;
        std::string expected;
    } cases[] = {
        {"<MaskedIntReg Name='R'><Address>0</Address><Length>4</Length><LSB>40</LSB>"
         "<Endianess>BigEndian</Endianess></MaskedIntReg>",
         "12 34 56 78", "formula in 'R': bad bit range 4294967287..4294967287 for 4 bytes"},
        {"<MaskedIntReg Name='R'><Address>0</Address><Length>4</Length><LSB>31</LSB><MSB>16</MSB>"
         "<Sign>Signed</Sign><Endianess>BigEndian</Endianess></MaskedIntReg>",
         "00 00 FF FE", "-2"},
        {"<IntReg Name='R'><Address>0</Address><Length>3</Length></IntReg>", "01 02 03", "197121"},
        {"<IntReg Name='R'><Address>0</Address><Length>9</Length></IntReg>", "01",
         "formula in 'R': unsupported integer register length 9"},
        {"<FloatReg Name='R'><Address>0</Address><Length>4</Length><Endianess>BigEndian</Endianess></FloatReg>",
         "3F 80 00 00", "1.000000"},
        {"<FloatReg Name='R'><Address>0</Address><Length>2</Length></FloatReg>", "3F 80",
         "formula in 'R': unsupported float register length 2"},
        {"<StringReg Name='R'><Address>0</Address><Length>8</Length></StringReg>", "61 62 63 00 00 00 00 00", "abc"},
    };
    for (const auto& c : cases) {
        Genicam g = build_graph(c.element);
        const NodeId r = id_of(g, "R");
        MemoryPort port;
        port.store(0, hex_bytes(c.bytes));
        std::string outcome;
        if (register_as<register_kind::Float>(g[r].node)) {
            auto v = float_value(g, r, port);
            outcome = v ? std::to_string(*v) : v.error().message();
        } else if (register_as<register_kind::String>(g[r].node)) {
            auto v = string_value(g, r, port);
            outcome = v ? *v : v.error().message();
        } else {
            auto v = int_value(g, r, port);
            outcome = v ? std::to_string(*v) : v.error().message();
        }
        EXPECT_EQ(outcome, c.expected) << c.element;
    }
}
