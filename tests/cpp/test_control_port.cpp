// The control port: register or memory path, alignment and range rules, bounded waits,
// submissions to an ended worker, and the completion slot it hands out.
#include <gtest/gtest.h>

#include <thread>

#include "bytes_util.hpp"
#include "capture_sink.hpp"
#include "worker_harness.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

TEST(ResponseHandle, FirstResultWinsAndReachesEveryWaiter) {
    ResponseHandle<std::uint32_t> slot;
    std::vector<std::uint32_t> seen(3);
    std::vector<std::thread> waiters;
    for (auto& s : seen) waiters.emplace_back([&slot, &s] { s = slot.wait_timeout(5s).value_or(0); });
    slot.fulfill(7);
    slot.fail(CameraError::not_connected());
    for (auto& t : waiters) t.join();
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{7, 7, 7}));
    EXPECT_EQ(slot.get().value(), 7u);
}

TEST(ResponseHandle, EmptyTimesOutAndASharedErrorKeepsItsMessage) {
    ResponseHandle<void> slot;
    EXPECT_EQ(slot.wait_timeout(5ms).error()->message(), "timed out waiting for acknowledge");
    EXPECT_FALSE(slot.is_complete());
    slot.fail(CameraError::not_connected());
    const SharedCameraError first = slot.get().error();
    EXPECT_EQ(first, slot.wait_timeout(0s).error());  // the same shared error each time
    const CameraError plain = [&] {
        ResponseHandle<void> copy = slot;
        slot = ResponseHandle<void>();  // the slot no longer holds it; the copy and `first` do
        return unshare(copy.get().error());
    }();
    EXPECT_EQ(plain.kind(), CameraError::Kind::NotConnected);
    EXPECT_EQ(plain.message(), "driver is not connected");
}

TEST(ControlPort, RulesBreakingRequestsFailAtOnceAndSendNothing) {
    Harness h("127.0.0.26");
    ControlPort& port = h.port();
    std::array<std::byte, 4> four{};
    std::array<std::byte, 8> eight{};
    const std::array<std::byte, 6> six{};
    const std::pair<std::string, std::function<CameraResult<void>()>> cases[] = {
        {"malformed packet: read address must be 4-byte aligned", [&] { return port.read(0x0A02, four); }},
        {"malformed packet: write address and length must be 4-byte aligned", [&] { return port.write(0x1000, six); }},
        {"malformed packet: write address and length must be 4-byte aligned", [&] { return port.write(0x1002, eight); }},
        {"malformed packet: address 0x100000000 beyond 32 bit", [&] { return port.read(0x100000000, four); }},
        {"malformed packet: address 0x123456789 beyond 32 bit", [&] { return port.write(0x123456789, four); }},
        // A transfer running past the top of the address space would wrap to address 0.
        {"malformed packet: address 0x100000003 beyond 32 bit", [&] { return port.read(0xFFFFFFFC, eight); }},
        {"malformed packet: address 0x100000003 beyond 32 bit", [&] { return port.write(0xFFFFFFFC, eight); }},
    };
    for (const auto& [expected, call] : cases) {
        auto result = call();
        ASSERT_FALSE(result) << expected;
        EXPECT_EQ(result.error().message(), expected);
    }
    EXPECT_EQ(outcome(port.read_memory(0x0A01, 4)), "malformed packet: read address must be 4-byte aligned");
    EXPECT_EQ(h.device.commands().size(), 0u);
}

