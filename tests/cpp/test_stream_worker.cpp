// The stream worker thread over loopback: a plain UDP socket plays the device, sending GVSP and
// receiving PACKETRESEND.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "gvsp_packets.hpp"
#include "korvalite/gige/stream/stream_worker.hpp"

using namespace korvalite;
using namespace korvalite::gige::stream;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

net::Endpoint loopback(const char* ip) { return {*net::Ipv4Address::parse(ip), 0}; }

struct Rig {
    Rig(std::uint64_t payload, std::uint32_t packet_size, std::uint16_t channel = 0) {
        auto socket = net::UdpSocket::bind(loopback("127.0.0.50"));
        (void)socket->set_receive_buffer(4 << 20);
        stream = *socket->local_endpoint();
        StreamOptions options;
        options.payload_size = payload;
        options.channel = channel;
        auto spawned = StreamWorker::spawn(std::move(*socket), options,
                                           {*device.local_endpoint(), packet_size, 0, true});
        EXPECT_TRUE(spawned);
        worker = std::move(*spawned);
        frames.emplace(worker->subscribe(8));
    }
    void send(const ByteVec& d) { ASSERT_TRUE(device.send_to(d, stream)); }
    std::optional<ResendRequest> receive_resend() {
        std::array<std::byte, 64> buf{};
        (void)device.set_receive_timeout(2000);
        auto got = device.receive_from(buf);
        if (!got) return std::nullopt;
        return decode_resend(std::span(buf).first(got->size));
    }
    FramePtr next_frame() {
        auto f = frames->recv_timeout(5s);
        return f ? *f : nullptr;
    }

    net::UdpSocket device = *net::UdpSocket::bind(loopback("127.0.0.51"));
    net::Endpoint stream;
    std::unique_ptr<StreamWorker> worker;
    std::optional<Receiver<FramePtr>> frames;
};

bool thread_named(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) return true;
    }
    return false;
}

}  // namespace

TEST(StreamWorker, ReceivesAMegabyteFrameIn686PacketsOf1500Bytes) {
    Rig rig(1'000'000, 1500, 3);
    const auto packets = gvsp_frame(1, 1'000'000, 1464);
    ASSERT_EQ(packets.size(), 686u);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        rig.send(packets[i]);
        if (i % 32 == 31) std::this_thread::sleep_for(1ms);
    }
    auto frame = rig.next_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status(), FrameStatus::Complete);
    ASSERT_EQ(frame->data().size(), 1'000'000u);
    for (std::size_t i = 0; i < 1'000'000; i += 997) ASSERT_EQ(frame->data()[i], pattern_byte(1, i)) << i;
    EXPECT_EQ(rig.worker->stats().packets, 686u);
    EXPECT_TRUE(thread_named("korvalite-gvsp3"));
}

// Once a frame is under way the worker receives its next packets straight into the frame
// buffer; packets that arrive out of order, twice, or from the next frame while it does must
// still end up where they belong.
TEST(StreamWorker, PacketsOutOfOrderTwiceOrFromTheNextFrameLandWhereTheyBelong) {
    constexpr std::uint64_t kPayload = 200 * 64;
    Rig rig(kPayload, 100);  // 64 data bytes per packet
    auto first = gvsp_frame(1, kPayload, 64);
    auto second = gvsp_frame(2, kPayload, 64);
    std::swap(first[10], first[11]);
    std::swap(first[40], first[47]);
    first.insert(first.begin() + 60, first[59]);
    first.insert(first.begin() + 90, second[0]);  // the next frame's leader and two payload packets
    first.insert(first.begin() + 91, second[1]);
    first.insert(first.begin() + 120, second[2]);
    second.erase(second.begin(), second.begin() + 3);
    first.insert(first.end(), second.begin(), second.end());
    for (std::size_t i = 0; i < first.size(); ++i) {
        rig.send(first[i]);
        if (i % 13 == 5) std::this_thread::sleep_for(300us);  // batches begin at varied points
    }
    for (std::uint64_t block : {1u, 2u}) {
        auto frame = rig.next_frame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->frame_id(), block);
        EXPECT_EQ(frame->status(), FrameStatus::Complete);
        ASSERT_EQ(frame->data().size(), kPayload);
        for (std::size_t i = 0; i < kPayload; ++i) ASSERT_EQ(frame->data()[i], pattern_byte(block, i)) << i;
    }
    EXPECT_EQ(rig.worker->stats().duplicated_packets, 1u);
}

