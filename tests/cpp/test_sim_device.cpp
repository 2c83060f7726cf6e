#include <gtest/gtest.h>

#include <bit>

#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"

using namespace korvalite;
using namespace korvalite::sim;
namespace st = gige::proto::status;
namespace f = features;

namespace {

const net::Endpoint kHost{net::Ipv4Address{0x7F000001}, 40000};
const net::Endpoint kOther{net::Ipv4Address{0x7F000002}, 40001};

std::unique_ptr<Device> make_device(SimConfig config = {}) {
    return std::make_unique<Device>(config, net::Ipv4Address{0x7F00001E}, gige::proto::ByteVec(10, std::byte{0x41}),
                                    "Local:x.xml;100000;A", "");
}

std::uint16_t write_reg(Device& d, const net::Endpoint& peer, std::uint32_t address, std::uint32_t value,
                        Clock::time_point now = Clock::now()) {
    std::pair<std::uint32_t, std::uint32_t> pair{address, value};
    return d.write_registers(peer, {&pair, 1}, now).status;
}

std::uint32_t peek_u32(const Device& d, std::uint32_t address) { return gige::proto::u32_at(*d.peek(address, 4), 0); }

}  // namespace

TEST(SimDevice, PrivilegeIsExclusiveToOneApplicationAndEndsWithoutHeartbeat) {
    auto d = make_device();
    const auto t0 = Clock::now();
    EXPECT_EQ(write_reg(*d, kHost, f::kWidth, 320, t0), st::kAccessDenied);  // nobody took control yet
    EXPECT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2, t0), st::kSuccess);
    EXPECT_EQ(peek_u32(*d, boot::kControlChannelPrivilege), 2u);
    EXPECT_EQ(peek_u32(*d, boot::kPrimaryApplicationPort), 40000u);
    EXPECT_EQ(write_reg(*d, kOther, boot::kControlChannelPrivilege, 2, t0), st::kAccessDenied);
    EXPECT_EQ(write_reg(*d, kOther, f::kWidth, 320, t0), st::kAccessDenied);
    EXPECT_EQ(d->read_registers(kOther, std::array<std::uint32_t, 1>{f::kWidth}).status, st::kSuccess);

    // Exclusive access also keeps others from reading.
    EXPECT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 3, t0), st::kSuccess);
    EXPECT_EQ(d->read_registers(kOther, std::array<std::uint32_t, 1>{f::kWidth}).status, st::kAccessDenied);

    // Heartbeats keep it; 3 s of silence (the default timeout) end it and close the stream.
    EXPECT_EQ(write_reg(*d, kHost, boot::stream_channel_base(0), 5000, t0), st::kSuccess);
    d->heartbeat(kHost, t0 + std::chrono::seconds(2));
    EXPECT_FALSE(d->expire_privilege(t0 + std::chrono::seconds(4)));
    EXPECT_TRUE(d->expire_privilege(t0 + std::chrono::milliseconds(5001)));
    EXPECT_FALSE(d->privilege_holder());
    EXPECT_EQ(peek_u32(*d, boot::kControlChannelPrivilege), 0u);
    EXPECT_EQ(peek_u32(*d, boot::stream_channel_base(0)), 0u);
    EXPECT_EQ(d->counters().get(Counter::HeartbeatExpirations), 1u);
    EXPECT_EQ(write_reg(*d, kOther, boot::kControlChannelPrivilege, 2, t0), st::kSuccess);
}

TEST(SimDevice, WritingZeroGivesControlBack) {
    auto d = make_device();
    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, f::kTLParamsLocked, 1), st::kSuccess);
    EXPECT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 0), st::kSuccess);
    EXPECT_FALSE(d->privilege_holder());
    EXPECT_EQ(peek_u32(*d, f::kTLParamsLocked), 0u);  // unlocked with the control channel
}

