// How fast the simulated camera streams on loopback: packets per second and Gbit/s (packet size,
// IP and UDP headers included, times 8) at packet sizes 1500 and 9000, free-running 1280x960
// Mono8 frames. Measured twice per size: with a receiver thread draining the socket
// (recvmmsg), and with nobody reading (the kernel drops at the full socket: the sender alone).
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "korvalite/net/udp_socket.hpp"
#include "korvalite/sim/simulated_camera.hpp"

namespace {

using namespace korvalite;
using Clock = std::chrono::steady_clock;

const net::Ipv4Address kCameraIp{0x7F00002E};  // 127.0.0.46
const net::Ipv4Address kSinkIp{0x7F00002F};    // 127.0.0.47
constexpr auto kWarmUp = std::chrono::milliseconds(300);
constexpr auto kWindow = std::chrono::seconds(2);

struct Drain {
    std::atomic<std::uint64_t> packets{0};
    std::atomic<bool> stop{false};

    void run(int fd) {
        constexpr std::size_t kBatch = 64;
        std::vector<std::byte> storage(kBatch * 9000);
        std::vector<iovec> iov(kBatch);
        std::vector<mmsghdr> msgs(kBatch);
        for (std::size_t i = 0; i < kBatch; ++i) {
            iov[i] = {storage.data() + i * 9000, 9000};
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (!stop.load(std::memory_order_relaxed)) {
            const int n = ::recvmmsg(fd, msgs.data(), kBatch, 0, nullptr);
            if (n > 0) packets.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        }
    }
};

struct Result {
    double sent_pps = 0, sent_gbps = 0, received_pps = 0, frames_per_s = 0;
};

Result measure(std::uint32_t packet_size, bool drained) {
    sim::SimConfig config;
    config.bind = {kCameraIp, 0};
    config.answer_broadcast = false;
    config.image.width = 1280;
    config.image.height = 960;
    auto cam = sim::SimulatedCamera::create(config);
    if (!cam || !(*cam)->start()) {
        std::fprintf(stderr, "cannot start the simulated camera\n");
        std::exit(1);
    }
    auto sink = net::UdpSocket::bind({kSinkIp, 0});
    if (!sink) std::exit(1);
    (void)sink->set_receive_buffer(16u << 20);
    (void)sink->set_receive_timeout(100);
    Drain drain;
    std::thread reader;
    if (drained) reader = std::thread([&] { drain.run(sink->fd()); });

    auto& counters = (*cam)->device().counters();
    if (!(*cam)->stream_to(*sink->local_endpoint(), packet_size)) std::exit(1);
    std::this_thread::sleep_for(kWarmUp);
    const auto t0 = Clock::now();
    const auto sent0 = counters.get(sim::Counter::PacketsSent);
    const auto frames0 = counters.get(sim::Counter::FramesSent);
    const auto received0 = drain.packets.load();
    std::this_thread::sleep_for(kWindow);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto sent = counters.get(sim::Counter::PacketsSent) - sent0;
    const auto frames = counters.get(sim::Counter::FramesSent) - frames0;
    const auto received = drain.packets.load() - received0;
    (*cam)->stop();
    drain.stop = true;
    if (reader.joinable()) reader.join();
    return {sent / s, sent * packet_size * 8.0 / s / 1e9, received / s, frames / s};
}

}  // namespace

int main() {
    for (std::uint32_t size : {1500u, 9000u}) {
        for (bool drained : {true, false}) {
            const Result r = measure(size, drained);
            const char* receiver = drained ? "drained" : "unread";
            std::printf("packet size %u, receiver %s: sent %.0f packets/s = %.2f Gbit/s (%.0f frames/s of 1.2 MB)",
                        size, receiver, r.sent_pps, r.sent_gbps, r.frames_per_s);
            if (drained) std::printf(", received %.0f packets/s", r.received_pps);
            std::printf("\n");
            std::printf("{\"bench\":\"sim_send_rate\",\"packet_size\":%u,\"receiver\":\"%s\",\"sent_pps\":%.0f,"
                        "\"sent_gbps\":%.3f,\"frames_per_s\":%.1f,\"received_pps\":%.0f}\n",
                        size, receiver, r.sent_pps, r.sent_gbps, r.frames_per_s, drained ? r.received_pps : 0.0);
            std::fflush(stdout);
        }
    }
    return 0;
}
