#include <gtest/gtest.h>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/gvcp_responder.hpp"

using namespace korvalite;
using namespace korvalite::sim;
using test_support::hex_bytes;
using test_support::to_vec;

namespace {

const net::Endpoint kHost{net::Ipv4Address{0x7F000001}, 40000};

struct Rig {
    explicit Rig(SimConfig config = {})
        : device(config, net::Ipv4Address{0x7F00001E}, gige::proto::ByteVec(8), "Local:x.xml;100000;8", ""),
          responder(device, resends) {}

    // Handles one datagram and returns the replies' bytes.
    std::vector<gige::proto::ByteVec> send(const gige::proto::ByteVec& datagram, Clock::time_point now = Clock::now()) {
        ResponderOutput out;
        responder.handle(datagram, kHost, now, out);
        std::vector<gige::proto::ByteVec> replies;
        for (auto& r : out.replies) replies.push_back(r.bytes);
        return replies;
    }

    Device device;
    ResendQueue resends;
    GvcpResponder responder;
};

}  // namespace

TEST(SimResponder, AcknowledgesWithGoldenLayouts) {
    Rig rig;
    struct Case {
        const char* command;
        const char* ack;
    };
    for (const Case& c : std::initializer_list<Case>{
             // READREG of the version and the privilege register.
             {"42 01 00 80 00 08 00 05 00 00 00 00 00 00 0A 00", "00 00 00 81 00 08 00 05 00 02 00 00 00 00 00 00"},
             // WRITEREG taking control: reserved 16 bits, then one register written.
             {"42 01 00 82 00 08 00 06 00 00 0A 00 00 00 00 02", "00 00 00 83 00 04 00 06 00 00 00 01"},
             // READMEM of the serial number field.
             {"42 01 00 84 00 08 00 07 00 00 00 D8 00 00 00 08",
              "00 00 00 85 00 0C 00 07 00 00 00 D8 53 49 4D 30 30 30 30 31"},
             // WRITEMEM of 4 bytes to a read-only field: write protect, none written.
             {"42 01 00 86 00 08 00 08 00 00 00 48 41 42 43 44", "80 04 00 87 00 04 00 08 00 00 00 00"},
             // READREG of an unmapped and a misaligned address.
             {"42 01 00 80 00 04 00 09 00 00 0C 00", "80 03 00 81 00 00 00 09"},
             {"42 01 00 80 00 08 00 0A 00 00 00 00 00 00 00 02", "80 05 00 81 00 04 00 0A 00 02 00 00"},
             // An unknown command and a command promising more payload than it has.
             {"42 01 00 44 00 00 00 0B", "80 01 00 45 00 00 00 0B"},
             {"42 01 00 80 00 08 00 0C 00 00 00 00", "80 0E 00 81 00 00 00 0C"},
         }) {
        auto replies = rig.send(hex_bytes(c.command));
        ASSERT_EQ(replies.size(), 1u) << c.command;
        EXPECT_EQ(replies[0], hex_bytes(c.ack)) << c.command;
    }
    // Without the acknowledge flag the command runs and nothing is answered.
    EXPECT_TRUE(rig.send(hex_bytes("42 00 00 82 00 08 00 0D 00 01 00 00 00 00 01 00")).empty());
    EXPECT_EQ(gige::proto::u32_at(*rig.device.peek(features::kWidth, 4), 0), 256u);
}

