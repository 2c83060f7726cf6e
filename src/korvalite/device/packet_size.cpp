#include "korvalite/device/packet_size.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "korvalite/device/layers.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/log.hpp"
#include "korvalite/try.hpp"

namespace korvalite::device {

namespace {

namespace reg = proto::reg;

// After the first probe fails, the first of these that passes becomes the search's low bound.
constexpr std::array<std::uint32_t, 3> kFallbackProbes = {1488, 1008, 560};
constexpr std::uint32_t kSearchStep = 16;

// Each probe reads at most this many datagrams, each waiting at most this long.
constexpr int kProbeDatagrams = 3;
constexpr int kProbeWaitMs = 25;
constexpr std::size_t kProbeBuffer = 65536;
// What the IP and UDP headers add to a datagram's length on the path.
constexpr std::uint32_t kIpUdpHeaders = 28;
// Leftover test packets are read with this time-out, at most this many of them.
constexpr int kDiscardWaitMs = 5;
constexpr int kMaxDiscarded = 4096;

std::uint32_t bisect(const PacketSizeProbe& probe, std::uint32_t lo, std::uint32_t hi, std::uint32_t best) {
    while (hi - lo > kSearchStep) {
        // Bounds stay a multiple of 16 apart, so the step is at least 16.
        const std::uint32_t step = std::max(kSearchStep, (hi - lo) / 2 / kSearchStep * kSearchStep);
        const std::uint32_t mid = lo + step;
        if (auto seen = probe(mid)) {
            lo = mid;
            best = std::max(best, *seen);
        } else {
            hi = mid;
        }
    }
    return best;
}

}  // namespace

std::uint32_t search_packet_size(const PacketSizeProbe& probe) {
    // A passing largest probe still reports what arrived: a device that answered with a smaller
    // packet has not shown that the full size passes.
    if (auto seen = probe(kLargestProbe)) return std::max(*seen, kSmallestPacketSize);
    for (std::uint32_t low : kFallbackProbes) {
        if (auto seen = probe(low)) return std::max(bisect(probe, low, kLargestProbe, *seen), kSmallestPacketSize);
    }
    KORVALITE_LOG(log::targets::gige, log::Level::Warn, "packet size fire-test unsupported, falling back to 1500");
    return kFallbackPacketSize;
}

std::optional<std::uint32_t> fire_test_probe(const FireTestPath& path, std::uint32_t size) {
    const std::uint32_t command = size | reg::kScpsFireTestPacket | reg::kScpsDoNotFragment;
    if (!wait_plain(path.port.write_register(path.scps_address, command), path.port.wait_timeout())) return std::nullopt;
    std::vector<std::byte> buffer(kProbeBuffer);
    std::optional<std::uint32_t> best;
    for (int i = 0; i < kProbeDatagrams; ++i) {
        auto datagram = path.socket.receive_from(buffer);
        if (!datagram) break;  // nothing more within the wait
        if (datagram->from.address != path.device) continue;
        const std::uint64_t on_path = datagram->size + std::uint64_t{kIpUdpHeaders};
        if (on_path <= size) best = std::max(best.value_or(0), static_cast<std::uint32_t>(on_path));
    }
    return best;
}

CameraResult<std::uint16_t> negotiate_packet_size(const FireTestPath& path) {
    KORVALITE_TRY(path.socket.set_receive_timeout(kProbeWaitMs));
    const auto size = static_cast<std::uint16_t>(
        search_packet_size([&](std::uint32_t s) { return fire_test_probe(path, s); }));
    if (auto r = wait_plain(path.port.write_register(path.scps_address, size), path.port.wait_timeout()); !r)
        return std::unexpected(r.error());
    // Should the shorter time-out not take, the probes' time-out still bounds each read.
    (void)path.socket.set_receive_timeout(kDiscardWaitMs);
    std::vector<std::byte> buffer(kProbeBuffer);
    for (int i = 0; i < kMaxDiscarded && path.socket.receive_from(buffer); ++i) {
    }
    KORVALITE_LOG(log::targets::gige, log::Level::Debug, "negotiated stream packet size " + std::to_string(size));
    return size;
}

}  // namespace korvalite::device
