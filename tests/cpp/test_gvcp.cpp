#include <gtest/gtest.h>

#include <list>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/gvcp.hpp"

using namespace korvalite::gige::proto;
using korvalite::test_support::hex_bytes;
using korvalite::test_support::to_vec;

TEST(GvcpEncode, GoldenBytes) {
    const std::uint32_t addr[] = {0x0A00};
    EXPECT_EQ(encode_read_reg(addr, 1), hex_bytes("42 01 00 80 00 04 00 01 00 00 0A 00"));

    const std::pair<std::uint32_t, std::uint32_t> pair[] = {{0x0A00, 0}};
    EXPECT_EQ(encode_write_reg(pair, 7), hex_bytes("42 01 00 82 00 08 00 07 00 00 0A 00 00 00 00 00"));

    EXPECT_EQ(to_vec(encode_discovery()), hex_bytes("42 11 00 02 00 00 FF FF"));
    EXPECT_EQ(to_vec(encode_event_ack(0x00C0, 0xABCD)), hex_bytes("00 00 00 C1 00 00 AB CD"));
    EXPECT_EQ(to_vec(encode_event_ack(0x00C2, 0x0001)), hex_bytes("00 00 00 C3 00 00 00 01"));
    EXPECT_EQ(encode_read_mem(0x0200, 512, 9), hex_bytes("42 01 00 84 00 08 00 09 00 00 02 00 00 00 02 00"));
    const auto data = hex_bytes("01 02 03 04");
    EXPECT_EQ(encode_write_mem(0x1000, data, 2), hex_bytes("42 01 00 86 00 08 00 02 00 00 10 00 01 02 03 04"));
}

TEST(GvcpEncode, PacketResendForms) {
    std::array<std::byte, 28> buf{};
    ASSERT_EQ(encode_packet_resend(buf, 0x1234, 5, 9, false, 3), 20u);
    EXPECT_EQ(std::vector<std::byte>(buf.begin(), buf.begin() + 20),
              hex_bytes("42 00 00 40 00 0C 00 03 00 00 12 34 00 00 00 05 00 00 00 09"));

    // Packet ids beyond 24 bits lose their top byte in the normal form...
    ASSERT_EQ(encode_packet_resend(buf, 0x1234, 0x01000005, 0xFF000009, false, 3), 20u);
    EXPECT_EQ(std::vector<std::byte>(buf.begin() + 12, buf.begin() + 20), hex_bytes("00 00 00 05 00 00 00 09"));

    // ...and keep all 32 bits in the extended form, with the 64-bit block id at the end.
    ASSERT_EQ(encode_packet_resend(buf, 0x0102030405060708, 0x01000005, 0x01000009, true, 0xFF15), 28u);
    EXPECT_EQ(to_vec(buf), hex_bytes("42 10 00 40 00 14 FF 15 00 00 00 00 01 00 00 05 01 00 00 09 "
                                     "01 02 03 04 05 06 07 08"));
}

TEST(GvcpParse, RecognitionAndValidity) {
    // Too short, and a length field promising more than the datagram holds: malformed.
    EXPECT_FALSE(parse_datagram(hex_bytes("00 00 00 81 00 00 00")));
    EXPECT_FALSE(parse_datagram(hex_bytes("00 00 00 81 00 04 00 01 AA BB")));
    EXPECT_FALSE(parse_datagram({}));

    // Bytes beyond `length` are ignored.
    const auto ack_bytes = hex_bytes("00 00 00 81 00 04 00 01 12 34 56 78 99");
    auto ack = parse_datagram(ack_bytes);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->is_command);
    EXPECT_EQ(ack->code, code::kReadRegAck);
    EXPECT_EQ(ack->id, 1);
    EXPECT_EQ(ack->payload.size(), 4u);
    EXPECT_EQ(read_reg_value_count(*ack), 1u);
    EXPECT_EQ(read_reg_value(*ack, 0), 0x12345678u);

    // READREG values are whole 4-byte units.
    const auto partial_bytes = hex_bytes("00 00 00 81 00 06 00 01 12 34 56 78 9A BC");
    auto partial = parse_datagram(partial_bytes);
    ASSERT_TRUE(partial);
    EXPECT_EQ(read_reg_value_count(*partial), 1u);

    // Status 0x0100 is success; bit 15 is a refusal.
    auto resend_status = parse_datagram(hex_bytes("01 00 00 83 00 00 00 02"));
    ASSERT_TRUE(resend_status);
    EXPECT_FALSE(resend_status->is_nak());
    auto nak = parse_datagram(hex_bytes("80 06 00 83 00 00 00 02"));
    ASSERT_TRUE(nak);
    EXPECT_TRUE(nak->is_nak());
    EXPECT_EQ(nak->status, 0x8006);

    // A first byte of 0x42 marks a device command.
    auto event = parse_datagram(hex_bytes("42 01 00 C0 00 00 00 05"));
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->is_command);
    EXPECT_EQ(event->flags, 0x01);
    EXPECT_TRUE(is_accepted_device_command(event->code));
    EXPECT_FALSE(is_accepted_device_command(0x0080));
}

