// The control worker's transactions against a scripted device: request ids, retries,
// PENDING_ACK, chunking, heartbeats, loss of control and shutdown.
#include <dirent.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "capture_sink.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "worker_harness.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

using Replies = std::optional<std::vector<Reply>>;
const Replies kSilent = std::vector<Reply>{};

constexpr const char* kControlLostText = "device control was lost (heartbeat failed)";
constexpr const char* kNotConnectedText = "driver is not connected";

bool is_privilege_release(const Received& r) {
    return r.write_pairs() == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x0A00, 0}};
}

// A worker started on a channel that already holds `messages`: its first iteration takes them
// all at once, so the queue order is fixed before anything is sent.
struct PreloadedWorker {
    PreloadedWorker(const ScriptedDevice& device, WorkerOptions options, std::vector<ToWorker> messages) {
        auto [sender, receiver] = unbounded<ToWorker>();
        for (auto& m : messages) (void)sender.try_send(std::move(m));
        worker = spawn(std::move(receiver), shared, worker_settings(device, options)).value();
        port.emplace(sender, WorkerView{worker.thread.alive_flag(), worker.thread.waker()}, 1s);
        worker.thread.waker()->wake();  // no waiting out the first readiness timeout

    }
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    SpawnedWorker worker;
    std::optional<ControlPort> port;
};

std::size_t count_entries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

}  // namespace

TEST(ControlWorker, HeartbeatIntervalIsAThirdWithinTenMsAndOneSecond) {
    const std::pair<std::uint32_t, int> table[] = {{3000, 1000}, {1500, 500}, {20, 10}, {0, 10}, {600000, 1000}};
    for (auto [timeout, interval] : table) EXPECT_EQ(heartbeat_interval(timeout).count(), interval) << timeout;
}

TEST(ControlWorker, RequestIdsRunFromOneAndWrapPastFFFE) {
    Harness h("127.0.0.21", {.gvcp_timeout = 2s});
    h.device.set_register(0x100, 0xCAFE);
    constexpr std::size_t kTotal = 0xFFFE + 3;
    for (std::size_t done = 0; done < kTotal;) {
        std::vector<ResponseHandle<std::uint32_t>> batch;
        for (; done < kTotal && batch.size() < 2048; ++done) batch.push_back(h.port().read_register(0x100));
        for (auto& handle : batch) ASSERT_EQ(handle.wait_timeout(10s).value(), 0xCAFEu);
    }
    std::vector<std::uint16_t> ids;
    for (auto& r : h.device.received()) ids.push_back(r.id());
    ASSERT_GE(ids.size(), kTotal);
    EXPECT_EQ(ids.front(), 1);
    for (std::size_t i = 1; i < ids.size(); ++i)
        ASSERT_EQ(ids[i], ids[i - 1] == 0xFFFE ? 1 : ids[i - 1] + 1) << "at " << i;
}

TEST(ControlWorker, SilentDeviceGetsTheSamePacketOncePlusRetriesThenAckTimeout) {
    ScopedCapture capture;
    Harness h("127.0.0.22", {.gvcp_timeout = 20ms, .retries = 4});
    h.device.set_script([](const Received& c) { return c.is_heartbeat() ? std::nullopt : kSilent; });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(h.port().read_register(0x100)), "timed out waiting for acknowledge");
    // The worker gave up before the caller's own wait would have.
    EXPECT_LT(std::chrono::steady_clock::now() - start, h.port().wait_timeout());

    ASSERT_TRUE(eventually([&] { return h.device.commands().size() >= 5; }));
    const auto sent = h.device.commands();
    ASSERT_EQ(sent.size(), 5u);
    for (auto& r : sent) EXPECT_EQ(r.raw, sent[0].raw);
    const std::uint64_t hb = h.device.heartbeats();
    const auto stats = h.stats();
    EXPECT_EQ(stats.commands, 1 + hb);
    EXPECT_EQ(stats.retries, 4u);
    EXPECT_EQ(stats.timeouts, 1u);
    EXPECT_EQ(stats.acks, hb);

    std::vector<std::uint64_t> tries_left;
    for (auto& e : capture->snapshot()) {
        if (e.message != "ack overdue, retrying transaction") continue;
        EXPECT_EQ(e.target, "korvalite::gige::runner");
        ASSERT_EQ(e.fields.size(), 2u);
        EXPECT_EQ(std::get<std::uint64_t>(e.fields[0].value), sent[0].id());
        tries_left.push_back(std::get<std::uint64_t>(e.fields[1].value));
    }
    EXPECT_EQ(tries_left, (std::vector<std::uint64_t>{3, 2, 1, 0}));

    // The worker carries on with the next operation.
    h.device.set_script(nullptr);
    EXPECT_EQ(outcome(h.port().read_register(0x100)), "ok");
}

