// Opening stream channels against a scripted device on loopback: register programming, packet
// size negotiation by fire test, frames through subscriptions, closing.
#include <gtest/gtest.h>

#include <filesystem>

#include "capture_sink.hpp"
#include "gvsp_packets.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/packet_size.hpp"
#include "korvalite/device/packet_size_memo.hpp"
#include "korvalite/device/stream_setup.hpp"
#include "scripted_device.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace reg = gige::proto::reg;
namespace code = gige::proto::code;
using gige::stream::StreamOptions;

namespace {

// Devices here take 127.0.0.90-98; the host binds 127.0.0.99.
constexpr const char* kHostIp = "127.0.0.99";

device::CameraSettings settings_for(const ScriptedDevice& device, bool bind_host = true) {
    device::CameraSettings s;
    s.device = device.endpoint();
    if (bind_host) s.local_ip = net::Ipv4Address::parse(kHostIp);
    s.gvcp_timeout = 100ms;
    s.retries = 1;
    return s;
}

StreamOptions options_with(std::optional<std::uint16_t> packet_size, std::uint64_t payload = 4000) {
    StreamOptions o;
    o.payload_size = payload;
    o.packet_size = packet_size;
    return o;
}

// The (address, value) pairs of every WRITEREG the device received, in order.
std::vector<std::pair<std::uint32_t, std::uint32_t>> register_writes(const ScriptedDevice& device) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const auto& c : device.commands())
        for (auto pair : c.write_pairs()) out.push_back(pair);
    return out;
}

// The sizes of the fire-test probes written to `scps`, in order.
std::vector<std::uint32_t> probes_written(const ScriptedDevice& device, std::uint32_t scps) {
    std::vector<std::uint32_t> out;
    for (auto [address, value] : register_writes(device))
        if (address == scps && (value & reg::kScpsFireTestPacket)) out.push_back(value & reg::kScpsPacketSizeMask);
    return out;
}

// Answers fire-test writes to channel 0 by sending a test datagram of `sent(size)` bytes on the
// path (IP and UDP headers included) to the stream destination written before; nothing when
// `sent` gives nullopt.
void fire_tests(ScriptedDevice& device, std::function<std::optional<std::uint32_t>(std::uint32_t)> sent) {
    const std::uint32_t base = reg::stream_channel_base(0);
    device.set_script([&device, base, sent](const Received& r) -> std::optional<std::vector<Reply>> {
        const auto pairs = r.write_pairs();
        if (pairs.size() != 1 || pairs[0].first != base + reg::kScpsOffset || !(pairs[0].second & reg::kScpsFireTestPacket))
            return std::nullopt;
        auto ack = device.answer(r);
        if (auto size = sent(pairs[0].second & reg::kScpsPacketSizeMask)) {
            const net::Endpoint to{{device.get_register(base + reg::kScdaOffset)},
                                   static_cast<std::uint16_t>(device.get_register(base + reg::kScpOffset))};
            device.send(ByteVec(*size - 28), to);
        }
        return std::vector<Reply>{{ack}};
    });
}

std::size_t count_entries(const char* dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

}  // namespace

TEST(OpenStream, ReceiveBufferRequest) {
    const std::tuple<std::uint64_t, std::size_t, std::size_t> cases[] = {
        // payload, receive_buffer, request: four frames within 1 MiB .. 64 MiB, or the given size
        {1'000'000, 0, 4'000'000},
        {100, 0, 1'048'576},
        {20'000'000, 0, 67'108'864},
        {~std::uint64_t{0}, 0, 67'108'864},
        {100, 5000, 5000},
    };
    for (auto [payload, given, request] : cases) {
        StreamOptions o;
        o.payload_size = payload;
        o.receive_buffer = given;
        EXPECT_EQ(device::receive_buffer_request(o), request) << payload << " " << given;
    }
}

TEST(OpenStream, ReceiveBufferCappedAtTheSystemLimit) {
    struct Case {
        std::uint64_t payload;
        std::size_t given;
        std::optional<std::size_t> limit;
        std::size_t request;
        bool capped;
    };
    const Case cases[] = {
        {1'000'000, 0, 4'194'304, 4'000'000, false},
        {1'048'576, 0, 4'194'304, 4'194'304, false},  // exactly the limit
        {2'000'000, 0, 4'194'304, 4'194'304, true},
        {2'000'000, 0, std::nullopt, 8'000'000, false},  // limit unknown
        {100, 9'000'000, 4'194'304, 4'194'304, true},    // a given size is capped too
    };
    for (const Case& c : cases) {
        StreamOptions o;
        o.payload_size = c.payload;
        o.receive_buffer = c.given;
        const device::ReceiveBufferPlan plan = device::plan_receive_buffer(o, c.limit);
        EXPECT_EQ(plan.wanted, device::receive_buffer_request(o)) << c.payload;
        EXPECT_EQ(plan.request, c.request) << c.payload;
        EXPECT_EQ(plan.capped(), c.capped) << c.payload;
    }
}

