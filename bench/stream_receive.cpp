// Stream receive against the simulated camera on loopback: for 640x480 and 2048x2048 Mono8 at
// packet sizes 1500 and 9000, the camera streams at increasing frame rates (image data of 0.25,
// 0.5, 1, 2, 4 ... Gbit/s) and finally as fast as it can. For each rate: frames sent by the
// camera against frames delivered complete, frames/s, MB/s, the receive thread's CPU seconds
// per GB received and its heap allocations per frame. Per case: the highest rate with no lost
// or failed frame, and the camera's own maximum into a plain draining socket, so that a
// receiver that slows the camera down shows. Last, the reassembly alone (datagrams handed
// straight to the StreamRunner, no socket) per packet size, which separates the driver's own
// cost from the kernel's copy out of the socket.
//
// With --receive-buffer BYTES the socket's receive buffer is requested at that size instead of
// the automatic one. With --packet-ring the stream is received through a packet ring instead of the socket (the
// reassembly-alone part is then left out). The kernel's copy into the ring is done where the
// packet is received: on loopback in the sending thread, so the camera's stream thread CPU and
// the whole process's are shown beside the receive thread's (all per GB received).
//
//   ./build/cpp/stream_receive [--quick] [--reassembly-only] [--packet-ring] [--receive-buffer BYTES] [--case 640x480/9000 ...]
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.hpp"
#include "bench_util.hpp"
#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/stream/detail/stream_runner.hpp"
#include "korvalite/net/packet_ring.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "sim_rig.hpp"

using namespace korvalite;
using namespace std::chrono;
using bench::Clock;
using bench::StreamCase;

namespace {

const net::Ipv4Address kCameraIp{0x7F000050};  // 127.0.0.80
const net::Ipv4Address kHostIp{0x7F000051};    // 127.0.0.81

struct Options {
    bool quick = false;            // shorter windows, fewer rates: a smoke run
    bool reassembly_only = false;  // only the part without sockets (for profiling)
    bool packet_ring = false;      // receive through a packet ring
    std::size_t receive_buffer = 0;  // socket receive buffer request; 0: the automatic size
    std::vector<std::string> only_cases;  // cases by their labels; empty: all

    std::string receive_path() const {
        if (packet_ring) return "ring";
        if (receive_buffer != 0) return "socket, " + std::to_string(receive_buffer >> 20) + " MiB buffer";
        return "socket";
    }
};

struct RateResult {
    StreamCase c;
    std::optional<double> target_gbps;  // nothing: unpaced
    double seconds = 0;
    std::uint64_t frames_sent = 0;
    std::uint64_t frames_complete = 0;
    std::uint64_t frames_failed = 0;  // the four kinds below together
    std::uint64_t incomplete = 0;     // delivered, but not complete
    std::uint64_t underruns = 0;      // no free buffer when the frame began
    std::uint64_t never_seen = 0;     // no packet of it arrived (block ids skipped)
    std::uint64_t dropped = 0;        // complete, but the subscription was full
    std::uint64_t resend_requests = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cpu_ns = 0;
    std::uint64_t sender_cpu_ns = 0;
    std::uint64_t process_cpu_ns = 0;
    std::uint64_t worker_allocations = 0;