TEST(SimDevice, HostWriteStatuses) {
    auto d = make_device();
    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2), st::kSuccess);
    struct Case {
        std::uint32_t address, value;
        std::uint16_t status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0x0002, 1, st::kBadAlignment},
             {0x0000, 1, st::kWriteProtect},         // version: read-only
             {0x0C00, 1, st::kInvalidAddress},       // unmapped
             {f::kSensorWidth, 9, st::kWriteProtect},
             {f::kWidth, 0, st::kInvalidParameter},
             {f::kWidth, 1281, st::kInvalidParameter},
             {f::kPixelFormat, 0x01080099, st::kInvalidParameter},
             {f::kAcquisitionMode, 3, st::kInvalidParameter},
             {f::kGain, std::bit_cast<std::uint32_t>(30.0f), st::kInvalidParameter},
             {f::kTestPattern, 2, st::kInvalidParameter},
             {boot::stream_channel_base(0) + boot::kScpsOffset, 40, st::kInvalidParameter},
             {boot::stream_channel_base(2), 1, st::kInvalidAddress},  // only two channels
             {f::kGain, std::bit_cast<std::uint32_t>(6.0f), st::kSuccess},
         }) {
        EXPECT_EQ(write_reg(*d, kHost, c.address, c.value), c.status) << std::hex << c.address;
    }
    gige::proto::ByteVec out;
    EXPECT_EQ(d->read_memory(kHost, 0x0002, 4, out), st::kBadAlignment);
    EXPECT_EQ(d->read_memory(kHost, 0x0000, 6, out), st::kBadAlignment);
    EXPECT_EQ(d->read_memory(kHost, 0x0000, 516, out), st::kInvalidParameter);
    EXPECT_EQ(d->read_memory(kHost, 0x00F8, 16, out), st::kInvalidAddress);  // runs past the identity block
    EXPECT_EQ(d->write_memory(kHost, 0x0048, gige::proto::ByteVec(8), Clock::now()).status, st::kWriteProtect);
}

TEST(SimDevice, ImageWindowRules) {
    auto d = make_device();
    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, f::kOffsetX, 600), st::kSuccess);  // 600 + 640 fits 1280
    EXPECT_EQ(write_reg(*d, kHost, f::kOffsetX, 641), st::kInvalidParameter);
    ASSERT_EQ(write_reg(*d, kHost, f::kWidth, 1000), st::kSuccess);
    EXPECT_EQ(peek_u32(*d, f::kOffsetX), 280u);  // pushed back onto the sensor

    ASSERT_EQ(write_reg(*d, kHost, f::kTLParamsLocked, 1), st::kSuccess);
    EXPECT_EQ(write_reg(*d, kHost, f::kWidth, 800), st::kWriteProtect);
    EXPECT_EQ(write_reg(*d, kHost, f::kPixelFormat, gige::proto::PixelFormat::kMono16), st::kWriteProtect);
    EXPECT_EQ(write_reg(*d, kHost, f::kOffsetX, 0), st::kSuccess);

    // A long exposure lowers the frame rate to what still fits: 50 ms allows 20 Hz.
    ASSERT_EQ(write_reg(*d, kHost, f::kExposureTimeRaw, 500000), st::kSuccess);
    EXPECT_EQ(std::bit_cast<double>(gige::proto::u64_at(*d->peek(f::kAcquisitionFrameRate, 8), 0)), 20.0);
    gige::proto::ByteVec rate(8);
    gige::proto::put_u64(rate, 0, std::bit_cast<std::uint64_t>(25.0));
    EXPECT_EQ(d->write_memory(kHost, f::kAcquisitionFrameRate, rate, Clock::now()).status, st::kInvalidParameter);
}

TEST(SimDevice, RecordsAcceptedWritesInOrderAndReportsFireTests) {
    auto d = make_device();
    const std::uint32_t scps = boot::stream_channel_base(1) + boot::kScpsOffset;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs = {
        {boot::kControlChannelPrivilege, 2},
        {boot::stream_channel_base(1) + boot::kScdaOffset, 0x7F000001},
        {boot::stream_channel_base(1), 50000},
        {scps, 0xC0000000 | 9000},
        {f::kWidth, 0},  // refused: stops the command here
        {f::kHeight, 100},
    };
    HostWriteResult r = d->write_registers(kHost, pairs, Clock::now());
    EXPECT_EQ(r.status, st::kInvalidParameter);
    EXPECT_EQ(r.done, 4u);
    ASSERT_EQ(r.fire_tests.size(), 1u);
    EXPECT_EQ(r.fire_tests[0].channel, 1u);
    EXPECT_EQ(r.fire_tests[0].size, 9000u);
    EXPECT_EQ(r.fire_tests[0].destination, (net::Endpoint{net::Ipv4Address{0x7F000001}, 50000}));
    EXPECT_EQ(peek_u32(*d, scps), 0x40000000u | 9000);  // the fire bit clears itself
    EXPECT_EQ(peek_u32(*d, f::kHeight), 480u);

    d->write_memory(kHost, boot::kUserDefinedName, gige::proto::as_bytes(std::string_view("left cam\0\0\0\0", 12)),
                    Clock::now());
    auto records = d->writes().since(0);
    ASSERT_EQ(records.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].sequence, i);
        EXPECT_EQ(records[i].address, pairs[i].first);
        EXPECT_EQ(records[i].value(), pairs[i].second);
        EXPECT_EQ(records[i].source, kHost);
    }
    EXPECT_EQ(records[4].command, 0x0086);
    EXPECT_EQ(records[4].data.size(), 12u);
    EXPECT_EQ(d->writes().since(4).size(), 1u);
}

