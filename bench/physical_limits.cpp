// The machine's own limits, measured first so every other figure can be read as a ratio:
// single-core memcpy bandwidth on buffers far larger than the caches, and the loopback UDP
// round trip of a minimal ping-pong between two threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double memcpy_gbps() {
    constexpr std::size_t kSize = 256u << 20;
    std::vector<char> src(kSize, 1), dst(kSize, 0);
    double best = 0;
    for (int rep = 0; rep < 5; ++rep) {
        const auto t0 = Clock::now();
        std::memcpy(dst.data(), src.data(), kSize);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        best = std::max(best, kSize / s / 1e9);
        src[rep] = dst[kSize - 1 - rep];  // keep the copies observable
    }
    return best;
}

int udp_socket(sockaddr_in& addr) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return fd;
}

struct RoundTrip {
    double p50_us, p99_us;
};

RoundTrip udp_round_trip() {
    constexpr int kRounds = 20000;
    sockaddr_in a{}, b{};
    int fa = udp_socket(a), fb = udp_socket(b);
    std::thread echo([&] {
        char buf[64];
        for (int i = 0; i < kRounds; ++i) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fb, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0) ::sendto(fb, buf, n, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    std::vector<double> us;
    us.reserve(kRounds);
    char buf[64] = {0x42};
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        ::sendto(fa, buf, 12, 0, reinterpret_cast<sockaddr*>(&b), sizeof b);
        ::recv(fa, buf, sizeof buf, 0);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    echo.join();
    ::close(fa);
    ::close(fb);
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

}  // namespace

int main() {
    const double gbps = memcpy_gbps();
    const RoundTrip rt = udp_round_trip();
    std::printf("memcpy bandwidth (single core, 256 MiB): %.2f GB/s  (%.3f s per GB)\n", gbps, 1.0 / gbps);
    std::printf("loopback UDP round trip: p50 %.1f us, p99 %.1f us\n", rt.p50_us, rt.p99_us);
    std::printf("{\"bench\":\"physical_limits\",\"memcpy_gbps\":%.3f,\"memcpy_s_per_gb\":%.4f,"
                "\"udp_rtt_p50_us\":%.2f,\"udp_rtt_p99_us\":%.2f}\n",
                gbps, 1.0 / gbps, rt.p50_us, rt.p99_us);
    return 0;
}
