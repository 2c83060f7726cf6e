// The stream runner driven by hand: crafted datagrams and a hand-set clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "capture_sink.hpp"
#include "gvsp_packets.hpp"
#include "korvalite/gige/stream/detail/stream_runner.hpp"

using namespace korvalite;
using namespace korvalite::gige::stream;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace pf = korvalite::gige::proto::packet_format;

namespace {

constexpr std::uint32_t kPacketSize = 100;  // 64 data bytes per payload packet
constexpr std::size_t kPer = 64;
constexpr std::uint64_t kPayload = 640;     // 10 payload packets, 12 in all
constexpr std::uint64_t kImageLeaderSizeForTest = gige::proto::kImageLeaderSize;
const net::Ipv4Address kDevice = *net::Ipv4Address::parse("127.0.0.51");
const net::Endpoint kStreamSource{kDevice, 20202};

struct RecordingLink : ResendLink {
    std::vector<ResendRequest> requests;
    CameraResult<void> send(gige::proto::ByteView b) override {
        requests.push_back(*decode_resend(b));
        return {};
    }
};

StreamOptions options_with(std::uint64_t payload = kPayload, std::size_t n_buffers = 8, double ratio = 0.25) {
    StreamOptions o;
    o.payload_size = payload;
    o.n_buffers = n_buffers;
    o.max_resend_ratio = ratio;
    return o;
}

struct Harness {
    explicit Harness(StreamOptions options = options_with(), bool resend = true, std::size_t capacity = 64,
                     std::uint64_t tick_frequency = 0)
        : channel(unbounded<ToStreamWorker>()),
          runner(options, {{kDevice, 3956}, kPacketSize, tick_frequency, resend},
                 *FramePool::create(options.n_buffers, *options.payload_size), std::move(channel.second), shared,
                 link),
          frames(subscribe(capacity)) {}

    Receiver<FramePtr> subscribe(std::size_t capacity) {
        auto [tx, rx] = bounded<FramePtr>(capacity);
        (void)channel.first.try_send(Subscribe{std::move(tx)});
        return std::move(rx);
    }
    void feed(const ByteVec& d, std::chrono::nanoseconds at = 0ns) { runner.handle_datagram(d, kStreamSource, t0 + at); }
    void feed(const std::vector<ByteVec>& ds, std::chrono::nanoseconds at = 0ns) {
        for (const auto& d : ds) feed(d, at);
    }
    void tick(std::chrono::nanoseconds at) { runner.check_frame_completion(t0 + at); }
    std::vector<FramePtr> take() { return frames.drain(); }
    const StreamStats& stats() const { return runner.stats(); }

    RecordingLink link;
    std::shared_ptr<StreamShared> shared = std::make_shared<StreamShared>();
    std::pair<Sender<ToStreamWorker>, Receiver<ToStreamWorker>> channel;
    StreamRunner runner;
    Receiver<FramePtr> frames;
    Instant t0 = std::chrono::steady_clock::now();
};

std::vector<FrameStatus> statuses(const std::vector<FramePtr>& frames) {
    std::vector<FrameStatus> out;
    for (const auto& f : frames) out.push_back(f->status());
    return out;
}

}  // namespace

