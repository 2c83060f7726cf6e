#pragma once
// A simulated camera on a loopback address, the driver connected to it from another loopback
// address, an open stream channel and a consumer thread that takes every frame and lets it go
// at once. The benchmark drives the camera's frame rate and acquisition directly through the
// device, the way a test bench would, and reads counters on both sides.
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bench_util.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/simulated_camera.hpp"

namespace bench {

struct StreamCase {
    std::uint32_t width = 640;
    std::uint32_t height = 480;
    std::uint32_t packet_size = 9000;

    std::uint64_t payload() const { return std::uint64_t{width} * height; }  // Mono8
    std::string label() const {
        return std::to_string(width) + "x" + std::to_string(height) + "/" + std::to_string(packet_size);
    }
};

// Counters of both sides at one moment.
struct RigCounters {
    std::uint64_t sim_frames = 0;
    std::uint64_t sim_packets = 0;
    std::uint64_t sim_resent = 0;
    korvalite::gige::stream::StreamStats stream;
    std::uint64_t delivered_complete = 0;
    std::uint64_t delivered_other = 0;
    std::uint64_t worker_cpu_ns = 0;
    std::uint64_t sender_cpu_ns = 0;  // the camera's stream thread (on loopback: also the kernel's receive work)
    std::uint64_t process_cpu_ns = 0;  // every thread of the process: camera, driver and consumer
};

class SimRig {
public:
    // Fails (with a message on stderr) when any part cannot be set up. `packet_ring`: the
    // stream is received through a packet ring (StreamOptions::packet_ring); `receive_buffer`: the
    // socket's receive buffer request (StreamOptions::receive_buffer, 0: automatic).
    static std::unique_ptr<SimRig> open(const StreamCase& c, korvalite::net::Ipv4Address camera_ip,
                                        korvalite::net::Ipv4Address host_ip, bool packet_ring = false,
                                        std::size_t receive_buffer = 0) {
        namespace kv = korvalite;
        auto rig = std::unique_ptr<SimRig>(new SimRig());
        rig->case_ = c;
        kv::sim::SimConfig config;
        config.bind = {camera_ip, 0};
        config.answer_broadcast = false;
        config.image.sensor_width = std::max<std::uint32_t>(c.width, 1280);
        config.image.sensor_height = std::max<std::uint32_t>(c.height, 960);
        config.image.width = c.width;
        config.image.height = c.height;
        config.image.exposure_us = 10.0;
        config.image.frame_rate = 1.0;
        config.resend_history_frames = 16;
        auto cam = kv::sim::SimulatedCamera::create(config);
        if (!cam) return fail("simulated camera: " + cam.error());
        rig->camera_ = std::move(*cam);
        if (auto started = rig->camera_->start(); !started) return fail("simulated camera: " + started.error());

        kv::device::CameraSettings settings;
        settings.device = rig->camera_->endpoint();
        settings.local_ip = host_ip;
        rig->driver_ = std::make_unique<kv::device::GigECamera>(settings);
        if (auto connected = rig->driver_->connect(); !connected)
            return fail("connect: " + connected.error().message());

        kv::gige::stream::StreamOptions options;
        options.payload_size = c.payload();
        options.packet_size = static_cast<std::uint16_t>(c.packet_size);
        options.packet_ring = packet_ring;
        options.receive_buffer = receive_buffer;
        // Buffers for about 64 MB of frames (8 to 64): on a busy two-core machine the consumer
        // thread can be kept off the processor for tens of milliseconds, and frames it has not
        // taken yet hold their buffers; too few would count that against the receiver as
        // underruns.
        options.n_buffers = static_cast<std::size_t>(std::clamp<std::uint64_t>((64u << 20) / c.payload(), 8, 64));
        auto stream = rig->driver_->open_stream(options);
        if (!stream) return fail("open_stream: " + stream.error().message());
        rig->stream_.emplace(std::move(*stream));
        rig->start_consumer(rig->stream_->subscribe(options.n_buffers));
        // The worker names itself once running; wait for that to find its thread.
        for (int i = 0; i < 100 && rig->worker_tid_ == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            rig->worker_tid_ = thread_id_named("korvalite-gvsp0");
        }
        if (rig->worker_tid_ == 0) return fail("stream worker thread not found");
        rig->sender_tid_ = thread_id_named("kvsim-gvsp");
        return rig;
    }

