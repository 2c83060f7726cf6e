// The control worker follows the device's GVCP capability: several registers per command only
// with concatenation, WRITEMEM only when served, PENDING_ACK only when announced and never for
// longer than its limit, and no operation outliving its caller's wait.
#include <gtest/gtest.h>

#include <thread>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "worker_harness.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

using Replies = std::optional<std::vector<Reply>>;
const Replies kSilent = std::vector<Reply>{};
namespace bit = proto::capability;

// Per command the device received (heartbeats aside): its code and how many registers it named.
std::vector<std::pair<std::uint16_t, std::size_t>> command_shapes(const ScriptedDevice& device) {
    std::vector<std::pair<std::uint16_t, std::size_t>> shapes;
    for (const auto& r : device.commands()) {
        const std::uint16_t code = r.parsed->code;
        const std::size_t n = code == proto::code::kReadRegCmd    ? r.read_addresses().size()
                              : code == proto::code::kWriteRegCmd ? r.write_pairs().size()
                                                                  : 1;
        shapes.emplace_back(code, n);
    }
    return shapes;
}

}  // namespace

TEST(DeviceCapability, RegistersAndMemoryWritesTravelAsTheDeviceAllows) {
    constexpr auto RR = proto::code::kReadRegCmd, WR = proto::code::kWriteRegCmd, WM = proto::code::kWriteMemCmd;
    struct Case {
        std::uint32_t capability;
        std::vector<std::pair<std::uint16_t, std::size_t>> shapes;  // three reads, then a 12-byte write
    };
    const Case cases[] = {
        {bit::kConcatenation | bit::kWriteMem, {{RR, 3}, {WM, 1}}},
        {bit::kWriteMem, {{RR, 1}, {RR, 1}, {RR, 1}, {WM, 1}}},
        {bit::kConcatenation, {{RR, 3}, {WR, 3}}},
        {0, {{RR, 1}, {RR, 1}, {RR, 1}, {WR, 1}, {WR, 1}, {WR, 1}}},
    };
    const proto::ByteVec data = {std::byte{1}, std::byte{2},  std::byte{3},  std::byte{4},
                                 std::byte{5}, std::byte{6},  std::byte{7},  std::byte{8},
                                 std::byte{9}, std::byte{10}, std::byte{11}, std::byte{12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capability);
        Harness h("127.0.0.30");
        h.device.set_register(0x100, 11);
        h.device.set_register(0x104, 22);
        h.device.set_register(0x108, 33);
        ASSERT_TRUE(h.port().apply_device_rules(proto::GvcpCapability{c.capability}, 0ms));
        auto values = h.port().read_registers({0x100, 0x104, 0x108}).wait_timeout(5s);
        ASSERT_TRUE(values) << values.error()->message();
        EXPECT_EQ(*values, (std::vector<std::uint32_t>{11, 22, 33}));
        EXPECT_EQ(outcome(h.port().write_memory(0x200, data)), "ok");
        EXPECT_EQ(h.device.memory(0x200, data.size()), data);
        EXPECT_EQ(command_shapes(h.device), c.shapes);
    }
}

TEST(DeviceCapability, NotImplementedNamesTheCommand) {
    Harness h("127.0.0.31");
    h.device.set_script([](const Received& r) -> Replies {
        if (r.is_command(proto::code::kWriteMemCmd))
            return std::vector<Reply>{{ScriptedDevice::nak(r, proto::status::kNotImplemented)}};
        return std::nullopt;
    });
    EXPECT_EQ(outcome(h.port().write_memory(0x200, proto::ByteVec(8))),
              "device does not support WRITEMEM (command 0x0086 answered with not implemented (0x8001))");
    EXPECT_EQ(outcome(h.port().read_register(0x100)), "ok");
}

TEST(DeviceCapability, PendingAckIsBelievedOnlyWhenAnnouncedAndOnlyUpToItsLimit) {
    struct Case {
        const char* name;
        std::uint32_t capability;
        std::chrono::milliseconds limit;
        std::uint64_t pending_acks, unsolicited, retries;
    };
    // The device answers the first send with a PENDING_ACK of 0xFFFFFFFF ms and then nothing.
    const Case cases[] = {
        {"not announced: ignored, the tries go on", 0, 0ms, 0, 1, 2},
        {"announced: capped at the limit, then the tries go on", bit::kPendingAck, 100ms, 1, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h("127.0.0.32", {.gvcp_timeout = 50ms, .retries = 2});
        ASSERT_TRUE(h.port().apply_device_rules(proto::GvcpCapability{c.capability}, c.limit));
        int seen = 0;
        h.device.set_script([&](const Received& r) -> Replies {
            if (r.is_heartbeat()) return std::nullopt;
            if (seen++ > 0) return kSilent;
            return std::vector<Reply>{{ScriptedDevice::pending(r, 0xFFFFFFFF)}};
        });
        EXPECT_EQ(outcome(h.port().read_register(0x100)), "timed out waiting for acknowledge");
        ASSERT_TRUE(eventually([&] { return h.stats().timeouts == 1; }));
        const auto stats = h.stats();
        EXPECT_EQ(stats.pending_acks, c.pending_acks);
        EXPECT_EQ(stats.unsolicited, c.unsolicited);
        EXPECT_EQ(stats.retries, c.retries);
        h.device.set_script([](const Received&) -> Replies { return std::nullopt; });
        EXPECT_EQ(outcome(h.port().read_register(0x100)), "ok");
    }
}

TEST(DeviceCapability, AnOperationItsCallerGaveUpOnNoLongerHoldsTheChannel) {
    // A PENDING_ACK of 0xFFFFFFFF ms within the worker's own limit (2 s with a 3 s heartbeat
    // timeout) still cannot keep the channel past the caller's wait (1.1 s here); a read queued
    // behind it, whose caller waits longer, then goes out.
    Harness h("127.0.0.33", {.gvcp_timeout = 200ms, .retries = 2});
    h.device.set_register(0x104, 7);
    h.device.set_script([&](const Received& r) -> Replies {
        if (r.is_command(proto::code::kReadRegCmd) && r.read_addresses() == std::vector<std::uint32_t>{0x100})
            return std::vector<Reply>{{ScriptedDevice::pending(r, 0xFFFFFFFF)}};
        return std::nullopt;
    });
    auto stuck = h.port().read_register(0x100);
    std::this_thread::sleep_for(500ms);
    auto behind = h.port().read_register(0x104);
    EXPECT_EQ(outcome(stuck, 10s), "timed out waiting for acknowledge");
    auto value = behind.wait_timeout(10s);
    ASSERT_TRUE(value) << value.error()->message();
    EXPECT_EQ(*value, 7u);
    EXPECT_EQ(h.stats().timeouts, 1u);
}