TEST(StreamRunner, CompleteFrameCarriesLeaderFieldsAndPayload) {
    Harness h(options_with(), true, 64, 1'000'000'000);
    auto packets = gvsp_frame(7, kPayload, kPer);
    packets[0] = gvsp_leader(7, 0x4001, 5'000'000'000);
    // Chunk data: the image as one chunk, its tag in the last 8 payload bytes.
    const std::size_t image = kPayload - gige::proto::kChunkTagSize;
    gige::proto::put_u32(std::span(packets[10]).last(8), 0, 1);
    gige::proto::put_u32(std::span(packets[10]).last(4), 0, static_cast<std::uint32_t>(image));
    std::swap(packets[0], packets[3]);  // a payload packet opens the frame, the leader comes later
    h.feed(packets);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    const Frame& f = *frames[0];
    EXPECT_EQ(f.status(), FrameStatus::Complete);
    EXPECT_EQ(f.frame_id(), 7u);
    EXPECT_EQ(f.payload_kind(), PayloadKind::Image);
    EXPECT_EQ(f.has_chunk(), HasChunk::Yes);
    EXPECT_EQ(f.pixel_format().name(), "Mono8");
    EXPECT_EQ(f.width(), 8u);
    EXPECT_EQ(f.x_offset(), 2u);
    EXPECT_EQ(f.timestamp_ns(), 5'000'000'000u);
    EXPECT_GT(f.system_timestamp_ns(), 0u);
    EXPECT_EQ(f.received_size(), kPayload);
    ASSERT_EQ(f.data().size(), kPayload);
    for (std::size_t i = 0; i < image; ++i) ASSERT_EQ(f.data()[i], pattern_byte(7, i)) << i;
    EXPECT_EQ(f.chunks(), (std::vector<gige::proto::ChunkEntry>{{1, 0, image}}));
    EXPECT_EQ(h.stats().completed_frames, 1u);
    EXPECT_EQ(h.stats().packets, 12u);
    EXPECT_EQ(h.shared->snapshot().completed_frames, 1u);
}

// The worker may have packets received straight into the frame buffer: the places it is given
// follow the highest packet in, end with the frame's last (shorter) payload packet, and a packet
// handled in its place completes the frame exactly as a copied one does.
TEST(StreamRunner, PlacesForTheNextPacketsAndPacketsReceivedInThem) {
    constexpr std::uint64_t kPayload630 = 630;  // packets 1..9 of 64 bytes, packet 10 of 54
    Harness h(options_with(kPayload630));
    std::array<PacketPlace, 4> places{};
    EXPECT_EQ(h.runner.expected_places(places), 0u) << "no frame yet";
    h.feed(gvsp_leader(3));
    EXPECT_EQ(h.runner.expected_places(places), 0u) << "data per packet not known before packet 1";
    h.feed(gvsp_payload(3, 1, 64, kPer));
    h.feed(gvsp_payload(3, 3, 64, kPer));  // packet 2 is still missing: places start after 3

    auto fill = [&](const PacketPlace& place) {
        const auto packet = gvsp_payload(3, place.packet_id, place.data.size(), kPer);
        std::copy(packet.begin() + 8, packet.end(), place.data.begin());
        h.runner.handle_placed_datagram(std::span(packet).first(8), place, place.data.size(), kStreamSource, h.t0);
    };
    ASSERT_EQ(h.runner.expected_places(places), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(places[i].block_id, 3u);
        EXPECT_EQ(places[i].packet_id, 4u + i);
        EXPECT_EQ(places[i].header_size(), 8u);
        EXPECT_EQ(places[i].data.size(), 64u);
        fill(places[i]);
    }
    ASSERT_EQ(h.runner.expected_places(places), 3u);
    EXPECT_EQ(places[2].packet_id, 10u);
    EXPECT_EQ(places[2].data.size(), 54u);
    for (std::size_t i = 0; i < 3; ++i) fill(places[i]);
    EXPECT_EQ(h.runner.expected_places(places), 0u) << "every payload packet after the highest is in";

    h.feed(gvsp_payload(3, 2, 64, kPer));
    h.feed(gvsp_trailer(3, 11));
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status(), FrameStatus::Complete);
    EXPECT_EQ(frames[0]->received_size(), kPayload630);
    for (std::size_t i = 0; i < kPayload630; ++i) ASSERT_EQ(frames[0]->data()[i], pattern_byte(3, i)) << i;
    EXPECT_EQ(h.stats().packets, 12u);
    EXPECT_EQ(h.stats().bytes, 12u * 8 + kImageLeaderSizeForTest + kPayload630 + 8);

    Harness without_resend(options_with(kPayload630), false);
    without_resend.feed(gvsp_leader(4));
    without_resend.feed(gvsp_payload(4, 1, 64, kPer));
    EXPECT_EQ(without_resend.runner.expected_places(places), 0u) << "a lost packet's range keeps its old bytes";
}

TEST(StreamRunner, FramesOpenedByEachKindOfFirstPacket) {
    struct Case {
        const char* name;
        ByteVec first;
        std::uint64_t completed, unsupported;
    };
    const Case cases[] = {
        {"all-in", gvsp_packet(3, pf::kAllIn, 0, 20), 0, 0},
        {"trailer 4 then 0..3", gvsp_trailer(3, 4), 1, 0},
        {"trailer 0", gvsp_trailer(3, 0), 0, 0},
        {"raw-data leader", gvsp_leader(3, 2), 0, 1},
        {"short leader", gvsp_packet(3, pf::kLeader, 0, 11), 0, 1},
        {"format 6", gvsp_packet(3, 6, 0, 4), 0, 1},
    };
    for (const auto& c : cases) {
        Harness h;
        h.feed(c.first);
        h.feed(gvsp_leader(3));
        for (std::uint32_t k = 1; k <= 3; ++k) h.feed(gvsp_payload(3, k, kPer, kPer));
        EXPECT_EQ(h.stats().completed_frames, c.completed) << c.name;
        EXPECT_EQ(h.stats().unsupported_frames, c.unsupported) << c.name;
        if (c.unsupported) {
            EXPECT_EQ(h.stats().ignored_packets, 5u) << c.name;  // the refused frame's packets
        }
    }
}

TEST(StreamRunner, BlockIdDistanceAcrossTheWrap) {
    EXPECT_EQ(block_id_distance(1, 0xFFFF, false), 1);
    EXPECT_EQ(block_id_distance(2, 0xFFFF, false), 2);
    EXPECT_EQ(block_id_distance(0, 0xFFFF, false), 1);
    EXPECT_EQ(block_id_distance(101, 200, false), -99);
    EXPECT_EQ(block_id_distance(1, 0xFFFFFFFFFFFFFFFF, true), 1);
    EXPECT_EQ(block_id_distance(0x10000, 0xFFFF, true), 1);
    for (std::uint64_t next : {1, 2}) {
        Harness h;
        h.feed(gvsp_frame(0xFFFF, kPayload, kPer));
        h.feed(gvsp_frame(next, kPayload, kPer));
        EXPECT_EQ(h.stats().completed_frames, 2u);
        EXPECT_EQ(h.stats().missing_frames, next - 1);
    }
}

TEST(StreamRunner, LateWindowOf99) {
    ScopedCapture capture;
    Harness h;
    h.feed(gvsp_frame(200, kPayload, kPer));
    h.feed(gvsp_leader(101));
    EXPECT_EQ(h.stats().ignored_packets, 1u);
    EXPECT_EQ(h.runner.frames_in_flight(), 0u);
    EXPECT_EQ(capture->messages(log::Level::Trace), std::vector<std::string>{"discarding late frame"});
    h.feed(gvsp_leader(100));
    EXPECT_EQ(h.runner.frames_in_flight(), 1u);
    EXPECT_EQ(h.stats().missing_frames, 0u);
}

TEST(StreamRunner, ResendOffClosesTheOlderFrameAsMissingPackets) {
    Harness h(options_with(), false);
    h.feed(gvsp_frame(1, kPayload, kPer, {3}));
    EXPECT_TRUE(h.take().empty());
    h.feed(gvsp_leader(2));
    EXPECT_EQ(statuses(h.take()), std::vector{FrameStatus::MissingPackets});
    EXPECT_EQ(h.stats().failed_frames, 1u);
    EXPECT_EQ(h.stats().missing_packets, 9u);  // everything after the unbroken run 0..2
    EXPECT_TRUE(h.link.requests.empty());
}

TEST(StreamRunner, ResendRunsInIdOrderAfterTheInitialDelayThenEveryInterval) {
    Harness h(options_with(kPayload, 8, 1.0));
    auto packets = gvsp_frame(5, kPayload, kPer, {3, 4, 7, 11});
    h.feed(packets, 0ms);
    h.feed(gvsp_payload(5, 9, kPer, kPer), 500us);  // duplicate: no scan
    EXPECT_TRUE(h.link.requests.empty());
    h.feed(gvsp_trailer(5, 11), 2ms);
    const std::vector<ResendRequest> first_round = {{0xFF15, 5, 3, 4, false}, {0xFF16, 5, 7, 7, false}};
    EXPECT_EQ(h.link.requests, first_round);
    h.tick(21ms);  // quiet for 19 ms: not yet
    EXPECT_EQ(h.link.requests.size(), 2u);
    h.tick(23ms);
    ASSERT_EQ(h.link.requests.size(), 4u);
    EXPECT_EQ(h.link.requests[2], (ResendRequest{0xFF17, 5, 3, 4, false}));
    auto resent = gvsp_payload(5, 3, kPer, kPer, 0x0100);
    h.feed(resent, 24ms);
    h.feed(gvsp_payload(5, 4, kPer, kPer), 24ms);
    h.feed(gvsp_payload(5, 7, kPer, kPer), 24ms);
    EXPECT_EQ(statuses(h.take()), std::vector{FrameStatus::Complete});
    EXPECT_EQ(h.stats().resend_requests, 6u);
    EXPECT_EQ(h.stats().resent_packets, 3u);

    EXPECT_EQ(next_resend_request_id(0xFF14), 0xFF15);
    EXPECT_EQ(next_resend_request_id(0xFFFF), 0xFF14);
}

TEST(StreamRunner, BudgetCapsAHundredPacketFrameAt25Requests) {
    Harness h(options_with(98 * kPer));
    auto packets = gvsp_frame(9, 98 * kPer, kPer);  // 100 packets
    for (std::uint32_t id = 0; id < 100; ++id) {
        if (id >= 10 && id < 30) continue;
        if (id >= 50 && id < 60) continue;
        h.feed(packets[id], id < 60 ? 0ms : 2ms);
    }
    ASSERT_EQ(h.link.requests.size(), 1u);  // 10..29, 20 packets
    EXPECT_EQ(h.link.requests[0].first, 10u);
    h.tick(25ms);  // 10..29 again and 50..59 would make 50
    h.tick(60ms);
    EXPECT_EQ(h.link.requests.size(), 1u);
    EXPECT_EQ(h.stats().resend_requests, 20u);
    EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
}

// Found by the stream_runner fuzz harness: a check whose second run passed the budget sent
// nothing, yet left the first run's packets marked requested, so their late arrival counted as
// resent packets that were never requested.
TEST(StreamRunner, RunsOfACheckThatPassesTheBudgetAreNotMarkedRequested) {
    Harness h;  // 12 packets: a budget of 3
    h.feed(gvsp_frame(3, kPayload, kPer, {2, 4, 5, 6}), 0ms);
    h.tick(25ms);  // run 2..2 fits, run 4..6 makes 4: nothing is sent
    EXPECT_TRUE(h.link.requests.empty());
    EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
    h.feed(gvsp_payload(3, 2, kPer, kPer), 26ms);
    EXPECT_EQ(h.stats().resent_packets, 0u);
    EXPECT_EQ(h.stats().resend_requests, 0u);
}

TEST(StreamRunner, NewestLeaderOnlyFrameIsNotTimedOut) {
    Harness h;
    h.feed(gvsp_leader(1), 0ms);
    h.tick(500ms);
    EXPECT_EQ(h.runner.frames_in_flight(), 1u);
    h.feed(gvsp_leader(2), 500ms);  // frame 1 is no longer the newest
    EXPECT_EQ(statuses(h.take()), std::vector{FrameStatus::Timeout});
    h.tick(2s);
    EXPECT_EQ(h.runner.frames_in_flight(), 1u);
    h.feed(gvsp_payload(2, 1, kPer, kPer), 2s);
    h.tick(2s + 99ms);
    EXPECT_TRUE(h.take().empty());
    h.tick(2s + 100ms);
    EXPECT_EQ(statuses(h.take()), std::vector{FrameStatus::Timeout});
    EXPECT_EQ(h.stats().timed_out_frames, 2u);
    EXPECT_EQ(h.stats().failed_frames, 2u);
}

TEST(StreamRunner, DuplicateChangesOnlyTheDuplicateCounter) {
    Harness h;
    const auto packet = gvsp_payload(4, 1, kPer, kPer);
    h.feed(gvsp_leader(4));
    h.feed(packet);
    StreamStats expected = h.stats();
    h.feed(packet);
    expected.packets += 1;
    expected.bytes += packet.size();
    expected.duplicated_packets += 1;
    EXPECT_EQ(h.stats(), expected);
}

TEST(StreamRunner, TrailerShrinksExpected) {
    Harness h;
    h.feed(gvsp_leader(6));
    for (std::uint32_t k = 1; k <= 3; ++k) h.feed(gvsp_payload(6, k, kPer, kPer));
    EXPECT_TRUE(h.take().empty());
    h.feed(gvsp_trailer(6, 4));
    auto frames = h.take();
    ASSERT_EQ(statuses(frames), std::vector{FrameStatus::Complete});
    EXPECT_EQ(frames[0]->received_size(), 3 * kPer);
}

TEST(StreamRunner, ImpossiblePacketIdsMarkTheFrame) {
    // Ids no frame can have are wrong; ids past what the buffer holds mean a larger payload.
    const struct {
        ByteVec packet;
        FrameStatus status;
    } cases[] = {
        {gvsp_packet(8, pf::kLeader, 3, 36), FrameStatus::WrongPacketId},
        {gvsp_payload(8, 11, kPer, kPer), FrameStatus::SizeMismatch},
        {gvsp_payload(8, 500, kPer, kPer), FrameStatus::SizeMismatch},
        {gvsp_trailer(8, 40), FrameStatus::SizeMismatch},
    };
    for (const auto& c : cases) {
        ScopedCapture capture;
        Harness h;
        h.feed(gvsp_leader(8));
        h.feed(c.packet);
        h.feed(gvsp_frame(8, kPayload, kPer, {0}));
        h.tick(200ms);
        EXPECT_EQ(statuses(h.take()), std::vector{c.status}) << frame_status_name(c.status);
        EXPECT_EQ(h.stats().failed_frames, 1u);
        EXPECT_EQ(h.stats().size_mismatch_frames, c.status == FrameStatus::SizeMismatch ? 1u : 0u);
        if (&c == &cases[2]) {
            EXPECT_EQ(capture->messages(log::Level::Trace)[0],
                      "payload packet id 500 outside 1..=10 (frame 8, 64 data bytes, ext=false)");
        }
    }
}

// Frames whose packets contradict each other are failed, each with its own status and counter,
// and a packet that cannot be placed leaves its neighbours' bytes alone.
TEST(StreamRunner, DamagedFramesFailWithTheirOwnStatus) {
    auto with = [](std::vector<ByteVec> packets, std::size_t at, ByteVec packet) {
        packets.insert(packets.begin() + static_cast<std::ptrdiff_t>(at), std::move(packet));
        return packets;
    };
    const struct {
        const char* name;
        std::vector<ByteVec> packets;
        FrameStatus status;
        std::uint64_t StreamStats::* counter;
    } cases[] = {
        // Packet 3 with 100 bytes, after packet 4, whose share its tail would cover.
        {"oversized packet", with(gvsp_frame(5, kPayload, kPer, {3}), 4, gvsp_payload(5, 3, 100, 100)),
         FrameStatus::OversizedPacket, &StreamStats::oversized_packet_frames},
        {"oversized packet 1", with(gvsp_frame(5, kPayload, kPer, {1}), 1, gvsp_payload(5, 1, 100, 100)),
         FrameStatus::OversizedPacket, &StreamStats::oversized_packet_frames},
        {"trailer after more packets than it counts", with(gvsp_frame(5, kPayload, kPer, {3, 11}), 10, gvsp_trailer(5, 3)),
         FrameStatus::EarlyTrailer, &StreamStats::early_trailer_frames},
        {"packets after a trailer that counted fewer",
         {gvsp_leader(5), gvsp_payload(5, 1, kPer, kPer), gvsp_trailer(5, 3), gvsp_payload(5, 4, kPer, kPer),
          gvsp_payload(5, 2, kPer, kPer)},
         FrameStatus::EarlyTrailer, &StreamStats::early_trailer_frames},
        {"payload twice the buffer", gvsp_frame(5, 2 * kPayload, kPer), FrameStatus::SizeMismatch,
         &StreamStats::size_mismatch_frames},
        {"all-in packet", {gvsp_packet(5, pf::kAllIn, 0, 20)}, FrameStatus::PayloadUnsupported,
         &StreamStats::unsupported_payload_frames},
    };
    for (const auto& c : cases) {
        for (const bool resend : {true, false}) {
            Harness h(options_with(), resend);
            h.feed(c.packets);
            h.feed(gvsp_frame(6, kPayload, kPer));
            h.tick(200ms);
            const auto frames = h.take();
            ASSERT_EQ(frames.size(), 2u) << c.name;
            EXPECT_EQ(frames[0]->status(), c.status) << c.name;
            EXPECT_EQ(frames[1]->status(), FrameStatus::Complete) << c.name;
            EXPECT_EQ(h.stats().failed_frames, 1u) << c.name;
            EXPECT_EQ(h.stats().*c.counter, 1u) << c.name;
            const auto data = frames[0]->data();
            for (std::size_t i = 3 * kPer; i < std::min<std::size_t>(data.size(), 4 * kPer); ++i)
                ASSERT_EQ(data[i], pattern_byte(5, i)) << c.name << " at " << i;
        }
    }
}

// A device that announces chunk data but sends tags that do not fit: the frame is delivered
// flagged, its chunks are none, and the next frame is unaffected.
TEST(StreamRunner, ChunkTagsThatDoNotFitFlagTheFrame) {
    const struct {
        const char* name;
        std::uint32_t tag_length;
    } cases[] = {{"length past the start", kPayload}, {"length 0xFFFFFFFF", 0xFFFFFFFF}, {"length leaving 4 bytes", kPayload - 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        auto packets = gvsp_frame(5, kPayload, kPer);
        packets[0] = gvsp_leader(5, 0x4001);
        gige::proto::put_u32(std::span(packets[10]).last(8), 0, 1);
        gige::proto::put_u32(std::span(packets[10]).last(4), 0, c.tag_length);
        h.feed(packets);
        h.feed(gvsp_frame(6, kPayload, kPer));
        const auto frames = h.take();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(statuses(frames), (std::vector{FrameStatus::MalformedChunks, FrameStatus::Complete}));
        EXPECT_TRUE(frames[0]->chunks().empty());
        EXPECT_EQ(frames[0]->data().size(), kPayload);
        EXPECT_EQ(h.stats().failed_frames, 1u);
        EXPECT_EQ(h.stats().completed_frames, 1u);
    }
}

TEST(StreamRunner, ErrorStatusesAndPayloadOverruns) {
    constexpr std::uint64_t kPayload630 = 630;  // the final packet has room for 54 bytes
    Harness h(options_with(kPayload630));
    h.feed(gvsp_leader(2));
    h.feed(gvsp_payload(2, 1, kPer, kPer));
    h.feed(gvsp_payload(2, 2, kPer, kPer, 0x8001));
    h.feed(gvsp_payload(2, 3, kPer, kPer, 0x800C));  // gone for good: no resend for this frame
    h.feed(gvsp_payload(2, 10, kPer, kPer), 5ms);       // the final packet may run past the buffer
    h.tick(30ms);
    EXPECT_EQ(h.stats().error_packets, 2u);
    EXPECT_EQ(h.stats().resend_disabled, 1u);
    EXPECT_EQ(h.stats().size_mismatch_errors, 0u);
    EXPECT_TRUE(h.link.requests.empty());
    h.tick(200ms);
    auto frames = h.take();
    ASSERT_EQ(statuses(frames), std::vector{FrameStatus::Timeout});
    EXPECT_EQ(frames[0]->received_size(), 64u + 54u);
    EXPECT_EQ(frames[0]->data().size(), kPayload630);
}

// Once the device's first packet has shown its stream port, packets from other ports of its
// address (or from other addresses) are not counted and cannot fill in its frames.
TEST(StreamRunner, PacketsComeOnlyFromTheDevicesStreamSource) {
    Harness h;
    const net::Endpoint other_port{kDevice, 20203};
    const net::Endpoint other_host{*net::Ipv4Address::parse("127.0.0.52"), 20202};
    h.feed(gvsp_leader(4));
    for (const auto& forger : {other_port, other_host}) {
        h.runner.handle_datagram(gvsp_payload(4, 2, kPer, kPer * 2), forger, h.t0);  // other bytes for packet 2
        h.runner.handle_datagram(gvsp_trailer(4, 2), forger, h.t0);
    }
    h.feed(gvsp_frame(4, kPayload, kPer, {0}));
    const auto frames = h.take();
    ASSERT_EQ(statuses(frames), std::vector{FrameStatus::Complete});
    for (std::size_t i = 0; i < kPayload; ++i) ASSERT_EQ(frames[0]->data()[i], pattern_byte(4, i)) << i;
    EXPECT_EQ(h.stats().packets, 12u);
    EXPECT_EQ(h.stats().duplicated_packets, 0u);
}

TEST(StreamRunner, SubscriberOfCapacityOneLosesLaterFrames) {
    Harness h(options_with(), true, 1);
    (void)h.subscribe(4);  // its receiving end is gone at once
    for (std::uint64_t b = 1; b <= 3; ++b) h.feed(gvsp_frame(b, kPayload, kPer));
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->frame_id(), 1u);
    EXPECT_EQ(h.stats().frames_dropped, 2u);
    EXPECT_EQ(h.shared->snapshot().frames_dropped, 2u);
    EXPECT_EQ(h.runner.subscriber_count(), 1u);
}

TEST(StreamRunner, HeldPoolMakesUnderrunsUntilAFrameIsReleased) {
    Harness h(options_with(kPayload, 2));
    h.feed(gvsp_frame(1, kPayload, kPer));
    h.feed(gvsp_frame(2, kPayload, kPer));
    auto held = h.take();
    h.feed(gvsp_frame(3, kPayload, kPer));
    EXPECT_EQ(h.stats().underruns, 1u);
    EXPECT_EQ(h.stats().ignored_packets, 11u);  // the rest of frame 3
    held.erase(held.begin());
    h.feed(gvsp_frame(4, kPayload, kPer));
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->frame_id(), 4u);
    EXPECT_EQ(h.stats().missing_frames, 0u);
}

// Underruns while a frame is still being assembled are not the application's doing; once every
// buffer is out in delivered frames, one warning, then one per interval while it goes on.
TEST(StreamRunner, HeldPoolWarnsOncePerInterval) {
    ScopedCapture capture;
    Harness h(options_with(kPayload, 2));
    const auto warnings = [&] { return capture->messages(log::Level::Warn).size(); };
    h.feed(gvsp_frame(1, kPayload, kPer));
    h.feed(gvsp_frame(2, kPayload, kPer, {3}));  // still assembling: holds the second buffer
    h.feed(gvsp_leader(3));
    EXPECT_EQ(h.stats().underruns, 1u);
    EXPECT_EQ(warnings(), 0u);
    h.feed(gvsp_frame(2, kPayload, kPer));  // frame 2 completes: both buffers are delivered
    auto held = h.take();
    ASSERT_EQ(held.size(), 2u);
    const auto interval = HeldBuffersWarning::kInterval;
    const std::vector<std::pair<std::chrono::nanoseconds, std::size_t>> steps = {
        {0ns, 1}, {1s, 1}, {interval - 1ms, 1}, {interval, 2}, {interval + 1s, 2}};
    std::uint64_t block = 4;
    for (const auto& [at, expected] : steps) {
        h.feed(gvsp_leader(block++), at);
        EXPECT_EQ(warnings(), expected) << "at " << at.count() << " ns";
    }
    EXPECT_EQ(h.stats().underruns, 1u + steps.size());
    const auto events = capture->snapshot();
    const auto first = std::find_if(events.begin(), events.end(), [](const log::Event& e) {
        return e.level == log::Level::Warn;
    });
    ASSERT_NE(first, events.end());
    EXPECT_EQ(first->target, "korvalite::gige::stream::runner");
    EXPECT_NE(first->message.find("all 2 frame buffers (n_buffers)"), std::string::npos) << first->message;
}

TEST(StreamRunner, GapsShowWhatTheBufferHeldBefore) {
    Harness h(options_with(kPayload, 1));
    h.feed(gvsp_frame(1, kPayload, kPer, {3}), 0ms);
    h.tick(150ms);
    auto first = h.take();
    ASSERT_EQ(statuses(first), std::vector{FrameStatus::Timeout});
    EXPECT_EQ(first[0]->data()[2 * kPer], std::byte{0});  // a fresh buffer reads zero
    first.clear();                                         // the buffer goes back to the pool
    h.feed(gvsp_frame(2, kPayload, kPer), 150ms);
    h.take();
    h.feed(gvsp_frame(3, kPayload, kPer, {5}), 150ms);
    h.runner.shutdown();
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    const auto data = frames[0]->data();
    EXPECT_EQ(data[4 * kPer], pattern_byte(2, 4 * kPer));  // packet 5's bytes are frame 2's
    EXPECT_EQ(data[5 * kPer], pattern_byte(3, 5 * kPer));
}

TEST(StreamRunner, ShutdownDeliversOpenFramesAsAbortedOldestFirst) {
    Harness h;
    h.feed(gvsp_leader(1));
    h.feed(gvsp_leader(2));
    h.runner.shutdown();
    auto frames = h.take();
    ASSERT_EQ(statuses(frames), (std::vector{FrameStatus::Aborted, FrameStatus::Aborted}));
    EXPECT_EQ(frames[0]->frame_id(), 1u);
    EXPECT_EQ(h.stats().aborted_frames, 2u);
    EXPECT_EQ(h.stats().failed_frames, 0u);
    EXPECT_EQ(h.stats().missing_packets, 0u);
    EXPECT_TRUE(h.frames.is_disconnected());
}

TEST(StreamRunner, SurvivesArbitraryDatagrams) {
    Harness h(options_with(kPayload, 3));
    std::mt19937 rng(1234);
    std::uint64_t from_device = 2;
    // A frame opened by a trailer announcing 2^32 packets, and a first payload packet of one byte,
    // would ask for huge packet tables.
    h.feed(gvsp_trailer(0x77, 0xFFFFFFFF, true));
    h.feed(gvsp_payload(0x78, 1, 1, kPer));
    for (int i = 0; i < 50'000; ++i) {
        ByteVec d(rng() % 120);
        for (auto& b : d) b = static_cast<std::byte>(rng());
        if (d.size() > 7) {
            d[4] = static_cast<std::byte>((rng() % 2 ? 0x80 : 0) | (1 + rng() % 4));  // mostly known formats
            if (rng() % 4) d[0] = d[1] = std::byte{0};                                  // mostly success
            if (rng() % 2) d[5] = d[6] = std::byte{0};                                 // small packet ids
        }
        const bool foreign = rng() % 10 == 0;
        h.runner.handle_datagram(d, foreign ? net::Endpoint{*net::Ipv4Address::parse("127.0.0.52"), 20202} : kStreamSource,
                                 h.t0 + std::chrono::microseconds(i * 10));
        from_device += !foreign;
        ASSERT_LE(h.runner.frames_in_flight(), 3u);
        h.frames.drain();
    }
    h.runner.shutdown();
    const StreamStats& s = h.stats();
    EXPECT_EQ(s.packets, from_device);
    EXPECT_GT(s.completed_frames + s.failed_frames + s.aborted_frames, 0u);
    EXPECT_GT(s.unsupported_frames + s.underruns + s.ignored_packets + s.error_packets, 0u);
}

// A trailer after payload packet 2 whose packet id counts 2 payload packets, while leader and
// trailer say the image has 10 lines of 64 bytes (10 packets): the frame waits for the rest as
// for any gap, and fails with its own status when they never come.
TEST(StreamRunner, TrailerBeforeTheWholeImageWaitsForTheRest) {
    auto leader = gvsp_packet(7, pf::kLeader, 0, gige::proto::kImageLeaderSize);
    gige::proto::put_image_leader(std::span(leader).last(gige::proto::kImageLeaderSize), 1, 0,
                                  gige::proto::PixelFormat::kMono8, 64, 10, 0, 0, 0, 0);
    auto trailer = gvsp_trailer(7, 3);
    gige::proto::put_image_trailer(std::span(trailer).last(gige::proto::kImageTrailerSize), 1, 10);
    for (const bool rest_comes : {true, false}) {
        SCOPED_TRACE(rest_comes ? "the rest comes later" : "the rest never comes");
        Harness h(options_with(kPayload, 8, 1.0));
        h.feed({leader, gvsp_payload(7, 1, kPer, kPer), gvsp_payload(7, 2, kPer, kPer), trailer});
        h.tick(21ms);
        EXPECT_TRUE(h.take().empty());
        ASSERT_FALSE(h.link.requests.empty());
        EXPECT_EQ(h.link.requests[0], (ResendRequest{0xFF15, 7, 3, 10, false}));
        if (rest_comes)
            for (std::uint32_t k = 3; k <= 10; ++k) h.feed(gvsp_payload(7, k, kPer, kPer), 50ms);
        h.tick(150ms);
        const auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        if (rest_comes) {
            EXPECT_EQ(frames[0]->status(), FrameStatus::Complete);
            EXPECT_EQ(frames[0]->received_size(), kPayload);
            const auto data = frames[0]->data();
            for (std::size_t i = 0; i < kPayload; ++i) ASSERT_EQ(data[i], pattern_byte(7, i)) << i;
        } else {
            EXPECT_EQ(frames[0]->status(), FrameStatus::IncompletePayload);
            EXPECT_EQ(frames[0]->received_size(), 2 * kPer);
            EXPECT_EQ(h.stats().failed_frames, 1u);
        }
    }
}
