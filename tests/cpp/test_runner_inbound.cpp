// What the control worker makes of what the device sends: wrong, short and refused
// acknowledges, junk around a transaction, and event commands.
#include <gtest/gtest.h>

#include "capture_sink.hpp"
#include "worker_harness.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

using Replies = std::optional<std::vector<Reply>>;

proto::ByteVec words(std::size_t count) { return proto::ByteVec(4 * count, std::byte{0x11}); }

}  // namespace

TEST(ControlWorkerInbound, AcknowledgesThatDoNotFitTheRequestFailIt) {
    using Submit = std::function<std::string(ControlPort&)>;
    const Submit read_one = [](ControlPort& p) { return outcome(p.read_register(0x100)); };
    const Submit read_three = [](ControlPort& p) { return outcome(p.read_registers({0x100, 0x104, 0x108})); };
    const Submit write_one = [](ControlPort& p) { return outcome(p.write_register(0x100, 1)); };
    const Submit read_mem = [](ControlPort& p) { return outcome(p.read_memory(0x1000, 8)); };
    const Submit write_mem = [](ControlPort& p) { return outcome(p.write_memory(0x1000, words(2))); };
    using Make = std::function<proto::ByteVec(const Received&)>;
    const auto with = [](std::uint16_t code, std::size_t payload) -> Make {
        return [=](const Received& r) { return ScriptedDevice::ack(r, code, proto::ByteVec(payload)); };
    };
    const auto refuse = [](std::uint16_t status) -> Make {
        return [=](const Received& r) { return ScriptedDevice::nak(r, status); };
    };
    struct Case {
        Submit submit;
        Make reply;
        std::string expected;
        std::uint64_t naks;
    };
    const std::vector<Case> cases = {
        {read_one, with(0x0083, 4), "malformed packet: expected ack 0x0081, got 0x0083", 0},
        {read_one, with(0x0081, 0), "malformed packet: empty read register ack", 0},
        {read_three, with(0x0081, 8), "malformed packet: read register ack carried 2 values, expected 3", 0},
        {read_three, with(0x0081, 14), "ok", 0},  // three whole values; the trailing 2 bytes are ignored
        {read_mem, with(0x0085, 2), "malformed packet: short read memory ack", 0},
        {read_mem, with(0x0085, 4), "malformed packet: empty read memory ack", 0},
        {write_one, refuse(0x8006), "device answered command 0x0082 with access denied (0x8006)", 1},
        {read_one, refuse(0x8003), "device answered command 0x0080 with invalid address (0x8003)", 1},
        {read_three, refuse(0x8FFF), "device answered command 0x0080 with generic error (0x8fff)", 1},
        {read_mem, refuse(0x8005), "device answered command 0x0084 with bad alignment (0x8005)", 1},
        {write_mem, refuse(0x800F), "device answered command 0x0086 with status 0x800f", 1},
        {write_one, with(0x0083, 0), "ok", 0},  // a WRITEREG acknowledge's payload is not examined
        {read_one, [](const Received& r) { return proto::encode_ack(0x0100, 0x0081, r.id(), words(1)); }, "ok", 0},
    };
    Harness h("127.0.0.21");
    std::uint64_t naks = 0, answered = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        h.device.set_script([&](const Received& r) -> Replies {
            if (r.is_heartbeat()) return std::nullopt;
            return std::vector<Reply>{{c.reply(r)}};
        });
        const std::string result = c.submit(h.port());
        EXPECT_EQ(result, c.expected);
        naks += c.naks;
        ++answered;
    }
    const std::uint64_t hb = h.device.heartbeats();
    EXPECT_EQ(h.stats().naks, naks);
    EXPECT_EQ(h.stats().acks, answered + hb);
    EXPECT_EQ(h.stats().commands, answered + hb);
}

TEST(ControlWorkerInbound, JunkAroundATransactionIsDroppedAndCountedExactly) {
    ScopedCapture capture;
    Harness h("127.0.0.22", {}, "127.0.0.23");
    h.device.set_register(0x100, 0xAAAA5555);
    h.device.set_script([&](const Received& r) -> Replies {
        if (r.is_heartbeat()) return std::nullopt;
        const auto good = h.device.answer(r);
        auto wrong_id = good;
        proto::put_u16(wrong_id, 6, static_cast<std::uint16_t>(r.id() + 1));
        const auto impostor = proto::encode_ack(0, 0x0081, r.id(), words(1));
        return std::vector<Reply>{
            {proto::ByteVec(good.begin(), good.begin() + 7)},   // shorter than a header
            {proto::ByteVec(good.begin(), good.begin() + 10)},  // length says 4, 2 bytes follow
            {proto::ByteVec{}},                                 // empty datagram
            {wrong_id},                                         // well formed, no such transaction
            {impostor, Via::OtherAddress},                      // right id, wrong sender: ignored
            {good, Via::OtherPort},                             // the device's address, another port: ignored
            {good},                                             // the answer
            {good},                                             // duplicate of the final answer
        };
    });
    auto value = h.port().read_register(0x100).wait_timeout(5s);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 0xAAAA5555u);
    ASSERT_TRUE(eventually([&] { return h.stats().unsolicited == 2; }));
    const std::uint64_t hb = h.device.heartbeats();
    const auto stats = h.stats();
    EXPECT_EQ(stats.commands, 1 + hb);
    EXPECT_EQ(stats.acks, 1 + hb);
    EXPECT_EQ(stats.retries + stats.timeouts + stats.naks + stats.pending_acks + stats.events, 0u);
    std::vector<std::string> malformed;
    for (auto& m : capture->messages(log::Level::Trace))
        if (m.starts_with("malformed")) malformed.push_back(m);
    EXPECT_EQ(malformed, (std::vector<std::string>{"malformed ack (7 bytes)", "malformed ack (10 bytes)",
                                                   "malformed ack (0 bytes)"}));
    // The worker is undisturbed.
    EXPECT_EQ(outcome(h.port().read_register(0x100)), "ok");
}

