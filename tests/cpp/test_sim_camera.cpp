// The simulated camera on loopback (127.0.0.48 and .49 are this suite's addresses).
#include <gtest/gtest.h>

#include <thread>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/simulated_camera.hpp"

using namespace korvalite;
using namespace korvalite::sim;
namespace gp = gige::proto;

namespace {

const net::Ipv4Address kCameraIp{0x7F000030};  // 127.0.0.48
const net::Ipv4Address kHostIp{0x7F000031};    // 127.0.0.49

struct Received {
    gp::GvspPacket packet;
    gp::ByteVec bytes;
};

// Receives one GVSP datagram, or nothing within two seconds.
std::optional<Received> receive(const net::UdpSocket& socket) {
    Received r;
    r.bytes.resize(65536);
    auto d = socket.receive_from(r.bytes);
    if (!d) return std::nullopt;
    r.bytes.resize(d->size);
    r.packet = *gp::decode_gvsp(r.bytes);
    return r;
}

void poke(SimulatedCamera& cam, std::uint32_t address, std::uint32_t value) {
    std::array<std::byte, 4> b{};
    gp::put_u32(b, 0, value);
    ASSERT_TRUE(cam.device().poke(address, b));
}

}  // namespace

TEST(SimCamera, StreamsWrapsBlockIdsAndResends) {
    SimConfig config;
    config.bind = {kCameraIp, 0};
    config.first_block_id = 0xFFFE;
    config.image.test_pattern = static_cast<std::uint32_t>(TestPattern::GreyDiagonalRampMoving);
    config.image.width = 64;
    config.image.height = 16;
    auto cam = SimulatedCamera::create(config);
    ASSERT_TRUE(cam) << cam.error();
    ASSERT_TRUE((*cam)->start());
    EXPECT_NE((*cam)->endpoint().port, 0);
    auto host = net::UdpSocket::bind({kHostIp, 0});
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->set_receive_timeout(2000));
    const std::uint32_t base = boot::stream_channel_base(0);
    poke(**cam, base + boot::kScdaOffset, kHostIp.value);
    poke(**cam, base + boot::kScpsOffset, 36 + 400);  // 1024-byte frames: 3 payload packets
    poke(**cam, features::kAcquisitionMode, features::kModeMultiFrame);
    poke(**cam, features::kAcquisitionFrameCount, 3);
    poke(**cam, base, host->local_endpoint()->port);
    (*cam)->device().start_acquisition();

    std::vector<std::uint64_t> trailers;
    std::size_t packets = 0;
    while (trailers.size() < 3 && packets < 100) {
        auto r = receive(*host);
        ASSERT_TRUE(r);
        ++packets;
        if (r->packet.format == gp::packet_format::kTrailer) trailers.push_back(r->packet.block_id);
    }
    EXPECT_EQ(trailers, (std::vector<std::uint64_t>{0xFFFE, 0xFFFF, 0x0001}));
    EXPECT_EQ(packets, 15u);
    // The sender counts a frame just after its trailer left: give it a moment.
    for (int i = 0; i < 200 && (*cam)->device().counters().get(Counter::FramesSent) < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ((*cam)->device().counters().get(Counter::FramesSent), 3u);

    // Ask for packet 2 of frame 0xFFFF again, then for a frame the camera never sent.
    std::array<std::byte, 28> request{};
    const std::size_t n = gp::encode_packet_resend(request, 0xFFFF, 2, 2, false, 0xFF15);
    ASSERT_TRUE(host->send_to(std::span(request).first(n), (*cam)->endpoint()));
    auto resent = receive(*host);
    ASSERT_TRUE(resent);
    EXPECT_EQ(resent->packet.status, gp::status::kPacketResend);
    EXPECT_EQ(resent->packet.block_id, 0xFFFFu);
    EXPECT_EQ(resent->packet.packet_id, 2u);
    gp::ByteVec expected(1024);
    fill_pattern(expected, 0xFFFF, {64, 16, 0, 0, gp::PixelFormat::kMono8});
    EXPECT_TRUE(std::ranges::equal(resent->packet.data, std::span(expected).subspan(400, 400)));

    gp::encode_packet_resend(request, 0x1234, 1, 3, false, 0xFF16);
    ASSERT_TRUE(host->send_to(std::span(request).first(n), (*cam)->endpoint()));
    auto refused = receive(*host);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->packet.status, gp::status::kPacketUnavailable);
    EXPECT_EQ(refused->packet.block_id, 0x1234u);
    EXPECT_TRUE(refused->packet.data.empty());
    (*cam)->stop();
    EXPECT_FALSE((*cam)->running());
    EXPECT_TRUE((*cam)->start());  // a stopped camera starts again
}

TEST(SimCamera, RefusesBadConfigurationsAndBusyAddresses) {
    SimConfig config;
    config.bind = {kCameraIp, 0};
    config.faults.stream_drop = 1.5;
    auto bad = SimulatedCamera::create(config);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "stream_drop must be between 0 and 1");
    config.faults.stream_drop = 0;
    config.image.width = 2000;
    EXPECT_EQ(SimulatedCamera::create(config).error(), "image window must be non-empty and lie on the sensor");

    config = SimConfig{};
    config.bind = {kCameraIp, 0};
    auto first = SimulatedCamera::create(config);
    ASSERT_TRUE(first && (*first)->start());
    config.bind = (*first)->endpoint();
    auto second = SimulatedCamera::create(config);
    ASSERT_TRUE(second);
    auto started = (*second)->start();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), "cannot bind " + config.bind.to_string() + ": io error: Address already in use");
    EXPECT_EQ((*first)->start().error(), "simulated camera is already running");
}
