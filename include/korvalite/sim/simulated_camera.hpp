#pragma once
// A simulated GigE Vision camera on any IPv4 address and port: GVCP on the device port, GVSP
// to the destination the host programs, a GenICam description in device memory, and seeded
// fault injection. Two threads (control and stream) run between start() and stop().
//
//   auto cam = SimulatedCamera::create(config);   // validates, lays out the device
//   (*cam)->start();                              // binds sockets, starts the threads
//   ... any GigE Vision client talks to (*cam)->endpoint() ...
//   (*cam)->stop();                               // also done by the destructor
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/sim/config.hpp"
#include "korvalite/sim/counters.hpp"
#include "korvalite/sim/events.hpp"
#include "korvalite/sim/write_log.hpp"

namespace korvalite::sim {

class Device;

class SimulatedCamera final {
public:
    template <class T>
    using Result = std::expected<T, std::string>;

    [[nodiscard]] static Result<std::unique_ptr<SimulatedCamera>> create(SimConfig config);
    ~SimulatedCamera();
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    // Binds the device port (and the broadcast, message and stream sockets) and starts the
    // threads. Fails when already running or when the address cannot be bound.
    [[nodiscard]] Result<void> start();
    // Stops and joins both threads and closes the sockets; idempotent. start() may follow.
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }

    // The bound device port (the configured one until started; a configured port 0 is resolved
    // by start()).
    net::Endpoint endpoint() const { return endpoint_; }
    const SimConfig& config() const { return config_; }
    Device& device() { return *device_; }
    const Device& device() const { return *device_; }

    // The device's memory, counters, write log and faults, as its API users reach them.
    // Raw bytes; access modes, privilege and side effects do not apply. Errors name the address.
    [[nodiscard]] Result<gige::proto::ByteVec> peek(std::uint32_t address, std::uint64_t size) const;
    [[nodiscard]] Result<void> poke(std::uint32_t address, gige::proto::ByteView data);
    Counters& counters();
    WriteLog& writes();
    FaultConfig faults() const;
    void set_faults(const FaultConfig& faults);
    // The device's own acquisition, as AcquisitionStart and AcquisitionStop run it.
    void start_acquisition();
    void stop_acquisition();
    bool acquiring() const;
    // A pulse on input `line`: a frame-start trigger when the trigger is sourced from it. False
    // when the camera has no such line.
    bool pulse_line(std::uint32_t line);
    // The application holding control or exclusive privilege, and taking it away.
    std::optional<net::Endpoint> privilege_holder() const;
    void release_privilege();

    // The description as served from device memory (plain or zipped), its XML text, and the
    // contents of the two URL registers.
    const gige::proto::ByteVec& description_file() const { return description_file_; }
    const std::string& description_xml() const { return description_xml_; }
    const std::string& first_url() const { return first_url_; }
    const std::string& second_url() const { return second_url_; }

    // A vanished device: no answers, no stream, until set back.
    void set_gone(bool gone);
    bool gone() const { return gone_.load(std::memory_order_acquire); }
    void set_extended_ids(bool on);
    bool extended_ids() const;

    // Sends an EVENT (or EVENTDATA) command; returns its request id. Needs a running camera.
    [[nodiscard]] Result<std::uint16_t> send_event(const DeviceEvent& event);

    // Streams without a host on the control channel: programs stream channel 0 for `to` with
    // `packet_size`, turns frame pacing off and starts a continuous acquisition.
    [[nodiscard]] Result<void> stream_to(const net::Endpoint& to, std::uint32_t packet_size);

private:
    // The sockets, threads and stream sender that live between start() and stop().
    struct Live;

    SimulatedCamera(SimConfig config, std::unique_ptr<Device> device, gige::proto::ByteVec description_file,
                    std::string description_xml, std::string first_url, std::string second_url);
    [[nodiscard]] Result<void> bind_sockets();
    [[nodiscard]] Result<void> start_threads();
    // Called by the stream thread when a frame sends one of its events.
    void frame_event(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp);
    std::uint16_t next_event_id();

    SimConfig config_;
    std::unique_ptr<Device> device_;
    gige::proto::ByteVec description_file_;
    std::string description_xml_;
    std::string first_url_;
    std::string second_url_;
    net::Endpoint endpoint_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> extended_ids_;
    std::atomic<bool> running_{false};
    std::mutex lifecycle_;  // start and stop
    std::atomic<std::uint16_t> event_request_id_{0};
    std::unique_ptr<Live> live_;  // the threads borrow what it holds
};

}  // namespace korvalite::sim