TEST(GvcpParse, PendingAck) {
    const auto pending_bytes = hex_bytes("00 00 00 89 00 04 00 03 00 00 01 F4");
    auto pending = parse_datagram(pending_bytes);
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending_ack_delay_ms(*pending), 500u);
    // The 32-bit big-endian reading covers the reserved half too.
    const auto big_bytes = hex_bytes("00 00 00 89 00 04 00 03 00 01 00 00");
    auto big = parse_datagram(big_bytes);
    EXPECT_EQ(pending_ack_delay_ms(*big), 65536u);
    // Under 4 payload bytes: an ordinary final acknowledge.
    const auto short_bytes = hex_bytes("00 00 00 89 00 02 00 03 00 01");
    auto short_pending = parse_datagram(short_bytes);
    ASSERT_TRUE(short_pending);
    EXPECT_FALSE(pending_ack_delay_ms(*short_pending));
}

TEST(GvcpParse, DiscoveryAcknowledge) {
    auto good = hex_bytes("00 00 00 03 00 04 FF FF 01 02 03 04");
    auto payload = discovery_ack_payload(good);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->size(), 4u);
    EXPECT_FALSE(discovery_ack_payload(hex_bytes("80 06 00 03 00 00 FF FF")));  // refused
    EXPECT_FALSE(discovery_ack_payload(hex_bytes("00 00 00 81 00 00 FF FF")));  // wrong code
    EXPECT_FALSE(discovery_ack_payload(hex_bytes("00 00 00 03 00 08 FF FF 00")));  // short
}

TEST(GvcpEvent, ParsesTheFirstRecord) {
    auto three = GvcpEvent::parse(0x00C0, hex_bytes("01 02 03"));
    EXPECT_EQ(three.event_id, 0);
    EXPECT_EQ(three.stream_channel, 0);
    EXPECT_EQ(three.block_id, 0);
    EXPECT_EQ(three.timestamp, 0u);
    EXPECT_TRUE(three.data.empty());
    EXPECT_EQ(three.payload.size(), 3u);

    auto twenty = GvcpEvent::parse(0x00C2, hex_bytes("00 00 90 01 00 02 00 03 00 00 00 00 00 00 01 00 DE AD BE EF"));
    EXPECT_EQ(twenty.command, 0x00C2);
    EXPECT_EQ(twenty.event_id, 0x9001);
    EXPECT_EQ(twenty.stream_channel, 2);
    EXPECT_EQ(twenty.block_id, 3);
    EXPECT_EQ(twenty.timestamp, 0x100u);
    EXPECT_EQ(twenty.data, hex_bytes("DE AD BE EF"));
    EXPECT_EQ(twenty.payload.size(), 20u);

    auto five = GvcpEvent::parse(0x00C0, hex_bytes("00 00 12 34 00"));
    EXPECT_EQ(five.event_id, 0x1234);
    EXPECT_EQ(five.stream_channel, 0);
}