TEST(ControlWorker, PendingAckMovesTheDeadlineWithoutUsingATry) {
    struct Case {
        const char* name;
        std::uint8_t retries;
        std::vector<Reply> first_replies;  // later sends of the same packet get no answer
        std::string expected;
        std::size_t sends;
        std::uint64_t retried, timeouts;
        std::chrono::milliseconds min_gap;  // between the first send and the next one
    };
    std::vector<Case> cases = {
        {"final ack after the announced wait", 2, {}, "ok", 1, 0, 0, 0ms},
        {"silence after the announced wait", 1, {}, "timed out waiting for acknowledge", 2, 1, 1, 80ms},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h("127.0.0.23", {.gvcp_timeout = 30ms, .retries = c.retries});
        int seen = 0;
        const bool answer = c.expected == "ok";
        h.device.set_script([&](const Received& r) -> Replies {
            if (r.is_heartbeat()) return std::nullopt;
            if (seen++ > 0) return kSilent;
            if (answer)
                return std::vector<Reply>{{ScriptedDevice::pending(r, 400)}, {h.device.answer(r), Via::Device, 120ms}};
            return std::vector<Reply>{{ScriptedDevice::pending(r, 80)}};
        });
        EXPECT_EQ(outcome(h.port().read_register(0x100)), c.expected);
        ASSERT_TRUE(eventually([&] { return h.device.commands().size() >= c.sends; }));
        const auto sent = h.device.commands();
        ASSERT_EQ(sent.size(), c.sends);
        if (sent.size() > 1) {
            EXPECT_GE(sent[1].when - sent[0].when, c.min_gap);
        }
        const auto stats = h.stats();
        EXPECT_EQ(stats.pending_acks, 1u);
        EXPECT_EQ(stats.retries, c.retried);
        EXPECT_EQ(stats.timeouts, c.timeouts);
    }
}

TEST(ControlWorker, LateAckCompletesAndTheRetrysAckIsUnsolicited) {
    Harness h("127.0.0.24", {.gvcp_timeout = 30ms, .retries = 3});
    h.device.set_register(0x100, 0x1234);
    int seen = 0;
    // The first send goes unanswered; the retry (same id) gets the late answer and its own.
    h.device.set_script([&](const Received& r) -> Replies {
        if (r.is_heartbeat()) return std::nullopt;
        if (seen++ == 0) return kSilent;
        return std::vector<Reply>{{h.device.answer(r)}, {h.device.answer(r)}};
    });
    auto value = h.port().read_register(0x100).wait_timeout(5s);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 0x1234u);
    ASSERT_TRUE(eventually([&] { return h.stats().unsolicited == 1; }));
    const std::uint64_t hb = h.device.heartbeats();
    const auto stats = h.stats();
    EXPECT_EQ(stats.retries, 1u);
    EXPECT_EQ(stats.commands, 1 + hb);
    EXPECT_EQ(stats.acks, 1 + hb);
}