TEST(ControlPort, FourAlignedBytesUseRegistersEverythingElseMemory) {
    ScopedCapture capture;
    Harness h("127.0.0.27");
    h.device.set_register(0x0934, 0x12345678);
    h.device.set_memory(0x0000, hex_bytes("01 02 03 04 05 06 07 08"));
    std::array<std::byte, 4> reg{};
    ASSERT_TRUE(h.port().read(0x0934, reg));
    EXPECT_EQ(to_vec(reg), hex_bytes("12 34 56 78"));  // wire order
    std::array<std::byte, 8> mem{};
    ASSERT_TRUE(h.port().read(0x0000, mem));
    EXPECT_EQ(to_vec(mem), hex_bytes("01 02 03 04 05 06 07 08"));
    ASSERT_TRUE(h.port().write(0x0100, hex_bytes("CA FE BA BE")));
    ASSERT_TRUE(h.port().write(0x0200, hex_bytes("01 02 03 04 05 06 07 08")));
    EXPECT_EQ(h.device.get_register(0x0100), 0xCAFEBABEu);
    EXPECT_EQ(h.device.memory(0x0200, 8), hex_bytes("01 02 03 04 05 06 07 08"));

    std::vector<std::uint16_t> codes;
    for (auto& r : h.device.commands()) codes.push_back(r.parsed->code);
    EXPECT_EQ(codes, (std::vector<std::uint16_t>{0x0080, 0x0084, 0x0082, 0x0086}));
    EXPECT_EQ(h.device.commands()[1].memory_request(), (std::pair<std::uint32_t, std::uint32_t>{0, 8}));

    std::vector<std::string> writes;
    for (auto& e : capture->snapshot())
        if (e.target == "korvalite::gige") writes.push_back(e.message);
    EXPECT_EQ(writes, (std::vector<std::string>{"write register 0x0100 := 0xcafebabe", "write memory 0x0200 (8 bytes)"}));
}

TEST(ControlPort, CallerWaitIsOneUnitPerWhole512BytesPlusOne) {
    EXPECT_EQ(operation_wait_timeout(500ms, 4), 3000ms);
    EXPECT_EQ(operation_wait_timeout(20ms, 0), 520ms);

    // A worker that would wait far longer than the caller: the caller's own wait ends first.
    ScriptedDevice device("127.0.0.28");
    device.set_script([](const Received&) { return std::vector<Reply>{}; });
    auto [sender, receiver] = unbounded<ToWorker>();
    auto worker = spawn(std::move(receiver), std::make_shared<Shared>(), worker_settings(device, {.gvcp_timeout = 10s})).value();
    ControlPort port(sender, WorkerView{worker.thread.alive_flag(), worker.thread.waker()}, 40ms);
    const std::pair<std::size_t, int> units[] = {{8, 1}, {511, 1}, {512, 2}, {1024, 3}};
    for (auto [length, n] : units) EXPECT_EQ(port.memory_wait(length), 40ms * n) << length;

    std::vector<std::byte> buffer(1024);
    const auto start = std::chrono::steady_clock::now();
    auto result = port.read(0x1000, buffer);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "timed out waiting for acknowledge");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 120ms);
}

TEST(ControlPort, EverySubmissionAfterTheWorkerEndedIsNotConnected) {
    Harness h("127.0.0.29");
    ControlPort clone = h.port();
    ASSERT_TRUE(clone.request_shutdown());
    ASSERT_TRUE(eventually([&] { return !clone.is_worker_alive(); }));
    // The worker's last packet, the privilege release, has arrived.
    ASSERT_TRUE(h.device.wait_until([](auto& received) { return !received.empty(); }));
    const std::size_t before = h.device.received().size();
    ASSERT_EQ(before, 1u);

    const std::string expected = "driver is not connected";
    EXPECT_EQ(outcome(clone.read_register(0)), expected);
    EXPECT_EQ(outcome(clone.read_registers({0, 4})), expected);
    EXPECT_EQ(outcome(clone.write_register(0, 1)), expected);
    EXPECT_EQ(outcome(clone.read_memory(0, 8)), expected);
    EXPECT_EQ(outcome(clone.write_memory(0, proto::ByteVec(8))), expected);
    std::array<std::byte, 4> four{};
    EXPECT_EQ(h.port().read(0, four).error().message(), expected);
    EXPECT_FALSE(clone.subscribe(bounded<proto::GvcpEvent>(1).first));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(h.device.received().size(), before);
}

TEST(LinkStats, DebugFormListsEveryCounterInOrder) {
    LinkStats stats{12, 12, 0, 0, 1, 0, 9, 0, 0};
    EXPECT_EQ(debug_string(stats), "LinkStats { commands: 12, acks: 12, retries: 0, timeouts: 0, naks: 1, "
                                   "pending_acks: 0, heartbeats: 9, events: 0, unsolicited: 0 }");
}