// A device that announces chunk data and sends tags that do not fit its payload: over a real
// socket the frame arrives flagged, and the stream goes on with the next frame.
TEST(StreamWorker, HostileChunkTagsFlagTheFrameAndTheStreamGoesOn) {
    constexpr std::uint64_t kPayload = 4 * 64;
    Rig rig(kPayload, 100);
    for (const auto& [block, length] : {std::pair<std::uint64_t, std::uint32_t>{1, 0xFFFFFFFF}, {2, kPayload - 8}}) {
        auto packets = gvsp_frame(block, kPayload, 64);
        packets[0] = gvsp_leader(block, 0x4001);
        gige::proto::put_u32(std::span(packets[4]).last(8), 0, 0x1234);
        gige::proto::put_u32(std::span(packets[4]).last(4), 0, length);
        for (const auto& packet : packets) rig.send(packet);
    }
    auto flagged = rig.next_frame();
    auto next = rig.next_frame();
    ASSERT_TRUE(flagged && next);
    EXPECT_EQ(flagged->status(), FrameStatus::MalformedChunks);
    EXPECT_TRUE(flagged->chunks().empty());
    EXPECT_EQ(next->status(), FrameStatus::Complete);
    EXPECT_EQ(next->chunks(), (std::vector<gige::proto::ChunkEntry>{{0x1234, 0, kPayload - 8}}));
}

TEST(StreamWorker, AsksTheDeviceToResendWhatIsMissing) {
    for (const bool extended : {false, true}) {
        Rig rig(640, extended ? 112 : 100);  // 64 data bytes per packet either way
        const std::uint64_t block = extended ? 0x123456789 : 9;
        rig.send(gvsp_leader(block, 1, 0, extended));
        for (std::uint32_t k = 1; k <= 10; ++k)
            if (k != 4) rig.send(gvsp_payload(block, k, 64, 64, 0, extended));
        auto request = rig.receive_resend();  // once packet 4 has been missing for 1 ms
        ASSERT_TRUE(request);
        EXPECT_EQ(*request, (ResendRequest{0xFF15, block, 4, 4, extended}));
        rig.send(gvsp_payload(block, 4, 64, 64, 0x0100, extended));
        rig.send(gvsp_trailer(block, 11, extended));
        auto frame = rig.next_frame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->status(), FrameStatus::Complete);
        EXPECT_EQ(rig.worker->stats().resent_packets, 1u);
    }
}

TEST(StreamWorker, ShutdownAbortsOpenFramesAndFramesOutliveTheStream) {
    Rig rig(640, 100);
    auto stranger = *net::UdpSocket::bind(loopback("127.0.0.52"));
    ASSERT_TRUE(stranger.send_to(gvsp_leader(1), rig.stream));
    rig.send(gvsp_leader(1));
    rig.send(gvsp_payload(1, 1, 64, 64));
    for (int i = 0; i < 200 && rig.worker->stats().packets < 2; ++i) std::this_thread::sleep_for(5ms);
    rig.worker->shutdown();
    EXPECT_FALSE(rig.worker->is_alive());
    auto frame = rig.next_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status(), FrameStatus::Aborted);
    EXPECT_EQ(rig.frames->recv_timeout(1s).error(), RecvTimeoutError::Disconnected);
    const StreamStats stats = rig.worker->stats();
    EXPECT_EQ(stats.packets, 2u);  // the stranger's datagram is not counted
    EXPECT_EQ(stats.aborted_frames, 1u);
    rig.worker.reset();
    EXPECT_EQ(frame->data().size(), 64u);
    EXPECT_EQ(frame->data()[63], pattern_byte(1, 63));
}

TEST(StreamWorker, RefusesAStreamWithoutPayloadSize) {
    for (const std::optional<std::uint64_t> payload : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0}}) {
        StreamOptions options;
        options.payload_size = payload;
        auto spawned = StreamWorker::spawn(*net::UdpSocket::bind(loopback("127.0.0.50")), options, {});
        ASSERT_FALSE(spawned);
        EXPECT_EQ(spawned.error().message(), "malformed packet: payload_size must be set");
    }
}
