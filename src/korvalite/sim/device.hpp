#pragma once
// The simulated camera's state and rules: its register space, control privilege, acquisition
// state, refused registers, recorded host writes and counters. Everything the GVCP responder,
// the stream sender and the public API touch goes through here, under one mutex.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/net/poller.hpp"
#include "korvalite/sim/chunk_payload.hpp"
#include "korvalite/sim/config.hpp"
#include "korvalite/sim/counters.hpp"
#include "korvalite/sim/pattern.hpp"
#include "korvalite/sim/privilege.hpp"
#include "korvalite/sim/register_space.hpp"
#include "korvalite/sim/scene.hpp"
#include "korvalite/sim/trigger_queue.hpp"
#include "korvalite/sim/write_log.hpp"

namespace korvalite::sim {

using Clock = std::chrono::steady_clock;

// A fire-test packet a register write asked for, sent once the device lock is released.
struct FireTest {
    std::uint32_t channel = 0;
    std::uint32_t size = 0;  // packet size on the path, IP and UDP headers included
    std::optional<net::Endpoint> destination;
};

struct HostWriteResult {
    std::uint16_t status = 0;
    std::uint32_t done = 0;  // registers (WRITEREG) or bytes (WRITEMEM) written before a failure
    std::vector<FireTest> fire_tests;
};

struct HostReadResult {
    std::uint16_t status = 0;
    std::vector<std::uint32_t> values;  // the registers read before any failure
};

// Where stream channel c sends, as its registers say now.
struct StreamTarget {
    std::optional<net::Endpoint> destination;  // absent: port 0, or no address to send to
    std::uint32_t packet_size = 0;
    std::uint64_t packet_delay_ticks = 0;
};

// One frame about to be produced.
struct FramePlan {
    ImageGeometry geometry;
    TestPattern pattern = TestPattern::Off;
    SceneSettings scene;  // what the scene's brightness and layout follow
    std::chrono::nanoseconds period{0};  // until the next frame may start; 0: at once
    std::uint64_t timestamp = 0;         // ticks at the frame's start
    std::uint64_t exposure_ticks = 0;    // the exposure time in ticks
    bool frame_end_event = false;
    ChunkPlan chunks;
    bool frame_start_event = false;
    bool exposure_end_event = false;
};

class Device {
public:
    // `description` is the file served from device memory (plain or zipped); the URL texts are
    // those written to the two URL registers.
    Device(const SimConfig& config, net::Ipv4Address current_ip, gige::proto::ByteVec description,
           const std::string& first_url, const std::string& second_url);

    // --- Host commands (GVCP) -------------------------------------------------------------
    HostReadResult read_registers(const net::Endpoint& peer, std::span<const std::uint32_t> addresses);
    HostWriteResult write_registers(const net::Endpoint& peer,
                                    std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                                    Clock::time_point now);
    std::uint16_t read_memory(const net::Endpoint& peer, std::uint32_t address, std::uint32_t count,
                              gige::proto::ByteVec& out);
    HostWriteResult write_memory(const net::Endpoint& peer, std::uint32_t address, gige::proto::ByteView data,
                                 Clock::time_point now);
    // The identity block a DISCOVERY acknowledge carries.
    gige::proto::ByteVec identity_block() const;
    // Any command from the controlling application keeps its privilege alive.
    void heartbeat(const net::Endpoint& peer, Clock::time_point now);
    // Drops the privilege when its heartbeat ran out; true when it did so now.
    bool expire_privilege(Clock::time_point now);

    // --- Direct access (API users and tests) ----------------------------------------------
    // Raw bytes; access modes, privilege and side effects do not apply. Errors name the address.
    std::expected<gige::proto::ByteVec, std::string> peek(std::uint32_t address, std::uint64_t size) const;
    std::expected<void, std::string> poke(std::uint32_t address, gige::proto::ByteView data);
    std::optional<net::Endpoint> privilege_holder() const;
    void release_privilege();

