// Stream receive throughput: a paced sender on loopback streams frames to the receive worker at
// increasing rates, for packet sizes 1500 and 9000. For each rate it reports frames sent and
// received complete, packets/s, Gbit/s, the receive thread's CPU seconds per GB received and the
// heap allocations per frame while streaming; at the end, the highest rate with no lost or
// failed frame per packet size. One JSON line per measurement follows the human table.
//
//   ./build/cpp/stream_receive [--seconds S] [--payload BYTES] [--max-gbps G]
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/stream/runner.hpp"
#include "korvalite/gige/stream/worker.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace std::chrono;

// --- Heap allocation counting (every thread) -------------------------------------------------

static std::atomic<std::uint64_t> g_allocations{0};

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Config {
    double seconds = 1.0;
    std::uint64_t payload = 2'000'000;
    double max_gbps = 40.0;
};

struct Measurement {
    std::uint32_t packet_size = 0;
    double target_gbps = 0;
    std::uint64_t frames_sent = 0;
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;  // failed, timed out, aborted, never delivered
    double packets_per_s = 0;
    double gbps = 0;
    double cpu_s_per_gb = 0;
    double allocations_per_frame = 0;
    double send_seconds = 0;
    bool lossless() const { return failed == 0 && completed == frames_sent; }
};

// Nanoseconds the thread named `name` of this process has run so far (0 if not found).
std::uint64_t thread_cpu_ns(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (!std::getline(comm, line) || line != name) continue;
        std::ifstream schedstat(task.path() / "schedstat");
        std::uint64_t ns = 0;
        schedstat >> ns;
        return ns;
    }
    return 0;
}

// All datagrams of one frame, built once; the sender patches the block id per frame.
std::vector<proto::ByteVec> frame_template(std::uint64_t payload, std::uint32_t packet_size) {
    const std::uint32_t per_packet = proto::payload_bytes_per_packet(packet_size, false);
    const auto payload_packets = static_cast<std::uint32_t>((payload + per_packet - 1) / per_packet);
    std::vector<proto::ByteVec> packets;
    proto::ByteVec leader(proto::kGvspHeaderSize + proto::kImageLeaderSize);
    proto::put_gvsp_header(leader, 0, 1, false, proto::packet_format::kLeader, 0);
    proto::put_image_leader(std::span(leader).subspan(proto::kGvspHeaderSize), 1, 0, proto::PixelFormat::kMono8, 2000,
                            static_cast<std::uint32_t>(payload / 2000), 0, 0, 0, 0);
    packets.push_back(std::move(leader));
    for (std::uint32_t k = 1; k <= payload_packets; ++k) {
        const std::size_t size = std::min<std::uint64_t>(per_packet, payload - std::uint64_t{k - 1} * per_packet);
        proto::ByteVec p(proto::kGvspHeaderSize + size, std::byte{0x5A});
        proto::put_gvsp_header(p, 0, 1, false, proto::packet_format::kPayload, k);
        packets.push_back(std::move(p));
    }
    proto::ByteVec trailer(proto::kGvspHeaderSize + proto::kImageTrailerSize);
    proto::put_gvsp_header(trailer, 0, 1, false, proto::packet_format::kTrailer, payload_packets + 1);
    packets.push_back(std::move(trailer));
    return packets;
}