TEST(PacketSizeMemo, WritesTouchingAPacketSizeRegisterForgetItsChannel) {
    const std::tuple<std::uint64_t, std::uint64_t, bool, bool> cases[] = {
        // address, length, channel 0 kept, channel 1 kept
        {0x0D04, 4, false, true},
        {0x0D44, 4, true, false},
        {0x0D00, 4, true, true},   // the port register just before
        {0x0D08, 4, true, true},   // the delay register just after
        {0x0D00, 8, false, true},  // a memory write across it
        {0x0D07, 1, false, true},  // its last byte
        {0x0D00, 0x80, false, false},
    };
    for (auto [address, length, kept0, kept1] : cases) {
        device::PacketSizeMemo memo;
        memo.remember(0, 8192);
        memo.remember(1, 1500);
        memo.forget_written(address, length);
        EXPECT_EQ(memo.find(0).has_value(), kept0) << std::hex << address << " " << length;
        EXPECT_EQ(memo.find(1).has_value(), kept1) << std::hex << address << " " << length;
    }
}

TEST(PacketSizeSearch, ProbeSequencesAndResults) {
    struct Case {
        std::uint32_t path;  // largest size the path passes
        bool capped;         // asked for more, the device sends the most that passes
        std::vector<std::uint32_t> probes;
        std::uint32_t result;
    };
    const Case cases[] = {
        {9152, false, {9152}, 9152},
        {9000, false, {9152, 1488, 5312, 7232, 8192, 8672, 8912, 9024, 8960, 8992, 9008}, 8992},
        {1000, false, {9152, 1488, 1008, 560, 4848, 2704, 1632, 1088, 816, 944, 1008, 976, 992}, 992},
        // The largest probe passes, but only with a smaller packet: what arrived is used.
        {9000, true, {9152}, 9000},
    };
    for (const auto& c : cases) {
        std::vector<std::uint32_t> probes;
        const auto result = device::search_packet_size([&](std::uint32_t s) -> std::optional<std::uint32_t> {
            probes.push_back(s);
            if (s <= c.path) return s;
            return c.capped ? std::optional(c.path) : std::nullopt;
        });
        EXPECT_EQ(probes, c.probes) << c.path;
        EXPECT_EQ(result, c.result) << c.path;
    }
}

TEST(OpenStream, NegotiatesThePacketSizeThePathPasses) {
    // The path passes 9000 bytes, not 9152; the second device sends 4 bytes less than asked.
    for (std::uint32_t shortfall : {0u, 4u}) {
        ScriptedDevice device("127.0.0.90");
        fire_tests(device, [&](std::uint32_t s) -> std::optional<std::uint32_t> {
            if (s > 9000) return std::nullopt;
            return s - shortfall;
        });
        device::GigECamera camera(settings_for(device));
        ASSERT_TRUE(camera.connect());
        ScopedCapture capture;
        auto stream = camera.open_stream(options_with(std::nullopt));
        ASSERT_TRUE(stream) << stream.error().message();

        const std::uint32_t scps = reg::stream_channel_base(0) + reg::kScpsOffset;
        const std::uint32_t largest_seen = 8992 - shortfall;
        EXPECT_EQ(stream->packet_size(), largest_seen);
        EXPECT_EQ(device.get_register(scps), largest_seen);  // no flag bits in the final write
        EXPECT_GE(stream->packet_size(), 9000u - 16);
        const auto debug = capture->messages(log::Level::Debug);
        EXPECT_NE(std::find(debug.begin(), debug.end(), "negotiated stream packet size " + std::to_string(largest_seen)),
                  debug.end());
    }
}