TEST(SimResponder, DiscoveryCarriesTheIdentityBlock) {
    Rig rig;
    auto replies = rig.send(to_vec(gige::proto::encode_discovery()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(gige::proto::ByteVec(replies[0].begin(), replies[0].begin() + 8), hex_bytes("00 00 00 03 00 F8 FF FF"));
    EXPECT_EQ(gige::proto::ByteVec(replies[0].begin() + 8, replies[0].end()), rig.device.identity_block());
}

TEST(SimResponder, RetransmissionRepeatsTheAckWithoutRunningTheCommandAgain) {
    Rig rig;
    const auto take = hex_bytes("42 01 00 82 00 08 00 01 00 00 0A 00 00 00 00 02");
    const auto start = hex_bytes("42 01 00 82 00 08 00 02 00 01 00 24 00 00 00 01");
    ASSERT_EQ(rig.send(take).size(), 1u);
    const auto first = rig.send(start);
    const auto again = rig.send(start);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again, first);
    EXPECT_EQ(rig.device.writes().since(0).size(), 2u);
    EXPECT_EQ(rig.device.counters().get(Counter::Retransmissions), 1u);
}

TEST(SimResponder, PendingAckHoldsTheCommandUntilItsTime) {
    SimConfig config;
    config.faults.pending_ack_commands = {0x0082};
    config.faults.pending_ack_announce_ms = 700;
    config.faults.pending_ack_delay_ms = 300;
    Rig rig(config);
    const auto t0 = Clock::now();
    const auto take = hex_bytes("42 01 00 82 00 08 00 01 00 00 0A 00 00 00 00 02");
    const std::vector<gige::proto::ByteVec> pending = {hex_bytes("00 00 00 89 00 04 00 01 00 00 02 BC")};
    EXPECT_EQ(rig.send(take, t0), pending);
    EXPECT_EQ(rig.send(take, t0), pending);  // a repeat while held back is told to wait again
    EXPECT_FALSE(rig.device.privilege_holder());
    ASSERT_EQ(rig.responder.next_due(), t0 + std::chrono::milliseconds(300));

    ResponderOutput out;
    rig.responder.run_due(t0 + std::chrono::milliseconds(299), out);
    EXPECT_TRUE(out.replies.empty());
    rig.responder.run_due(t0 + std::chrono::milliseconds(300), out);
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(out.replies[0].bytes, hex_bytes("00 00 00 83 00 04 00 01 00 00 00 01"));
    EXPECT_EQ(rig.device.privilege_holder(), kHost);
    EXPECT_FALSE(rig.responder.next_due());
}

TEST(SimResponder, AckDropIsSeededAndReproducible) {
    auto pattern = [](std::uint64_t seed) {
        SimConfig config;
        config.faults.seed = seed;
        config.faults.ack_drop = 0.5;
        Rig rig(config);
        std::string answered;
        for (std::uint16_t id = 1; id <= 64; ++id)
            answered += rig.send(gige::proto::encode_read_reg(std::array<std::uint32_t, 1>{0}, id)).empty() ? '.' : 'A';
        EXPECT_EQ(rig.device.counters().get(Counter::AcksDropped),
                  static_cast<std::uint64_t>(std::count(answered.begin(), answered.end(), '.')));
        return answered;
    };
    const std::string a = pattern(7);
    EXPECT_EQ(a, pattern(7));
    EXPECT_NE(a, pattern(8));
    EXPECT_NE(a.find('.'), std::string::npos);
    EXPECT_NE(a.find('A'), std::string::npos);
}

TEST(SimResponder, PacketResendGoesToTheStreamSenderWithoutAck) {
    Rig rig;
    std::array<std::byte, 28> buf{};
    gige::proto::encode_packet_resend(buf, 0x1234, 5, 9, false, 3);
    EXPECT_TRUE(rig.send(gige::proto::ByteVec(buf.begin(), buf.begin() + 20)).empty());
    gige::proto::encode_packet_resend(buf, 0x100000002, 7, 0x1000000, true, 4);
    EXPECT_TRUE(rig.send(to_vec(buf)).empty());
    const std::vector<ResendRequest> expected = {{0, 0x1234, 5, 9, false}, {0, 0x100000002, 7, 0x1000000, true}};
    EXPECT_EQ(rig.resends.drain(), expected);
    EXPECT_EQ(rig.device.counters().get(Counter::ResendPacketsRequested), 5u + 0x1000000 - 7 + 1);
}
