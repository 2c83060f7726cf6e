// Unpacking speed of the packed pixel formats against memcpy of the unpacked image: one core,
// an image far larger than the caches, best of several runs. Throughput counts the 16-bit
// samples written, so 1.0x memcpy means unpacking costs no more than copying its result.
//
//   ./build/cpp/pixel_unpack [width height]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_util.hpp"
#include "korvalite/pixel/unpack.hpp"

using namespace korvalite;
using bench::Clock;

namespace {

constexpr int kRuns = 7;

template <class Work>
double best_seconds(Work&& work) {
    double best = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        work();
        best = std::min(best, bench::seconds_since(start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t width = argc > 2 ? std::strtoul(argv[1], nullptr, 10) : 4096;
    const std::size_t height = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
    const std::size_t pixels = width * height;
    std::vector<std::uint16_t> out(pixels), copy(pixels, 1);

    const double memcpy_s = best_seconds([&] { std::memcpy(out.data(), copy.data(), pixels * 2); });
    const double memcpy_gbps = pixels * 2 / memcpy_s / 1e9;
    bench::JsonLine("pixel_unpack_memcpy").add("pixels", std::uint64_t{pixels}).add("gbps", memcpy_gbps).print();

    struct Case {
        const char* format;
        pixel::Packing packing;
    };
    for (const Case& c : {Case{"Mono12p", pixel::Packing::Lsb12}, Case{"Mono10p", pixel::Packing::Lsb10},
                          Case{"Mono12Packed", pixel::Packing::Msb12Pairs}}) {
        std::vector<std::byte> in(pixel::packed_bytes(c.packing, pixels));
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::byte>(i * 131 + 7);
        bool ok = true;
        const double s = best_seconds([&] { ok = pixel::unpack(c.packing, in, out) && ok; });
        if (!ok) return 1;
        const double gbps = pixels * 2 / s / 1e9;
        bench::JsonLine("pixel_unpack")
            .add("format", c.format)
            .add("pixels", std::uint64_t{pixels})
            .add("out_gbps", gbps)
            .add("in_gbps", in.size() / s / 1e9)
            .add("to_memcpy", gbps / memcpy_gbps)
            .print();
    }
    return 0;
}