TEST(SimDevice, RefusedRegistersAndAcquisitionModes) {
    SimConfig config;
    config.faults.refused_registers = {{0x00A8, 0x8003}};
    auto d = make_device(config);
    gige::proto::ByteVec out;
    EXPECT_EQ(d->read_memory(kHost, 0x00A8, 48, out), 0x8003);
    EXPECT_EQ(d->read_memory(kHost, 0x0088, 32, out), st::kSuccess);
    EXPECT_EQ(d->read_memory(kHost, 0x0088, 36, out), 0x8003);  // overlaps the refused register

    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, f::kAcquisitionMode, f::kModeMultiFrame), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, f::kAcquisitionFrameCount, 2), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, f::kAcquisitionStart, 1), st::kSuccess);
    EXPECT_TRUE(d->acquiring());
    EXPECT_EQ(peek_u32(*d, f::kStatusControl) & f::kStatusAcquisitionActive, 1u);
    EXPECT_EQ(peek_u32(*d, f::kAcquisitionStart), 0u);
    d->end_frame();
    EXPECT_TRUE(d->acquiring());
    d->end_frame();
    EXPECT_FALSE(d->acquiring());
    EXPECT_EQ(peek_u32(*d, f::kStatusControl) & f::kStatusAcquisitionActive, 0u);
    EXPECT_FALSE(d->begin_frame(Clock::now()));
}

TEST(SimDevice, HeartbeatTimeoutFloorAndTimestampLatch) {
    auto d = make_device();
    const auto t0 = Clock::now();
    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2, t0), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, boot::kHeartbeatTimeout, 10, t0), st::kSuccess);
    EXPECT_EQ(peek_u32(*d, boot::kHeartbeatTimeout), 100u);  // raised to the configured floor

    auto latched = [&] { return gige::proto::u64_at(*d->peek(boot::kTimestampValueHigh, 8), 0); };
    ASSERT_EQ(write_reg(*d, kHost, boot::kTimestampControl, boot::kTimestampReset, t0), st::kSuccess);
    const auto t1 = t0 + std::chrono::microseconds(1500);
    ASSERT_EQ(write_reg(*d, kHost, boot::kTimestampControl, boot::kTimestampLatch, t1), st::kSuccess);
    EXPECT_EQ(latched(), 1'500'000u);  // 1 GHz ticks
    EXPECT_EQ(peek_u32(*d, boot::kTimestampControl), 0u);
}

TEST(SimDevice, LoopbackCameraSendsOnlyToLoopback) {
    auto d = make_device();  // bound to 127.0.0.1 by default
    ASSERT_EQ(write_reg(*d, kHost, boot::kControlChannelPrivilege, 2), st::kSuccess);
    const std::uint32_t base = boot::stream_channel_base(0);
    ASSERT_EQ(write_reg(*d, kHost, base, 50000), st::kSuccess);
    ASSERT_EQ(write_reg(*d, kHost, base + boot::kScdaOffset, 0xC0A80102), st::kSuccess);  // 192.168.1.2
    EXPECT_FALSE(d->stream_target(0).destination);
    ASSERT_EQ(write_reg(*d, kHost, base + boot::kScdaOffset, 0), st::kSuccess);  // to the controller
    EXPECT_EQ(d->stream_target(0).destination, (net::Endpoint{kHost.address, 50000}));
}
