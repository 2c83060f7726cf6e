// The control channel from C++: one uncached register read through the PortIo face of the
// control port (the feature model's road to the device) against the simulated camera on
// loopback. Latency p50 and p99 over single reads one after another, then reads per second
// with 1 and 4 threads sharing the one connection.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/simulated_camera.hpp"

using namespace korvalite;
using bench::Clock;

namespace {

const net::Ipv4Address kCameraIp{0x7F00005A};  // 127.0.0.90
const net::Ipv4Address kHostIp{0x7F00005B};    // 127.0.0.91
constexpr std::uint32_t kRegister = sim::features::kWidth;

// Reads per second of `threads` threads reading for `seconds`, each over its own port copy.
double throughput(const gige::ControlPort& port, int threads, double seconds) {
    std::atomic<std::uint64_t> reads{0}, failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, copy = port]() mutable {
            std::array<std::byte, 4> value{};
            while (!stop.load(std::memory_order_relaxed))
                (copy.read(kRegister, value) ? reads : failures).fetch_add(1, std::memory_order_relaxed);
        });
    }
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : pool) t.join();
    if (failures.load() > 0) std::printf("%llu reads failed\n", static_cast<unsigned long long>(failures.load()));
    return static_cast<double>(reads.load()) / bench::seconds_since(t0);
}

}  // namespace

int main() {
    sim::SimConfig config;
    config.bind = {kCameraIp, 0};
    config.answer_broadcast = false;
    auto cam = sim::SimulatedCamera::create(config);
    if (!cam || !(*cam)->start()) {
        std::fprintf(stderr, "cannot start the simulated camera\n");
        return 1;
    }
    device::CameraSettings settings;
    settings.device = (*cam)->endpoint();
    settings.local_ip = kHostIp;
    device::GigECamera camera(settings);
    if (auto connected = camera.connect(); !connected) {
        std::fprintf(stderr, "connect: %s\n", connected.error().message().c_str());
        return 1;
    }
    gige::ControlPort port = camera.connection()->port();

    constexpr int kWarmUp = 500, kReads = 5000;
    std::vector<double> us;
    us.reserve(kReads);
    std::array<std::byte, 4> value{};
    for (int i = 0; i < kWarmUp + kReads; ++i) {
        const auto t0 = Clock::now();
        if (auto r = port.read(kRegister, value); !r) {
            std::fprintf(stderr, "read: %s\n", r.error().message().c_str());
            return 1;
        }
        if (i >= kWarmUp) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double p50 = bench::quantile(us, 0.5), p99 = bench::quantile(us, 0.99);
    const double one_thread = throughput(port, 1, 1.0);
    const double four_threads = throughput(port, 4, 1.0);
    camera.disconnect(std::chrono::milliseconds(500));

    std::printf("PortIo register read (C++): p50 %.1f us, p99 %.1f us; %.0f reads/s with 1 thread, %.0f with 4\n", p50,
                p99, one_thread, four_threads);
    bench::JsonLine("control_read")
        .add("path", "PortIo")
        .add("p50_us", p50)
        .add("p99_us", p99)
        .add("reads_per_s_1_thread", one_thread)
        .add("reads_per_s_4_threads", four_threads)
        .print();
    return 0;
}