    ~SimRig() {
        if (camera_) camera_->device().stop_acquisition();
        stop_consumer_.store(true);
        if (consumer_.joinable()) consumer_.join();
        stream_.reset();
        if (driver_) driver_->disconnect(std::chrono::milliseconds(500));
        driver_.reset();
        camera_.reset();
    }

    // Frames per second the camera produces; nothing: as fast as it can.
    void set_frame_rate(std::optional<double> fps) {
        std::array<std::byte, 8> rate{};
        korvalite::gige::proto::put_u64(rate, 0, std::bit_cast<std::uint64_t>(fps.value_or(1.0)));
        std::array<std::byte, 4> enable{};
        korvalite::gige::proto::put_u32(enable, 0, fps ? 1 : 0);
        (void)device().poke(korvalite::sim::features::kAcquisitionFrameRate, rate);
        (void)device().poke(korvalite::sim::features::kAcquisitionFrameRateEnable, enable);
    }

    void start() { device().start_acquisition(); }
    void stop() { device().stop_acquisition(); }

    // After stop(): waits until the camera has finished its last frame and every frame it sent
    // has come out of the subscription, or `limit` passes (a frame lost whole never comes).
    void settle(std::chrono::milliseconds limit = std::chrono::milliseconds(600)) {
        const auto until = Clock::now() + limit;
        std::uint64_t last_sent = ~std::uint64_t{0};
        while (Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const auto now = counters();
            const bool camera_idle = now.sim_frames == last_sent;
            last_sent = now.sim_frames;
            if (camera_idle && now.delivered_complete + now.delivered_other >= now.sim_frames) return;
        }
    }

    RigCounters counters() const {
        namespace ks = korvalite::sim;
        const auto& c = camera_->device().counters();
        RigCounters r;
        r.sim_frames = c.get(ks::Counter::FramesSent);
        r.sim_packets = c.get(ks::Counter::PacketsSent) + c.get(ks::Counter::PacketsResent);
        r.sim_resent = c.get(ks::Counter::PacketsResent);
        r.stream = stream_->stats();
        r.delivered_complete = complete_.load();
        r.delivered_other = other_.load();
        r.worker_cpu_ns = thread_cpu_ns(worker_tid_);
        r.sender_cpu_ns = thread_cpu_ns(sender_tid_);
        timespec process{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &process);
        r.process_cpu_ns = static_cast<std::uint64_t>(process.tv_sec) * 1'000'000'000u +
                           static_cast<std::uint64_t>(process.tv_nsec);
        return r;
    }

    pid_t worker_tid() const { return worker_tid_; }
    const StreamCase& stream_case() const { return case_; }
    korvalite::sim::Device& device() { return camera_->device(); }
    korvalite::gige::stream::StreamChannel& stream() { return *stream_; }

private:
    SimRig() = default;

    static std::unique_ptr<SimRig> fail(const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return nullptr;
    }

    void start_consumer(korvalite::gige::stream::FrameChannel frames) {
        consumer_ = std::thread([this, frames = std::move(frames)]() mutable {
            while (!stop_consumer_.load()) {
                auto frame = frames.wait_for(std::chrono::milliseconds(50));
                if (!frame) continue;
                (frame->is_complete() ? complete_ : other_).fetch_add(1);
            }
        });
    }

    StreamCase case_;
    std::unique_ptr<korvalite::sim::SimulatedCamera> camera_;
    std::unique_ptr<korvalite::device::GigECamera> driver_;
    std::optional<korvalite::gige::stream::StreamChannel> stream_;
    std::thread consumer_;
    std::atomic<bool> stop_consumer_{false};
    std::atomic<std::uint64_t> complete_{0};
    std::atomic<std::uint64_t> other_{0};
    pid_t worker_tid_ = 0;
    pid_t sender_tid_ = 0;
};

}  // namespace bench