TEST(OpenStream, FallsBackTo1500WhenTheFireTestIsRefused) {
    enum class Refusal { Nak, NoPacket };
    for (auto refusal : {Refusal::Nak, Refusal::NoPacket}) {
        ScriptedDevice device("127.0.0.91");
        if (refusal == Refusal::Nak) {
            device.set_script([](const Received& r) -> std::optional<std::vector<Reply>> {
                for (auto [address, value] : r.write_pairs())
                    if (value & reg::kScpsFireTestPacket)
                        return std::vector<Reply>{{ScriptedDevice::nak(r, gige::proto::status::kInvalidParameter)}};
                return std::nullopt;
            });
        } else {
            fire_tests(device, [](std::uint32_t) { return std::nullopt; });
        }
        device::GigECamera camera(settings_for(device));
        ASSERT_TRUE(camera.connect());
        ScopedCapture capture;
        auto stream = camera.open_stream(options_with(std::nullopt));
        ASSERT_TRUE(stream) << stream.error().message();
        const std::uint32_t scps = reg::stream_channel_base(0) + reg::kScpsOffset;
        EXPECT_EQ(probes_written(device, scps), (std::vector<std::uint32_t>{9152, 1488, 1008, 560}));
        EXPECT_EQ(device.get_register(scps), 1500u);
        EXPECT_EQ(stream->packet_size(), 1500);
        EXPECT_EQ(capture->messages(log::Level::Warn),
                  std::vector<std::string>{"packet size fire-test unsupported, falling back to 1500"});
    }
}

TEST(OpenStream, Channel1RegistersInOrderAndStopOnClose) {
    ScriptedDevice device("127.0.0.92");
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    const auto before = register_writes(device).size();
    ScopedCapture capture;
    auto o = options_with(1500);
    o.channel = 1;
    o.packet_delay = 250;
    auto stream = camera.open_stream(o);
    ASSERT_TRUE(stream) << stream.error().message();
    const net::Endpoint local = stream->local_address();
    EXPECT_EQ(local.address.to_string(), kHostIp);

    auto writes = register_writes(device);
    writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(before));
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0x0D58, local.address.value}, {0x0D40, local.port}, {0x0D44, 1500}, {0x0D48, 250}};
    EXPECT_EQ(writes, expected);
    const auto last = device.commands().back();
    EXPECT_EQ(last.read_addresses(), (std::vector<std::uint32_t>{0x093C, 0x0940}));

    auto events = capture->snapshot();
    auto opened = std::find_if(events.begin(), events.end(), [](auto& e) { return e.message == "stream channel opened"; });
    ASSERT_NE(opened, events.end());
    EXPECT_EQ(opened->target, "korvalite::gige");
    ASSERT_EQ(opened->fields.size(), 3u);
    EXPECT_EQ(opened->fields[0].value, log::FieldValue(std::uint64_t{1}));
    EXPECT_EQ(opened->fields[1].value, log::FieldValue(local.to_string()));
    EXPECT_EQ(opened->fields[2].value, log::FieldValue(std::uint64_t{1500}));

    stream->close();
    EXPECT_EQ(register_writes(device).back(), (std::pair<std::uint32_t, std::uint32_t>{0x0D40, 0}));
    EXPECT_TRUE(stream->is_closed());
    const auto count = device.commands().size();
    stream->close();  // once only
    { auto dropped = std::move(*stream); }
    EXPECT_EQ(device.commands().size(), count);
}

TEST(OpenStream, WhereTheStreamSocketBinds) {
    ScriptedDevice device("127.0.0.93");
    struct Case {
        bool bind_host;                            // the control socket binds 127.0.0.99 (else any address)
        std::optional<const char*> local_addr;     // the options' local_addr
        std::optional<const char*> expected;       // the address bound; none: the route's, some loopback address
    };
    const Case cases[] = {{true, std::nullopt, kHostIp},
                          {true, "127.0.0.98", "127.0.0.98"},
                          {false, std::nullopt, {}},
                          {true, "0.0.0.0", "0.0.0.0"}};
    for (const auto& c : cases) {
        ScopedCapture capture;
        device::GigECamera camera(settings_for(device, c.bind_host));
        ASSERT_TRUE(camera.connect());
        auto o = options_with(1500);
        if (c.local_addr) o.local_addr = net::Endpoint{*net::Ipv4Address::parse(*c.local_addr), 0};
        auto stream = camera.open_stream(o);
        ASSERT_TRUE(stream) << stream.error().message();
        const auto bound = stream->local_address();
        if (c.expected) EXPECT_EQ(bound.address.to_string(), *c.expected);
        else EXPECT_TRUE(bound.address.is_loopback()) << bound.to_string();
        EXPECT_NE(bound.port, 0);
        EXPECT_EQ(device.get_register(0x0D18), bound.address.value);
        EXPECT_EQ(device.get_register(0x0D00), bound.port);
        const auto debug = capture->messages(log::Level::Debug);
        const bool unresolved =
            std::find(debug.begin(), debug.end(),
                      "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP requester)") != debug.end();
        EXPECT_EQ(unresolved, bound.address == net::Ipv4Address::any());
        camera.disconnect(500ms);
    }
}