TEST(GvcpStatus, Display) {
    const std::pair<std::uint16_t, std::string> cases[] = {
        {0x0000, "success (0x0000)"},          {0x0100, "packet resend (0x0100)"},
        {0x8006, "access denied (0x8006)"},     {0x8FFF, "generic error (0x8fff)"},
        {0x800F, "status 0x800f"},              {0x8009, "status 0x8009"},
        {0x8017, "leader/trailer overflow (0x8017)"}, {0x800C, "packet unavailable (0x800c)"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(GvcpStatus{code}.display(), text);
}

TEST(GvcpDevice, AcknowledgesGoldenBytes) {
    const std::uint32_t values[] = {0x11223344, 0x2};
    EXPECT_EQ(encode_read_reg_ack(0, 5, values), hex_bytes("00 00 00 81 00 08 00 05 11 22 33 44 00 00 00 02"));
    EXPECT_EQ(encode_write_ack(0x8006, 0x0083, 6, 0), hex_bytes("80 06 00 83 00 04 00 06 00 00 00 00"));
    EXPECT_EQ(encode_write_ack(0, 0x0087, 7, 12), hex_bytes("00 00 00 87 00 04 00 07 00 00 00 0C"));
    EXPECT_EQ(encode_read_mem_ack(0, 8, 0x0200, hex_bytes("41 42")), hex_bytes("00 00 00 85 00 06 00 08 00 00 02 00 41 42"));
    EXPECT_EQ(encode_pending_ack(9, 1000), hex_bytes("00 00 00 89 00 04 00 09 00 00 03 E8"));
    EXPECT_EQ(encode_event_command(true, 0x0A, 0x9001, 0, 0x0102, 0x1122334455667788, std::nullopt),
              hex_bytes("42 01 00 C0 00 10 00 0A 00 00 90 01 00 00 01 02 11 22 33 44 55 66 77 88"));
    EXPECT_EQ(encode_event_command(false, 0x0B, 0x9002, 1, 3, 4, hex_bytes("AA")),
              hex_bytes("42 00 00 C2 00 11 00 0B 00 00 90 02 00 01 00 03 00 00 00 00 00 00 00 04 AA"));
}

// Device-side decoders read exactly what the host-side encoders write, and refuse malformed
// payloads.
TEST(GvcpDevice, CommandsDecodeAsEncodedAndMalformedOnesAreRefused) {
    // The datagrams stay alive here: the decoded views point into them.
    std::list<std::vector<std::byte>> kept;
    const auto command = [&](std::vector<std::byte> bytes) {
        return *parse_datagram(kept.emplace_back(std::move(bytes)));
    };
    const std::uint32_t addresses[] = {0x0A00, 0x0934};
    EXPECT_EQ(decode_read_reg(command(encode_read_reg(addresses, 1))),
              (std::vector<std::uint32_t>{0x0A00, 0x0934}));
    const std::pair<std::uint32_t, std::uint32_t> pairs[] = {{0x0A00, 2}, {0x0938, 3000}};
    EXPECT_EQ(decode_write_reg(command(encode_write_reg(pairs, 2))),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x0A00, 2}, {0x0938, 3000}}));
    const auto read = decode_read_mem(command(encode_read_mem(0x0200, 512, 3)));
    ASSERT_TRUE(read);
    EXPECT_EQ((std::pair{read->address, read->count}), (std::pair<std::uint32_t, std::uint32_t>{0x0200, 512}));
    const auto data = hex_bytes("01 02 03 04");
    const auto write = decode_write_mem(command(encode_write_mem(0x1000, data, 4)));
    ASSERT_TRUE(write);
    EXPECT_EQ(write->address, 0x1000u);
    EXPECT_EQ(to_vec(write->data), data);

    EXPECT_FALSE(decode_read_reg(command(hex_bytes("42 01 00 80 00 00 00 01"))));           // no address
    EXPECT_FALSE(decode_read_reg(command(hex_bytes("42 01 00 80 00 02 00 01 0A 00"))));     // half a word
    EXPECT_FALSE(decode_write_reg(command(hex_bytes("42 01 00 82 00 04 00 01 00 00 0A 00"))));  // no value
    EXPECT_FALSE(decode_read_mem(command(hex_bytes("42 01 00 84 00 04 00 01 00 00 02 00"))));   // no count
    EXPECT_FALSE(decode_write_mem(command(hex_bytes("42 01 00 86 00 02 00 01 00 00"))));        // no address

    std::array<std::byte, 28> buf{};
    const std::size_t n = encode_packet_resend(buf, 0x0102030405060708, 5, 9, true, 0xFF15);
    const auto resend = command(std::vector<std::byte>(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_EQ(decode_packet_resend(resend.flags, resend.payload), (ResendRequest{0, 0x0102030405060708, 5, 9, true}));
    EXPECT_FALSE(decode_packet_resend(0, hex_bytes("00 00 12 34")));
}