TEST(ControlWorkerInbound, EventsAreAcknowledgedCountedAndOfferedToSubscribers) {
    ScopedCapture capture;
    Harness h("127.0.0.24", {}, "127.0.0.25");
    auto [events_in, events_out] = bounded<proto::GvcpEvent>(1);
    ASSERT_TRUE(h.port().subscribe(events_in));
    ASSERT_EQ(outcome(h.port().read_register(0x0A00)), "ok");  // the subscription is in place
    const net::Endpoint host = h.channel.local;

    proto::ByteVec record(20);
    proto::put_u16(record, 2, 0x9001);    // event id
    proto::put_u64(record, 8, 123456789); // timestamp
    h.device.send(proto::encode_command(0x01, 0x00C0, 0x0101, record), host);                  // acknowledged
    h.device.send(proto::encode_command(0x01, 0x00C2, 0x0102, record), host, Via::OtherPort);  // channel full
    h.device.send(proto::encode_command(0x00, 0x00C0, 0x0103, {}), host);                      // no ack asked
    h.device.send(proto::encode_command(0x01, 0x00C0, 0x0104, record), host, Via::OtherAddress);  // foreign
    h.device.send(proto::encode_command(0x01, 0x0080, 0x0105, {}), host);                      // not an event
    h.device.send(proto::ByteVec{std::byte{0x42}, std::byte{1}, std::byte{0}}, host);          // truncated

    ASSERT_TRUE(eventually([&] { return h.stats().events == 3; }));
    ASSERT_TRUE(eventually([&] {
        auto m = capture->messages(log::Level::Trace);
        return std::find(m.begin(), m.end(), "malformed inbound command") != m.end();
    }));
    EXPECT_EQ(h.stats().events, 3u);  // everything sent has been handled; the foreign one did not count
    auto event = events_out.try_recv();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->command, 0x00C0);
    EXPECT_EQ(event->event_id, 0x9001);
    EXPECT_EQ(event->timestamp, 123456789u);
    EXPECT_EQ(event->data.size(), 4u);
    EXPECT_EQ(event->payload, record);

    // Acknowledges go back to the sender's port, byte for byte (they may still be in flight).
    EXPECT_TRUE(h.device.wait_until([](const std::vector<Received>& all) {
        return std::count_if(all.begin(), all.end(), [](const Received& r) { return !r.parsed || !r.parsed->is_command; }) >= 2;
    }));
    std::vector<std::pair<Via, proto::ByteVec>> acks;
    for (auto& r : h.device.received())
        if (!r.parsed || !r.parsed->is_command) acks.emplace_back(r.at, r.raw);
    using Ack = std::pair<Via, proto::ByteVec>;
    EXPECT_EQ(acks, (std::vector<Ack>{{Via::Device, proto::encode_ack(0, 0x00C1, 0x0101)},
                                      {Via::OtherPort, proto::encode_ack(0, 0x00C3, 0x0102)}}));

    const auto traces = capture->messages(log::Level::Trace);
    for (const char* expected : {"event channel full, event dropped", "unexpected inbound command 0x0080"})
        EXPECT_NE(std::find(traces.begin(), traces.end(), expected), traces.end()) << expected;

    // A subscriber with room again gets the next event.
    h.device.send(proto::encode_command(0x01, 0x00C0, 0x0106, record), host);
    ASSERT_TRUE(eventually([&] { return events_out.size() == 1; }));
}

TEST(ControlWorkerInbound, AnEventSentAgainWithItsRequestIdIsAcknowledgedAgainButDeliveredOnce) {
    Harness h("127.0.0.34", {}, "127.0.0.35");
    auto [events_in, events_out] = bounded<proto::GvcpEvent>(8);
    ASSERT_TRUE(h.port().subscribe(events_in));
    ASSERT_EQ(outcome(h.port().read_register(0x0A00)), "ok");  // the subscription is in place
    proto::ByteVec record(16);
    for (std::uint16_t id : {0x0201, 0x0201, 0x0202, 0x0201}) {  // the second: its acknowledge was lost
        proto::put_u16(record, 6, id);                              // the block id tells them apart
        h.device.send(proto::encode_command(0x01, 0x00C0, id, record), h.channel.local);
    }
    ASSERT_TRUE(eventually([&] { return h.stats().events == 4; }));
    const auto acknowledges = [](const std::vector<Received>& all) {
        return std::count_if(all.begin(), all.end(),
                             [](const Received& r) { return r.parsed && !r.parsed->is_command; });
    };
    EXPECT_TRUE(h.device.wait_until([&](const std::vector<Received>& all) { return acknowledges(all) == 4; }));
    // Events are delivered in arrival order, each after its acknowledge: once three have come, a
    // duplicate delivered by mistake would be among them.
    std::vector<std::uint16_t> delivered;
    EXPECT_TRUE(eventually([&] {
        while (auto event = events_out.try_recv()) delivered.push_back(event->block_id);
        return delivered.size() >= 3;
    }));
    EXPECT_EQ(delivered, (std::vector<std::uint16_t>{0x0201, 0x0202, 0x0201}));
}