// Sends `frames` frames paced to `gbps` (datagram bytes); returns the seconds it took.
double send_paced(const net::UdpSocket& sock, net::Endpoint to, std::vector<proto::ByteVec>& packets,
                  std::uint64_t frames, double gbps) {
    constexpr std::size_t kBurst = 32;
    const sockaddr_in dest = to.to_sockaddr();
    std::vector<iovec> iov(packets.size());
    std::vector<mmsghdr> msgs(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        iov[i] = {packets[i].data(), packets[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&dest);
        msgs[i].msg_hdr.msg_namelen = sizeof dest;
    }
    const double bytes_per_ns = gbps / 8.0;
    const auto start = steady_clock::now();
    std::uint64_t sent_bytes = 0;
    std::uint16_t block = 0;
    for (std::uint64_t f = 0; f < frames; ++f) {
        block = block == 0xFFFF ? 1 : static_cast<std::uint16_t>(block + 1);  // standard ids skip 0
        for (auto& p : packets) proto::put_u16(p, 2, block);
        for (std::size_t first = 0; first < packets.size(); first += kBurst) {
            const std::size_t n = std::min(kBurst, packets.size() - first);
            const auto due = start + nanoseconds(static_cast<std::int64_t>(sent_bytes / bytes_per_ns));
            for (auto now = steady_clock::now(); now < due; now = steady_clock::now()) {
                if (due - now > 80us) std::this_thread::sleep_for(due - now - 60us);
                else std::this_thread::yield();
            }
            std::size_t done = 0;
            while (done < n) {
                const int r = ::sendmmsg(sock.fd(), msgs.data() + first + done, static_cast<unsigned>(n - done), 0);
                if (r > 0) done += static_cast<std::size_t>(r);
            }
            for (std::size_t i = first; i < first + n; ++i) sent_bytes += packets[i].size();
        }
    }
    return duration<double>(steady_clock::now() - start).count();
}

Measurement measure(const Config& config, std::uint32_t packet_size, double gbps) {
    auto templ = frame_template(config.payload, packet_size);
    std::uint64_t frame_bytes = 0;
    for (const auto& p : templ) frame_bytes += p.size();
    const auto frames = std::max<std::uint64_t>(
        20, static_cast<std::uint64_t>(gbps * 1e9 / 8.0 * config.seconds / static_cast<double>(frame_bytes)));

    auto device = *net::UdpSocket::bind({*net::Ipv4Address::parse("127.0.0.59"), 0});
    int sndbuf = 4 << 20;
    ::setsockopt(device.fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    auto socket = *net::UdpSocket::bind({*net::Ipv4Address::parse("127.0.0.58"), 0});
    (void)socket.set_receive_buffer(8 << 20);
    const auto stream_endpoint = *socket.local_endpoint();
    gige::stream::StreamOptions options;
    options.payload_size = config.payload;
    auto worker = std::move(*gige::stream::StreamWorker::spawn(
        std::move(socket), options, {*device.local_endpoint(), packet_size, 0, true}));

    auto subscription = worker->subscribe(64);
    std::atomic<std::uint64_t> completed{0}, failed{0};
    std::thread consumer([&, rx = std::move(subscription)]() mutable {
        for (;;) {
            auto frame = rx.recv_timeout(1s);
            if (!frame) {
                if (frame.error() == RecvTimeoutError::Disconnected) return;
                continue;
            }
            ((*frame)->is_complete() ? completed : failed).fetch_add(1);
        }
    });

    std::this_thread::sleep_for(20ms);  // the worker has started and named itself
    const std::uint64_t cpu_before = thread_cpu_ns("korvalite-gvsp0");
    const std::uint64_t allocations_before = g_allocations.load();
    const double send_seconds = send_paced(device, stream_endpoint, templ, frames, gbps);
    for (int i = 0; i < 100 && completed + failed < frames; ++i) std::this_thread::sleep_for(10ms);
    const std::uint64_t allocations = g_allocations.load() - allocations_before;
    const std::uint64_t cpu_ns = thread_cpu_ns("korvalite-gvsp0") - cpu_before;
    const auto stats = worker->stats();
    worker.reset();
    consumer.join();

    Measurement m;
    m.packet_size = packet_size;
    m.target_gbps = gbps;
    m.frames_sent = frames;
    m.completed = completed;
    m.failed = frames - std::min(frames, completed.load());
    m.send_seconds = send_seconds;
    m.packets_per_s = static_cast<double>(stats.packets) / send_seconds;
    m.gbps = static_cast<double>(stats.bytes) * 8.0 / send_seconds / 1e9;
    m.cpu_s_per_gb = stats.bytes ? static_cast<double>(cpu_ns) / static_cast<double>(stats.bytes) : 0;
    m.allocations_per_frame = static_cast<double>(allocations) / static_cast<double>(frames);
    return m;
}

// The reassembly alone, without sockets: the same datagrams handed straight to a StreamRunner.
struct RunnerOnly {
    double ns_per_packet;
    double cpu_s_per_gb;
};

RunnerOnly measure_runner_only(const Config& config, std::uint32_t packet_size) {
    struct NoLink : gige::stream::ResendLink {
        CameraResult<void> send(proto::ByteView) override { return {}; }
    } link;
    auto templ = frame_template(config.payload, packet_size);
    gige::stream::StreamOptions options;
    options.payload_size = config.payload;
    auto [control_tx, control_rx] = unbounded<gige::stream::ToStreamWorker>();
    auto [frames_tx, frames_rx] = bounded<gige::stream::FramePtr>(64);
    (void)control_tx.try_send(gige::stream::Subscribe{frames_tx});
    const net::Endpoint device{*net::Ipv4Address::parse("127.0.0.59"), 3956};
    gige::stream::StreamRunner runner(options, {device, packet_size, 0, true},
                                      *gige::stream::FramePool::create(8, config.payload), std::move(control_rx),
                                      std::make_shared<gige::stream::StreamShared>(), link);
    constexpr int kFrames = 400;
    std::uint64_t bytes = 0, packets = 0;
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    for (int f = 1; f <= kFrames; ++f) {
        const auto now = steady_clock::now();
        for (auto& p : templ) {
            proto::put_u16(p, 2, static_cast<std::uint16_t>(f));
            runner.handle_datagram(p, device.address, now);
            bytes += p.size();
            ++packets;
        }
        frames_rx.drain();
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpu_ns = (cpu1.tv_sec - cpu0.tv_sec) * 1e9 + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec);
    if (runner.stats().completed_frames != kFrames) std::printf("runner-only: frames lost!\n");
    return {cpu_ns / static_cast<double>(packets), cpu_ns / static_cast<double>(bytes)};
}

void print_row(const Measurement& m) {
    std::printf("%6u %8.2f %8.2f %10.0f %7llu %7llu %7llu %9.3f %9.2f %s\n", m.packet_size, m.target_gbps, m.gbps,
                m.packets_per_s, static_cast<unsigned long long>(m.frames_sent),
                static_cast<unsigned long long>(m.completed), static_cast<unsigned long long>(m.failed),
                m.cpu_s_per_gb, m.allocations_per_frame, m.lossless() ? "ok" : "LOSS");
}

void print_json(const Measurement& m) {
    std::printf(
        "{\"bench\": \"stream_receive\", \"packet_size\": %u, \"target_gbps\": %.3f, \"gbps\": %.3f, "
        "\"packets_per_s\": %.0f, \"frames_sent\": %llu, \"frames_complete\": %llu, \"frames_lost_or_failed\": %llu, "
        "\"cpu_s_per_gb\": %.4f, \"allocations_per_frame\": %.3f, \"lossless\": %s}\n",
        m.packet_size, m.target_gbps, m.gbps, m.packets_per_s, static_cast<unsigned long long>(m.frames_sent),
        static_cast<unsigned long long>(m.completed), static_cast<unsigned long long>(m.failed), m.cpu_s_per_gb,
        m.allocations_per_frame, m.lossless() ? "true" : "false");
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds") config.seconds = std::atof(argv[i + 1]);
        else if (flag == "--payload") config.payload = std::strtoull(argv[i + 1], nullptr, 10);
        else if (flag == "--max-gbps") config.max_gbps = std::atof(argv[i + 1]);
    }
    const double rates[] = {0.25, 0.5, 1, 1.5, 2, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 30, 40};
    std::vector<Measurement> all;
    std::printf("stream receive, %llu-byte frames, %.1f s per rate, loopback\n",
                static_cast<unsigned long long>(config.payload), config.seconds);
    std::printf("%6s %8s %8s %10s %7s %7s %7s %9s %9s\n", "packet", "target", "Gbit/s", "packets/s", "frames",
                "complete", "lost", "cpu s/GB", "allocs/fr");
    for (const std::uint32_t packet_size : {1500u, 9000u}) {
        int failures = 0;
        for (const double gbps : rates) {
            if (gbps > config.max_gbps) break;
            const auto m = measure(config, packet_size, gbps);
            print_row(m);
            all.push_back(m);
            // Two lossy rates in a row, or a sender that cannot keep up, end the climb.
            failures = m.lossless() ? 0 : failures + 1;
            if (failures >= 2 || m.gbps < 0.7 * gbps) break;
        }
    }
    for (const std::uint32_t packet_size : {1500u, 9000u}) {
        const auto r = measure_runner_only(config, packet_size);
        std::printf("packet size %u, reassembly alone (no socket): %.0f ns/packet, %.3f CPU s/GB\n", packet_size,
                    r.ns_per_packet, r.cpu_s_per_gb);
        std::printf("{\"bench\": \"stream_reassembly\", \"packet_size\": %u, \"ns_per_packet\": %.1f, "
                    "\"cpu_s_per_gb\": %.4f}\n",
                    packet_size, r.ns_per_packet, r.cpu_s_per_gb);
    }
    for (const auto& m : all) print_json(m);
    for (const std::uint32_t packet_size : {1500u, 9000u}) {
        const Measurement* best = nullptr;
        for (const auto& m : all)
            if (m.packet_size == packet_size && m.lossless() && (!best || m.gbps > best->gbps)) best = &m;
        if (!best) {
            std::printf("packet size %u: no lossless rate\n", packet_size);
            continue;
        }
        const Measurement* last = nullptr;
        for (const auto& m : all)
            if (m.packet_size == packet_size) last = &m;
        const char* limit = last->lossless() ? "the sender could go no faster" : "loss above it";
        std::printf("packet size %u: highest lossless %.2f Gbit/s, %.0f packets/s, %.3f receive-thread CPU s/GB, "
                    "%.2f allocations/frame (%s)\n",
                    packet_size, best->gbps, best->packets_per_s, best->cpu_s_per_gb, best->allocations_per_frame,
                    limit);
        std::printf("{\"bench\": \"stream_receive_summary\", \"packet_size\": %u, \"max_lossless_gbps\": %.3f, "
                    "\"packets_per_s\": %.0f, \"cpu_s_per_gb\": %.4f}\n",
                    packet_size, best->gbps, best->packets_per_s, best->cpu_s_per_gb);
    }
    return 0;
}