    double fps() const { return static_cast<double>(frames_sent) / seconds; }
    double mb_per_s() const { return static_cast<double>(bytes) / seconds / 1e6; }
    double gbps() const { return static_cast<double>(bytes) * 8.0 / seconds / 1e9; }
    double cpu_s_per_gb() const { return bytes ? static_cast<double>(cpu_ns) / static_cast<double>(bytes) : 0; }
    double sender_cpu_s_per_gb() const {
        return bytes ? static_cast<double>(sender_cpu_ns) / static_cast<double>(bytes) : 0;
    }
    double process_cpu_s_per_gb() const {
        return bytes ? static_cast<double>(process_cpu_ns) / static_cast<double>(bytes) : 0;
    }
    double allocations_per_frame() const {
        return frames_sent ? static_cast<double>(worker_allocations) / static_cast<double>(frames_sent) : 0;
    }
    bool lossless() const { return frames_sent > 0 && frames_failed == 0 && frames_complete == frames_sent; }
};

RateResult measure_rate(bench::SimRig& rig, std::optional<double> target_gbps, const Options& options) {
    const StreamCase& c = rig.stream_case();
    std::optional<double> fps;
    if (target_gbps) fps = *target_gbps * 1e9 / 8.0 / static_cast<double>(c.payload());
    // Long enough for 30 frames, between one and three seconds (shorter in a quick run).
    double window = fps ? std::clamp(30.0 / *fps, 1.0, 3.0) : 1.0;
    if (options.quick) window = std::min(window, 0.3);
    rig.set_frame_rate(fps);

    const auto before = rig.counters();
    const auto allocations_before = bench::alloc::count_of(rig.worker_tid());
    const auto t0 = Clock::now();
    rig.start();
    std::this_thread::sleep_for(duration<double>(window));
    rig.stop();
    const double seconds = bench::seconds_since(t0);
    rig.settle();
    const auto after = rig.counters();
    const auto allocations = bench::alloc::count_of(rig.worker_tid()) - allocations_before;

    RateResult r;
    r.c = c;
    r.target_gbps = target_gbps;
    r.seconds = seconds;
    r.frames_sent = after.sim_frames - before.sim_frames;
    r.frames_complete = after.delivered_complete - before.delivered_complete;
    const auto& s1 = after.stream;
    const auto& s0 = before.stream;
    r.incomplete = after.delivered_other - before.delivered_other;
    r.underruns = s1.underruns - s0.underruns;
    r.never_seen = s1.missing_frames - s0.missing_frames;
    r.dropped = s1.frames_dropped - s0.frames_dropped;
    r.frames_failed = r.incomplete + r.underruns + r.never_seen + r.dropped;
    r.resend_requests = s1.resend_requests - s0.resend_requests;
    r.bytes = s1.bytes - s0.bytes;
    r.cpu_ns = after.worker_cpu_ns - before.worker_cpu_ns;
    r.sender_cpu_ns = after.sender_cpu_ns - before.sender_cpu_ns;
    r.process_cpu_ns = after.process_cpu_ns - before.process_cpu_ns;
    r.worker_allocations = allocations;
    return r;
}

// The camera alone, as fast as it can, into a socket that a plain loop drains with recvmmsg.
struct DrainResult {
    double fps = 0;
    double gbps = 0;
};

DrainResult camera_maximum(const StreamCase& c, double window) {
    sim::SimConfig config;
    config.bind = {kCameraIp, 0};
    config.answer_broadcast = false;
    config.image.sensor_width = std::max<std::uint32_t>(c.width, 1280);
    config.image.sensor_height = std::max<std::uint32_t>(c.height, 960);
    config.image.width = c.width;
    config.image.height = c.height;
    config.image.exposure_us = 10.0;
    auto cam = sim::SimulatedCamera::create(config);
    if (!cam || !(*cam)->start()) return {};
    auto sink = net::UdpSocket::bind({kHostIp, 0});
    if (!sink) return {};
    (void)sink->set_receive_buffer(8u << 20);
    (void)sink->set_receive_timeout(50);
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        constexpr std::size_t kBatch = 32, kSize = 9000;
        std::vector<std::byte> storage(kBatch * kSize);
        std::vector<iovec> iov(kBatch);
        std::vector<mmsghdr> msgs(kBatch);
        for (std::size_t i = 0; i < kBatch; ++i) {
            iov[i] = {storage.data() + i * kSize, kSize};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (!stop.load(std::memory_order_relaxed)) {
            const int n = ::recvmmsg(sink->fd(), msgs.data(), kBatch, 0, nullptr);
            for (int i = 0; i < n; ++i) bytes.fetch_add(msgs[i].msg_len, std::memory_order_relaxed);
        }
    });
    auto& counters = (*cam)->device().counters();
    DrainResult r;
    if ((*cam)->stream_to(*sink->local_endpoint(), c.packet_size)) {
        std::this_thread::sleep_for(200ms);
        const auto frames0 = counters.get(sim::Counter::FramesSent);
        const auto bytes0 = bytes.load();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(duration<double>(window));
        const double s = bench::seconds_since(t0);
        r.fps = static_cast<double>(counters.get(sim::Counter::FramesSent) - frames0) / s;
        r.gbps = static_cast<double>(bytes.load() - bytes0) * 8.0 / s / 1e9;
    }
    (*cam)->stop();
    stop = true;
    reader.join();
    return r;
}

