// Connecting to the simulated camera from C++, split the way connecting spends its time:
// control set-up (worker, privilege, heartbeat, identity registers), description download
// (URL register, memory reads, unzipping) and graph build (text check and graph). For the
// camera's own description and for the largest one in the shared folder, served plain and
// zipped. Median of several connections each, a fresh driver object every time.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/sim/simulated_camera.hpp"

using namespace korvalite;
using bench::Clock;

namespace {

const net::Ipv4Address kCameraIp{0x7F000064};  // 127.0.0.100
const net::Ipv4Address kHostIp{0x7F000065};    // 127.0.0.101

struct Served {
    std::string label;
    std::string description;  // empty: the camera's own
    sim::DescriptionPacking packing = sim::DescriptionPacking::Plain;
};

struct Split {
    double control_ms = 0, download_ms = 0, build_ms = 0;
};

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

bool connect_once(const net::Endpoint& device, Split& out) {
    device::CameraSettings settings;
    settings.device = device;
    settings.local_ip = kHostIp;
    device::GigECamera camera(settings);
    auto t0 = Clock::now();
    if (auto r = camera.connect(); !r) {
        std::fprintf(stderr, "connect: %s\n", r.error().message().c_str());
        return false;
    }
    out.control_ms = ms_since(t0);
    t0 = Clock::now();
    auto bytes = camera.genicam_xml();
    if (!bytes) {
        std::fprintf(stderr, "description: %s\n", bytes.error().message().c_str());
        return false;
    }
    out.download_ms = ms_since(t0);
    camera.set_description_cache(std::make_shared<const gige::proto::ByteVec>(std::move(*bytes)));
    t0 = Clock::now();
    if (auto r = camera.ensure_genicam(); !r) {
        std::fprintf(stderr, "graph: %s\n", r.error().message().c_str());
        return false;
    }
    out.build_ms = ms_since(t0);
    camera.disconnect(std::chrono::milliseconds(500));
    return true;
}

double median(std::vector<double> v) { return bench::quantile(v, 0.5); }

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<Served> served = {{"builtin", "", sim::DescriptionPacking::Plain}};
    const auto files = bench::description_files(bench::descriptions_dir());
    for (const auto& f : files) {
        if (f.extension() != ".xml") continue;
        const std::string text = bench::read_file(f);
        served.push_back({f.filename().string() + " plain", text, sim::DescriptionPacking::Plain});
        served.push_back({f.filename().string() + " zipped", text, sim::DescriptionPacking::ZipDeflated});
        break;  // the largest
    }

    std::printf("%-55s %8s %10s %11s %9s %9s\n", "description", "bytes", "control ms", "download ms", "build ms",
                "total ms");
    for (const auto& s : served) {
        sim::SimConfig config;
        config.bind = {kCameraIp, 0};
        config.answer_broadcast = false;
        config.description = s.description;
        config.packing = s.packing;
        auto cam = sim::SimulatedCamera::create(config);
        if (!cam || !(*cam)->start()) {
            std::fprintf(stderr, "cannot start the simulated camera for %s\n", s.label.c_str());
            return 1;
        }
        std::vector<double> control, download, build, total;
        for (int i = 0; i < repeats; ++i) {
            Split split;
            if (!connect_once((*cam)->endpoint(), split)) return 1;
            control.push_back(split.control_ms);
            download.push_back(split.download_ms);
            build.push_back(split.build_ms);
            total.push_back(split.control_ms + split.download_ms + split.build_ms);
        }
        const std::uint64_t bytes = (*cam)->description_file().size();
        std::printf("%-55s %8llu %10.2f %11.2f %9.2f %9.2f\n", s.label.c_str(), static_cast<unsigned long long>(bytes),
                    median(control), median(download), median(build), median(total));
        bench::JsonLine("connect")
            .add("description", s.label)
            .add("served_bytes", bytes)
            .add("control_ms", median(control))
            .add("download_ms", median(download))
            .add("build_ms", median(build))
            .add("total_ms", median(total))
            .print();
    }
    return 0;
}