TEST(ControlWorker, MemoryTransfersAreCutInto512ByteChunks) {
    Harness h("127.0.0.25");
    proto::ByteVec pattern(1200);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = std::byte(i * 7 + 1);
    h.device.set_memory(0x1000, pattern);

    auto thousand = h.port().read_memory(0x1000, 1000).wait_timeout(5s);
    ASSERT_TRUE(thousand);
    EXPECT_EQ(*thousand, proto::ByteVec(pattern.begin(), pattern.begin() + 1000));
    auto three = h.port().read_memory(0x1000, 3).wait_timeout(5s);
    ASSERT_TRUE(three);
    EXPECT_EQ(*three, proto::ByteVec(pattern.begin(), pattern.begin() + 3));
    EXPECT_EQ(outcome(h.port().write_memory(0x3000, pattern)), "ok");
    EXPECT_EQ(h.device.memory(0x3000, pattern.size()), pattern);

    using Request = std::pair<std::uint32_t, std::uint32_t>;
    std::vector<Request> requests;
    for (auto& r : h.device.commands()) requests.push_back(r.memory_request());
    EXPECT_EQ(requests, (std::vector<Request>{
                            {0x1000, 512}, {0x1200, 488},                  // 1000 bytes read
                            {0x1000, 4},                                   // 3 bytes: rounded up to a word
                            {0x3000, 512}, {0x3200, 512}, {0x3400, 176}})); // 1200 bytes written
    EXPECT_EQ(h.stats().commands, 6 + h.device.heartbeats());
}

TEST(ControlWorker, ChunkedTransferKeepsTheChannelExceptForHeartbeats) {
    ScriptedDevice device("127.0.0.26");
    // Each chunk is answered late, so heartbeats (every 10 ms) come due in the middle.
    device.set_script([&](const Received& r) -> Replies {
        if (!r.is_command(proto::code::kReadMemCmd)) return std::nullopt;
        return std::vector<Reply>{{device.answer(r), Via::Device, 25ms}};
    });
    ResponseHandle<proto::ByteVec> read;
    ResponseHandle<void> write;
    PreloadedWorker w(device, {.gvcp_timeout = 500ms, .heartbeat_timeout_ms = 30},
                      {to_worker::ReadMemory{0x1000, 1500, read}, to_worker::WriteRegisters{{{0x100, 5}}, write}});
    EXPECT_EQ(outcome(read), "ok");
    EXPECT_EQ(outcome(write), "ok");

    std::string order;
    for (auto& r : device.received())
        order += r.is_heartbeat() ? 'H' : r.is_command(proto::code::kReadMemCmd) ? 'M' : r.is_command(proto::code::kWriteRegCmd) ? 'W' : '?';
    const auto last_chunk = order.rfind('M');
    EXPECT_EQ(order.find('W'), order.find_first_not_of("MH")) << order;  // nothing but heartbeats before the write
    EXPECT_GT(order.find('W'), last_chunk) << order;
    EXPECT_NE(order.substr(0, last_chunk).find('H'), std::string::npos) << order;  // a heartbeat went between chunks
}

TEST(ControlWorker, LosingControlFailsEverythingPendingAndSendsNoRelease) {
    struct Case {
        const char* name;
        std::function<Replies(const Received&)> heartbeat;  // the device's answer to a heartbeat
        std::uint32_t ccp;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"refused", [](const Received& r) -> Replies { return std::vector<Reply>{{ScriptedDevice::nak(r, 0x8006)}}; },
         2, "heartbeat rejected with access denied (0x8006), control lost"},
        {"control bit clear", nullptr, 1, "device control was lost (CCP cleared)"},
        {"no answer", [](const Received&) { return kSilent; }, 2, "heartbeat timed out, considering control lost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedCapture capture;
        ScriptedDevice device("127.0.0.27");
        device.set_register(0x0A00, c.ccp);
        // The first read is answered late, so the first heartbeat is due before the others go.
        device.set_script([&](const Received& r) -> Replies {
            if (r.is_heartbeat()) return c.heartbeat ? c.heartbeat(r) : std::nullopt;
            if (r.read_addresses() == std::vector<std::uint32_t>{0x100})
                return std::vector<Reply>{{device.answer(r), Via::Device, 60ms}};
            return std::nullopt;
        });
        ResponseHandle<std::uint32_t> first, second;
        ResponseHandle<void> third;
        PreloadedWorker w(device, {.gvcp_timeout = 100ms, .retries = 1, .heartbeat_timeout_ms = 60},
                          {to_worker::ReadRegister{0x100, first}, to_worker::ReadRegister{0x104, second},
                           to_worker::WriteRegisters{{{0x108, 1}}, third}});
        EXPECT_EQ(outcome(first), "ok");
        EXPECT_EQ(outcome(second), kControlLostText);
        EXPECT_EQ(outcome(third), kControlLostText);
        ASSERT_TRUE(eventually([&] { return !w.worker.thread.is_alive(); }));
        EXPECT_TRUE(w.shared->control_lost.load());
        EXPECT_EQ(outcome(w.port->read_register(0x100)), kNotConnectedText);
        EXPECT_EQ(capture->messages(log::Level::Warn), std::vector<std::string>{c.warning});
        for (auto& r : device.received()) EXPECT_FALSE(is_privilege_release(r));
        const auto debug = capture->messages(log::Level::Debug);
        ASSERT_EQ(debug, std::vector<std::string>{"gvcp worker shutting down"});
    }
}