    // --- Acquisition and streaming --------------------------------------------------------
    void start_acquisition();
    void stop_acquisition();
    bool acquiring() const { return acquiring_.load(std::memory_order_acquire); }
    // Counts acquisition starts: the first frame of a new acquisition starts at once.
    std::uint64_t acquisition_generation() const { return generation_.load(std::memory_order_acquire); }
    // Changes whenever a register is written, so the stream sender knows to look again.
    std::uint64_t epoch() const { return epoch_.load(std::memory_order_acquire); }
    StreamTarget stream_target(std::uint32_t channel) const;
    // The next frame's settings, or nothing when not acquiring.
    std::optional<FramePlan> begin_frame(Clock::time_point now);
    // Counts a finished frame; ends SingleFrame and MultiFrame acquisitions.
    void end_frame();
    // Acquiring with the frame-start trigger on and no trigger pending: no frame is due yet.
    bool awaiting_trigger() const;
    // A pulse on input line `line` (a rising, then a falling edge): a frame-start trigger when
    // the trigger is on and sourced from that line, whatever its activation. False when the
    // camera has no such line.
    bool pulse_line(std::uint32_t line);
    std::uint64_t ticks(Clock::time_point at) const;
    std::uint32_t stream_channels() const { return stream_channels_; }
    // What the camera serves: it behaves as a device without each capability bit that is clear.
    gige::proto::GvcpCapability capability() const { return capability_; }
    std::uint32_t path_mtu() const { return path_mtu_; }
    // Whether a camera bound as this one may send to `to` (a loopback camera stays on this host).
    bool may_send_to(const net::Endpoint& to) const { return !loopback_only_ || to.address.is_loopback(); }
    // Where events go: the message channel if configured, else the controlling application.
    std::optional<net::Endpoint> event_destination() const;
    void set_message_source_port(std::uint16_t port);
    void set_stream_source_port(std::uint32_t channel, std::uint16_t port);
    // Woken when an acquisition starts, so the stream sender need not poll.
    void set_stream_waker(std::shared_ptr<net::Waker> waker);

    // --- Faults, records, counters --------------------------------------------------------
    FaultConfig faults() const;
    void set_faults(const FaultConfig& faults);
    std::uint64_t faults_version() const { return faults_version_.load(std::memory_order_acquire); }
    Counters& counters() { return counters_; }
    const Counters& counters() const { return counters_; }
    WriteLog& writes() { return writes_; }

private:
    using Lock = std::unique_lock<std::mutex>;

    std::uint16_t check_read(const net::Endpoint& peer, std::uint32_t address, std::uint64_t size) const;
    std::uint16_t check_write(const net::Endpoint& peer, std::uint32_t address, std::uint64_t size) const;
    std::uint16_t refused(std::uint32_t address, std::uint64_t size) const;
    // One register's worth of a host write, with its rules and side effects.
    std::uint16_t apply_register(const net::Endpoint& peer, std::uint32_t address, std::uint32_t value,
                                 Clock::time_point now, HostWriteResult& result);
    std::uint16_t apply_privilege(const net::Endpoint& peer, std::uint32_t value, Clock::time_point now);
    std::uint16_t apply_stream_register(std::uint32_t address, std::uint32_t value, HostWriteResult& result);
    std::uint16_t apply_feature_register(std::uint32_t address, std::uint32_t value, Clock::time_point now);
    bool trigger_on_locked() const;
    // Accepts a trigger from `source` while acquiring with the trigger on and set to it.
    void trigger_locked(std::uint32_t source, Clock::time_point now);
    std::uint16_t apply_frame_rate(double hz);
    bool is_stream_register(std::uint32_t address, std::uint32_t& channel, std::uint32_t& offset) const;
    StreamTarget stream_target_locked(std::uint32_t channel) const;
    void publish_privilege();
    // Control ended (released or expired): streams stop, channels close, parameters unlock.
    void reset_after_control_loss();
    void set_acquiring(bool on);
    double frame_rate_locked() const;
    std::uint64_t ticks_locked(Clock::time_point at) const;
    void bump() { epoch_.fetch_add(1, std::memory_order_acq_rel); }
    // With spare memory: maps every unmapped word of the range as plain read-write memory.
    void map_spare(std::uint32_t address, std::uint64_t size);

    mutable std::mutex mutex_;
    RegisterSpace space_;
    ControlPrivilege privilege_;
    FaultConfig faults_;
    std::atomic<std::uint64_t> faults_version_{0};
    Clock::time_point tick_origin_;
    std::uint64_t tick_frequency_;
    std::uint32_t min_heartbeat_timeout_ms_;
    std::uint32_t stream_channels_;
    gige::proto::GvcpCapability capability_;
    std::uint32_t path_mtu_;
    // Bound to a loopback address: stream and events go to loopback destinations only.
    bool loopback_only_;
    bool spare_memory_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<bool> acquiring_{false};
    std::atomic<std::uint64_t> generation_{0};
    std::uint32_t frames_left_ = 0;  // 0: until stopped
    TriggerQueue triggers_;
    std::shared_ptr<net::Waker> stream_waker_;
    Counters counters_;
    WriteLog writes_;
};

}  // namespace korvalite::sim