// --- The reassembly alone ---------------------------------------------------------------------

std::vector<gige::proto::ByteVec> frame_datagrams(std::uint64_t payload, std::uint32_t packet_size) {
    namespace proto = gige::proto;
    const std::uint32_t per_packet = proto::payload_bytes_per_packet(packet_size, false);
    const auto payload_packets = static_cast<std::uint32_t>((payload + per_packet - 1) / per_packet);
    std::vector<proto::ByteVec> packets;
    proto::ByteVec leader(proto::kGvspHeaderSize + proto::kImageLeaderSize);
    proto::put_gvsp_header(leader, 0, 1, false, proto::packet_format::kLeader, 0);
    proto::put_image_leader(std::span(leader).subspan(proto::kGvspHeaderSize), 1, 0, proto::PixelFormat::kMono8, 2048,
                            static_cast<std::uint32_t>(payload / 2048), 0, 0, 0, 0);
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

struct ReassemblyResult {
    double ns_per_packet = 0;
    double cpu_s_per_gb = 0;
};

ReassemblyResult reassembly_alone(std::uint64_t payload, std::uint32_t packet_size, int frames) {
    namespace gs = gige::stream;
    struct NoLink : gs::ResendLink {
        CameraResult<void> send(gige::proto::ByteView) override { return {}; }
    } link;
    auto datagrams = frame_datagrams(payload, packet_size);
    gs::StreamOptions options;
    options.payload_size = payload;
    auto [control_tx, control_rx] = unbounded<gs::ToStreamWorker>();
    auto [frames_tx, frames_rx] = bounded<gs::FramePtr>(64);
    (void)control_tx.try_send(gs::Subscribe{frames_tx});
    const net::Endpoint device{kCameraIp, 3956};
    gs::StreamRunner runner(options, {device, packet_size, 0, true}, *gs::FramePool::create(8, payload),
                            std::move(control_rx), std::make_shared<gs::StreamShared>(), link);
    std::uint64_t bytes = 0, packets = 0;
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    for (int f = 1; f <= frames; ++f) {
        const auto now = steady_clock::now();
        for (auto& p : datagrams) {
            gige::proto::put_u16(p, 2, static_cast<std::uint16_t>(f));
            runner.handle_datagram(p, device, now);
            bytes += p.size();
            ++packets;
        }
        frames_rx.drain();
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpu_ns = (cpu1.tv_sec - cpu0.tv_sec) * 1e9 + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec);
    if (runner.stats().completed_frames != static_cast<std::uint64_t>(frames))
        std::printf("reassembly alone: frames lost!\n");
    return {cpu_ns / static_cast<double>(packets), cpu_ns / static_cast<double>(bytes)};
}

// --- Output -----------------------------------------------------------------------------------

std::string rate_label(const RateResult& r) {
    if (!r.target_gbps) return "max";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", *r.target_gbps);
    return buf;
}

void print_row(const RateResult& r) {
    std::printf("%-15s %6s %9.1f %9.1f %7.3f %7llu %7llu %6llu %7llu %8.4f %8.4f %8.4f %8.2f %s\n", r.c.label().c_str(),
                rate_label(r).c_str(), r.fps(), r.mb_per_s(), r.gbps(), static_cast<unsigned long long>(r.frames_sent),
                static_cast<unsigned long long>(r.frames_complete), static_cast<unsigned long long>(r.frames_failed),
                static_cast<unsigned long long>(r.resend_requests), r.cpu_s_per_gb(), r.sender_cpu_s_per_gb(),
                r.process_cpu_s_per_gb(), r.allocations_per_frame(),
                r.lossless() ? "ok" : "LOSS");
    std::fflush(stdout);
}

void print_json(const RateResult& r, const Options& options) {
    bench::JsonLine j("stream_receive");
    j.add("receive_path", options.receive_path()).add("case", r.c.label()).add("width", r.c.width).add("height", r.c.height).add("packet_size", r.c.packet_size);
    j.add("target_gbps", r.target_gbps ? rate_label(r) : std::string("max"));
    j.add("fps", r.fps()).add("mb_per_s", r.mb_per_s()).add("gbps", r.gbps());
    j.add("frames_sent", r.frames_sent).add("frames_complete", r.frames_complete).add("frames_failed", r.frames_failed);
    j.add("incomplete", r.incomplete).add("underruns", r.underruns).add("never_seen", r.never_seen).add("dropped", r.dropped);
    j.add("resend_requests", r.resend_requests).add("cpu_s_per_gb", r.cpu_s_per_gb());
    j.add("sender_cpu_s_per_gb", r.sender_cpu_s_per_gb()).add("process_cpu_s_per_gb", r.process_cpu_s_per_gb());
    j.add("allocations_per_frame", r.allocations_per_frame()).add("lossless", r.lossless());
    j.print();
}

void print_summary(const StreamCase& c, const std::vector<RateResult>& results, const DrainResult& camera_max,
                   const Options& options) {
    const RateResult* best = nullptr;
    const RateResult* unpaced = nullptr;
    const RateResult* one_gbps = nullptr;
    for (const auto& r : results) {
        if (r.lossless() && (!best || r.gbps() > best->gbps())) best = &r;
        if (!r.target_gbps) unpaced = &r;
        if (r.target_gbps && *r.target_gbps == 1.0) one_gbps = &r;
    }
    bench::JsonLine j("stream_receive_summary");
    j.add("receive_path", options.receive_path()).add("case", c.label()).add("width", c.width).add("height", c.height).add("packet_size", c.packet_size);
    j.add("camera_max_fps", camera_max.fps).add("camera_max_gbps", camera_max.gbps);
    if (unpaced) {
        j.add("receiver_max_fps", unpaced->fps()).add("receiver_max_gbps", unpaced->gbps());
        j.add("receiver_to_camera_max", camera_max.gbps > 0 ? unpaced->gbps() / camera_max.gbps : 0.0);
        j.add("lossless_at_max", unpaced->lossless());
    }
    if (one_gbps) j.add("lossless_at_1gbps", one_gbps->lossless());
    if (best) {
        j.add("max_lossless_fps", best->fps()).add("max_lossless_mb_per_s", best->mb_per_s());
        j.add("max_lossless_gbps", best->gbps()).add("cpu_s_per_gb", best->cpu_s_per_gb());
        j.add("sender_cpu_s_per_gb", best->sender_cpu_s_per_gb());
        j.add("process_cpu_s_per_gb", best->process_cpu_s_per_gb());
        j.add("allocations_per_frame", best->allocations_per_frame());
        std::printf("%s (%s): highest lossless %.1f frames/s = %.0f MB/s (%.2f Gbit/s), receive thread %.4f CPU s/GB, "
                    "sending thread %.4f, whole process %.4f; camera alone %.2f Gbit/s, with this receiver %.2f Gbit/s\n",
                    c.label().c_str(), options.receive_path().c_str(), best->fps(), best->mb_per_s(), best->gbps(),
                    best->cpu_s_per_gb(), best->sender_cpu_s_per_gb(), best->process_cpu_s_per_gb(), camera_max.gbps,
                    unpaced ? unpaced->gbps() : 0.0);
    } else {
        std::printf("%s (%s): no lossless rate\n", c.label().c_str(), options.receive_path().c_str());
    }
    j.print();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--quick") == 0) options.quick = true;
        else if (std::strcmp(argv[i], "--reassembly-only") == 0) options.reassembly_only = true;
        else if (std::strcmp(argv[i], "--packet-ring") == 0) options.packet_ring = true;
        else if (std::strcmp(argv[i], "--receive-buffer") == 0 && i + 1 < argc)
            options.receive_buffer = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc) options.only_cases.emplace_back(argv[++i]);

    if (options.packet_ring) {
        auto probe = net::PacketRing::open({kHostIp, 9}, 1u << 20);
        if (!probe) {
            std::printf("packet ring not available: %s\n", probe.error().message().c_str());
            bench::JsonLine("stream_receive").add("skipped", "packet ring: " + probe.error().message()).print();
            return 0;
        }
    }

    const StreamCase cases[] = {{640, 480, 1500}, {640, 480, 9000}, {2048, 2048, 1500}, {2048, 2048, 9000}};
    const double ladder[] = {0.25, 0.5, 1, 2, 4, 8, 16};
    std::printf("receiving through the %s\n", options.packet_ring ? "packet ring" : options.receive_path().c_str());
    std::printf("%-15s %6s %9s %9s %7s %7s %7s %6s %7s %8s %8s %8s %8s\n", "case", "Gbit/s", "frames/s", "MB/s", "Gbit/s",
                "sent", "complete", "failed", "resends", "CPU s/GB", "send CPU", "all CPU", "allocs/fr");
    for (const auto& c : cases) {
        if (options.reassembly_only) break;
        if (!options.only_cases.empty() && std::ranges::find(options.only_cases, c.label()) == options.only_cases.end())
            continue;
        const DrainResult camera_max = camera_maximum(c, options.quick ? 0.3 : 1.0);
        auto rig = bench::SimRig::open(c, kCameraIp, kHostIp, options.packet_ring, options.receive_buffer);
        if (!rig) return 1;
        // A short stream first: one-time work (the subscription taken in, the buffers' first
        // pages) stays out of the measured windows.
        Options warm_up = options;
        warm_up.quick = true;
        (void)measure_rate(*rig, 1.0, warm_up);
        std::vector<RateResult> results;
        for (const double gbps : ladder) {
            if (options.quick && gbps > 1) break;
            results.push_back(measure_rate(*rig, gbps, options));
            print_row(results.back());
            // Once the camera falls short of the rate asked for, the unpaced run covers the rest.
            if (gbps >= 1 && results.back().gbps() < 0.8 * gbps) break;
        }
        results.push_back(measure_rate(*rig, std::nullopt, options));
        print_row(results.back());
        for (const auto& r : results) print_json(r, options);
        print_summary(c, results, camera_max, options);
    }

    for (const std::uint32_t packet_size : {1500u, 9000u}) {
        if (options.packet_ring) break;
        const auto r = reassembly_alone(2048 * 2048, packet_size, options.quick ? 20 : 200);
        std::printf("packet size %u, reassembly alone (no socket): %.0f ns/packet, %.4f CPU s/GB\n", packet_size,
                    r.ns_per_packet, r.cpu_s_per_gb);
        bench::JsonLine("stream_reassembly")
            .add("packet_size", packet_size)
            .add("ns_per_packet", r.ns_per_packet)
            .add("cpu_s_per_gb", r.cpu_s_per_gb)
            .print();
    }
    return 0;
}