TEST(ControlWorker, ShutdownBehindTwoQueuedReadsFailsThemAndGivesControlBack) {
    ScriptedDevice device("127.0.0.28");
    ResponseHandle<std::uint32_t> first, second;
    PreloadedWorker w(device, {},
                      {to_worker::ReadRegister{0x100, first}, to_worker::ReadRegister{0x104, second},
                       to_worker::Shutdown{}});
    EXPECT_EQ(outcome(first), kNotConnectedText);
    EXPECT_EQ(outcome(second), kNotConnectedText);
    ASSERT_TRUE(device.wait_until([](auto& received) { return !received.empty(); }));
    ASSERT_TRUE(eventually([&] { return !w.worker.thread.is_alive(); }));
    const auto received = device.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(is_privilege_release(received[0]));
    EXPECT_EQ(received[0].id(), 1);
    EXPECT_EQ(w.shared->stats(), LinkStats{});
    EXPECT_FALSE(w.shared->control_lost.load());
}

TEST(ControlWorker, DroppingTheChannelGivesControlBackAndLeavesNoThreadOrDescriptor) {
    ScriptedDevice device("127.0.0.29");
    const std::size_t fds = count_entries("/proc/self/fd");
    const std::size_t threads = count_entries("/proc/self/task");
    for (std::size_t round = 1; round <= 5; ++round) {
        std::shared_ptr<const std::atomic<bool>> alive;
        {
            auto channel = start_control_channel(worker_settings(device)).value();
            alive = channel.worker.alive_flag();
            EXPECT_EQ(outcome(channel.port.read_register(0x0A00)), "ok");
        }
        EXPECT_FALSE(alive->load());
        // Each round: the read, then the privilege release on the way out.
        ASSERT_TRUE(device.wait_until([&](auto& received) { return received.size() >= 2 * round; }));
        EXPECT_TRUE(is_privilege_release(device.received().back()));
    }
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
}

TEST(ControlWorker, SpawnReportsABindFailureWithTheAddress) {
    auto taken = net::UdpSocket::bind({*net::Ipv4Address::parse("127.0.0.20"), 0}).value();
    const net::Endpoint endpoint = taken.local_endpoint().value();
    WorkerSettings settings;
    settings.local = endpoint;
    auto [sender, receiver] = unbounded<ToWorker>();
    auto spawned = spawn(std::move(receiver), std::make_shared<Shared>(), settings);
    ASSERT_FALSE(spawned);
    EXPECT_EQ(spawned.error().message(),
              "worker thread failed to start: bind control socket " + endpoint.to_string() + ": Address already in use");
}

