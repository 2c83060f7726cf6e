// Memory over a long stream: resident memory of the process after 100 frames received against
// after 10 000, and the heap allocations the stream receive worker made per frame in between
// (every operator new is counted per thread). The simulated camera streams 640x480 Mono8 at
// 1000 frames/s with 9000-byte packets.
//
//   ./build/cpp/receive_memory [frames]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "alloc_count.hpp"
#include "bench_util.hpp"
#include "sim_rig.hpp"

using namespace korvalite;
using bench::Clock;

namespace {

const net::Ipv4Address kCameraIp{0x7F00006E};  // 127.0.0.110
const net::Ipv4Address kHostIp{0x7F00006F};    // 127.0.0.111

std::uint64_t delivered(const bench::SimRig& rig) {
    const auto c = rig.counters();
    return c.delivered_complete + c.delivered_other;
}

// Waits until `frames` frames have been delivered, at most `limit`; false on time-out.
bool wait_for_frames(const bench::SimRig& rig, std::uint64_t frames, std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (delivered(rig) < frames) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000;
    constexpr std::uint64_t kEarly = 100;
    auto rig = bench::SimRig::open({640, 480, 9000}, kCameraIp, kHostIp);
    if (!rig) return 1;
    rig->set_frame_rate(1000.0);
    rig->start();
    if (!wait_for_frames(*rig, kEarly, std::chrono::seconds(20))) {
        std::fprintf(stderr, "fewer than %llu frames arrived\n", static_cast<unsigned long long>(kEarly));
        return 1;
    }
    const std::uint64_t rss_early = bench::resident_bytes();
    const std::uint64_t frames_early = delivered(*rig);
    const std::uint64_t allocations_early = bench::alloc::count_of(rig->worker_tid());
    const auto t0 = Clock::now();
    const bool reached = wait_for_frames(*rig, frames, std::chrono::seconds(120));
    const double seconds = bench::seconds_since(t0);
    const std::uint64_t rss_late = bench::resident_bytes();
    const std::uint64_t frames_late = delivered(*rig);
    const std::uint64_t allocations = bench::alloc::count_of(rig->worker_tid()) - allocations_early;
    rig->stop();
    const auto stats = rig->counters().stream;
    if (!reached) std::printf("only %llu frames within the time limit\n", static_cast<unsigned long long>(frames_late));

    const double per_frame =
        static_cast<double>(allocations) / static_cast<double>(std::max<std::uint64_t>(frames_late - frames_early, 1));
    const double growth_mb = (static_cast<double>(rss_late) - static_cast<double>(rss_early)) / 1e6;
    std::printf("resident memory: %.1f MB after %llu frames, %.1f MB after %llu (%+.2f MB); receive worker "
                "allocations per frame %.4f (%llu frames in %.1f s, %llu complete)\n",
                static_cast<double>(rss_early) / 1e6, static_cast<unsigned long long>(frames_early),
                static_cast<double>(rss_late) / 1e6, static_cast<unsigned long long>(frames_late), growth_mb, per_frame,
                static_cast<unsigned long long>(frames_late - frames_early), seconds,
                static_cast<unsigned long long>(stats.completed_frames));
    bench::JsonLine("receive_memory")
        .add("frames_early", frames_early)
        .add("frames_late", frames_late)
        .add("rss_early_mb", static_cast<double>(rss_early) / 1e6)
        .add("rss_late_mb", static_cast<double>(rss_late) / 1e6)
        .add("rss_growth_mb", growth_mb)
        .add("worker_allocations", allocations)
        .add("allocations_per_frame", per_frame)
        .print();
    return reached ? 0 : 1;
}
