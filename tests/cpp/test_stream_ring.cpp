// Streams with `packet_ring` set, against the simulated camera on loopback (this suite takes
// 127.0.0.170-173): frames arrive byte-exact through the ring, and where the ring may not be
// opened the worker says why and receives through its socket instead.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "capture_sink.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/net/packet_ring.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/pattern.hpp"
#include "korvalite/sim/simulated_camera.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace gs = gige::stream;

namespace {

constexpr std::uint32_t kWidth = 640, kHeight = 120;
constexpr std::uint32_t kFrames = 6;

net::Ipv4Address ip(const char* text) { return *net::Ipv4Address::parse(text); }

// A camera streaming kFrames Mono8 frames of kWidth x kHeight, connected from `host`.
struct SimStream {
    SimStream(const char* camera_ip, const char* host_ip) {
        sim::SimConfig config;
        config.bind = {ip(camera_ip), 0};
        config.answer_broadcast = false;
        config.image.width = kWidth;
        config.image.height = kHeight;
        config.image.exposure_us = 10.0;
        config.image.test_pattern = static_cast<std::uint32_t>(sim::TestPattern::GreyDiagonalRampMoving);
        config.image.frame_rate = 200.0;
        config.image.acquisition_mode = sim::features::kModeMultiFrame;
        config.image.frame_count = kFrames;
        camera = std::move(*sim::SimulatedCamera::create(config));
        EXPECT_TRUE(camera->start());
        device::CameraSettings settings;
        settings.device = camera->endpoint();
        settings.local_ip = ip(host_ip);
        driver = std::make_unique<device::GigECamera>(settings);
        EXPECT_TRUE(driver->connect());
    }
    ~SimStream() {
        camera->device().stop_acquisition();
        stream.reset();
        driver->disconnect(500ms);
    }

    void open(std::uint16_t packet_size) {
        gs::StreamOptions options;
        options.payload_size = std::uint64_t{kWidth} * kHeight;
        options.packet_size = packet_size;
        options.packet_ring = true;
        auto opened = driver->open_stream(options);
        ASSERT_TRUE(opened) << opened.error().message();
        stream.emplace(std::move(*opened));
    }

    // Streams kFrames frames; the test fails unless each arrives complete with the camera's image.
    void expect_frames_intact() {
        auto frames = stream->subscribe(kFrames);
        camera->device().start_acquisition();
        const sim::ImageGeometry geometry{kWidth, kHeight, 0, 0, gige::proto::PixelFormat::kMono8};
        std::vector<std::byte> expected(sim::image_payload_size(geometry));
        for (std::uint32_t n = 0; n < kFrames; ++n) {
            auto frame = frames.wait_for(5s);
            ASSERT_NE(frame, nullptr) << "frame " << n;
            ASSERT_EQ(frame->status(), gs::FrameStatus::Complete) << "frame " << n;
            sim::fill_pattern(expected, frame->frame_id(), geometry);
            ASSERT_TRUE(std::ranges::equal(frame->data(), expected)) << "frame " << n;
        }
        EXPECT_EQ(stream->stats().completed_frames, kFrames);
    }

    std::unique_ptr<sim::SimulatedCamera> camera;
    std::unique_ptr<device::GigECamera> driver;
    std::optional<gs::StreamChannel> stream;
};

bool ring_permitted(const char* host_ip) {
    auto ring = net::PacketRing::open({ip(host_ip), 9}, 1u << 20);
    return ring || (ring.error().os_errno() != EPERM && ring.error().os_errno() != EACCES);
}

// Takes CAP_NET_RAW out of the calling thread's effective set (capabilities are per thread).
bool drop_net_raw_in_this_thread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

TEST(StreamRing, FramesArriveByteExactThroughThePacketRing) {
    if (!ring_permitted("127.0.0.171")) GTEST_SKIP() << "AF_PACKET sockets are not permitted here";
    for (const std::uint16_t packet_size : {1500, 9000}) {
        SCOPED_TRACE(packet_size);
        ScopedCapture capture;
        SimStream sim("127.0.0.170", "127.0.0.171");
        sim.open(packet_size);
        sim.expect_frames_intact();
        const auto debug = capture->messages(log::Level::Debug);
        EXPECT_NE(std::find(debug.begin(), debug.end(), "receiving through a packet ring"), debug.end());
        EXPECT_TRUE(capture->messages(log::Level::Warn).empty());
    }
}

TEST(StreamRing, WithoutThePrivilegeTheWorkerSaysWhyAndUsesTheSocket) {
    ScopedCapture capture;
    SimStream sim("127.0.0.172", "127.0.0.173");
    // The worker is spawned, and tries the ring, on the thread that opens the stream.
    std::thread opener([&] {
        ASSERT_TRUE(drop_net_raw_in_this_thread());
        sim.open(1500);
    });
    opener.join();
    ASSERT_TRUE(sim.stream);
    EXPECT_EQ(capture->messages(log::Level::Warn),
              std::vector<std::string>{
                  "packet ring not used, receiving through the socket: io error: AF_PACKET socket: Operation not "
                  "permitted"});
    sim.expect_frames_intact();
}