TEST(ControlWorker, ManyThreadsThroughClonesEachGetTheirOwnResults) {
    Harness h("127.0.0.21", {.gvcp_timeout = 2s});
    constexpr int kThreads = 8, kRounds = 60;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kRounds; ++i) h.device.set_register(0x4000 + 4 * (t * kRounds + i), (t << 16) | i);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t, port = h.port()]() mutable {
            for (int i = 0; i < kRounds; ++i) {
                const std::uint32_t address = 0x4000 + 4 * (t * kRounds + i);
                CameraResult<std::uint32_t> value;
                if (i % 2 == 0) {
                    value = wait_plain(port.read_register(address), 5s);
                } else if (std::array<std::byte, 4> bytes{}; port.read(address, bytes)) {
                    value = proto::u32_at(bytes, 0);  // the PortIo way: wire order in the buffer
                } else {
                    value = std::unexpected(CameraError::ack_timeout());
                }
                if (!value || *value != static_cast<std::uint32_t>((t << 16) | i)) ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    const auto stats = h.stats();
    EXPECT_EQ(stats.commands, h.device.received().size());
    EXPECT_EQ(stats.acks, stats.commands);
    EXPECT_EQ(stats.commands, kThreads * kRounds + h.device.heartbeats());
}

TEST(ControlWorker, AFailedSendFailsOnlyThatOperation) {
    // Port 0 cannot be sent to: every send fails at once, and nothing leaves the host.
    WorkerSettings settings;
    settings.device = {*net::Ipv4Address::parse("127.0.0.22"), 0};
    settings.local = net::Endpoint{*net::Ipv4Address::parse("127.0.0.20"), 0};
    auto channel = start_control_channel(settings).value();
    EXPECT_EQ(outcome(channel.port.read_register(0x100)), "io error: Invalid argument");
    EXPECT_EQ(outcome(channel.port.write_memory(0x100, proto::ByteVec(8))), "io error: Invalid argument");
    EXPECT_TRUE(channel.port.is_worker_alive());
    EXPECT_EQ(channel.shared->stats(), LinkStats{});
}

TEST(ControlWorker, HeartbeatsGoOnWhileADeviceKeepsATransactionPending) {
    // One PENDING_ACK never reaches the heartbeat timeout: it stops a heartbeat interval short.
    const std::pair<std::uint32_t, int> caps[] = {{3000, 2000}, {600, 400}, {30000, 5000}, {100, 67}, {0, 1}};
    for (auto [timeout, cap] : caps) EXPECT_EQ(pending_ack_cap(timeout).count(), cap) << timeout;

    // Heartbeats every 200 ms; the device keeps a read pending for about a second with a
    // PENDING_ACK every 150 ms, then answers it.
    Harness h("127.0.0.36", {.gvcp_timeout = 500ms, .retries = 2, .heartbeat_timeout_ms = 600});
    h.device.set_register(0x100, 0xBEEF);
    std::mutex mutex;
    std::optional<Received> read;
    h.device.set_script([&](const Received& r) -> Replies {
        if (!r.is_command(proto::code::kReadRegCmd) || r.read_addresses() != std::vector<std::uint32_t>{0x100})
            return std::nullopt;
        std::lock_guard lock(mutex);
        if (!read) read = r;
        return std::vector<Reply>{{ScriptedDevice::pending(r, 1000)}};
    });
    auto handle = h.port().read_register(0x100);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return read.has_value();
    }));
    const Received command = [&] {
        std::lock_guard lock(mutex);
        return *read;
    }();
    for (int i = 0; i < 7; ++i) {
        std::this_thread::sleep_for(150ms);
        h.device.send(ScriptedDevice::pending(command, 1000), h.channel.local);
    }
    const auto answered_at = std::chrono::steady_clock::now();
    h.device.send(h.device.answer(command), h.channel.local);
    auto value = handle.wait_timeout(5s);
    ASSERT_TRUE(value) << value.error()->message();
    EXPECT_EQ(*value, 0xBEEFu);
    std::size_t heartbeats = 0;
    for (const auto& r : h.device.received())
        if (r.is_heartbeat() && r.when > command.when && r.when < answered_at) ++heartbeats;
    EXPECT_GE(heartbeats, 3u);  // about five fit into the second
    EXPECT_FALSE(h.channel.shared->control_lost.load());
}