TEST(OpenStream, RefusesWithoutPayloadSizeOrConnection) {
    ScriptedDevice device("127.0.0.94");
    device::GigECamera camera(settings_for(device));
    for (bool connected : {false, true}) {
        if (connected) {
            ASSERT_TRUE(camera.connect());
        }
        for (std::optional<std::uint64_t> payload : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0}}) {
            StreamOptions o;
            o.payload_size = payload;
            auto stream = camera.open_stream(o);
            ASSERT_FALSE(stream);
            EXPECT_EQ(stream.error().message(), "malformed packet: payload_size must be set");
        }
    }
    camera.disconnect(500ms);
    const auto sent = device.commands().size();
    auto stream = camera.open_stream(options_with(1500));
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().message(), "driver is not connected");
    EXPECT_EQ(device.commands().size(), sent);
}

TEST(OpenStream, FramesStreamThroughSubscriptionsWithDeviceTimestamps) {
    ScriptedDevice device("127.0.0.96");
    device.set_register(reg::kTickFrequencyHigh, 0);
    device.set_register(reg::kTickFrequencyLow, 1000);
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    auto stream = camera.open_stream(options_with(1500, 4000));
    ASSERT_TRUE(stream) << stream.error().message();
    EXPECT_EQ(stream->stats(), gige::stream::StreamStats{});
    auto first = stream->subscribe(4);
    auto second = stream->subscribe(4);

    auto packets = gvsp_frame(1, 4000, 1464);
    packets[0] = gvsp_leader(1, 1, 5000);  // 5000 ticks at 1000 per second
    for (const auto& p : packets) device.send(p, stream->local_address());
    for (auto* subscription : {&first, &second}) {
        auto frame = subscription->wait_for(5s);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->status(), gige::stream::FrameStatus::Complete);
        EXPECT_EQ(frame->data().size(), 4000u);
        EXPECT_EQ(frame->data()[3999], pattern_byte(1, 3999));
        EXPECT_EQ(frame->timestamp_ns(), 5'000'000'000u);
    }

    // A frame left open is delivered as Aborted when the channel closes; then the subscription ends.
    device.send(gvsp_leader(2), stream->local_address());
    ASSERT_TRUE(eventually([&] { return stream->stats().packets == packets.size() + 1; }));
    stream->close();
    auto aborted = first.try_recv();
    ASSERT_NE(aborted, nullptr);
    EXPECT_EQ(aborted->status(), gige::stream::FrameStatus::Aborted);
    EXPECT_TRUE(first.has_ended());
    EXPECT_TRUE(stream->subscribe(4).has_ended());
    EXPECT_EQ(stream->stats().completed_frames, 1u);  // the counters outlive the worker
    EXPECT_EQ(stream->stats().aborted_frames, 1u);
}

TEST(OpenStream, ResendFollowsTheCapabilityBitAndTheOption) {
    const std::tuple<std::uint32_t, bool, bool> cases[] = {
        // capability, no_resend, resend requested
        {0x4, false, true},
        {0x4, true, false},
        {0x0, false, false},
    };
    for (auto [capability, no_resend, requested] : cases) {
        ScriptedDevice device("127.0.0.97");
        device.set_register(reg::kGvcpCapability, capability);
        device::GigECamera camera(settings_for(device));
        ASSERT_TRUE(camera.connect());
        auto o = options_with(1500, 4 * 1464);
        o.no_resend = no_resend;
        auto stream = camera.open_stream(o);
        ASSERT_TRUE(stream) << stream.error().message();
        auto frames = stream->subscribe(4);
        for (const auto& p : gvsp_frame(1, 4 * 1464, 1464, {2})) device.send(p, stream->local_address());
        auto frame = frames.wait_for(5s);  // given up after the frame time-out
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->status(), gige::stream::FrameStatus::Timeout);
        const auto received = device.received();
        const bool resend_seen = std::any_of(received.begin(), received.end(), [](const Received& r) {
            auto request = decode_resend(r.raw);
            return request && request->block_id == 1 && request->first == 2 && request->last == 2;
        });
        EXPECT_EQ(resend_seen, requested) << capability << " " << no_resend;
    }
}

TEST(OpenStream, NoThreadOrSocketOutlivesItsStream) {
    ScriptedDevice device("127.0.0.98");
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    const auto threads = count_entries("/proc/self/task");
    const auto fds = count_entries("/proc/self/fd");
    for (int i = 0; i < 50; ++i) {
        auto stream = camera.open_stream(options_with(1500));
        ASSERT_TRUE(stream) << i << ": " << stream.error().message();
        auto frames = stream->subscribe(2);
        if (i % 2 == 0) stream->close();  // the other half close on drop
    }
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
}
