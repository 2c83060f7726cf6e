#pragma once
// The client side of the control worker: turns register and memory requests into worker
// messages and hands back their completion slots, and performs blocking reads and writes of
// device addresses with a bounded wait (what the feature model's device port needs).
//
// Copies share the worker's channel, alive flag and waker; a copy never stops or joins the
// worker. All methods may be called from any number of threads at once.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "korvalite/gige/control/messages.hpp"
#include "korvalite/gige/control/response_handle.hpp"
#include "korvalite/mpmc_channel.hpp"
#include "korvalite/net/poller.hpp"
#include "korvalite/saturating_time.hpp"

namespace korvalite::gige {

// The worker as a submitter sees it: is it running, and how to wake it.
struct WorkerView {
    std::shared_ptr<const std::atomic<bool>> alive;
    std::shared_ptr<net::Waker> waker;  // may be null
};

class ControlPort {
public:
    using Duration = std::chrono::steady_clock::duration;

    // `wait_timeout` is the unit of every blocking wait of this port (see operation_wait_timeout).
    ControlPort(Sender<ToWorker> sender, WorkerView worker, Duration wait_timeout);

    ResponseHandle<std::uint32_t> read_register(std::uint32_t address) const;
    // One READREG when the device concatenates, else one per address; identical results.
    ResponseHandle<std::vector<std::uint32_t>> read_registers(std::vector<std::uint32_t> addresses) const;
    ResponseHandle<void> write_register(std::uint32_t address, std::uint32_t value) const;
    // Any length; the address must be 4-byte aligned.
    ResponseHandle<proto::ByteVec> read_memory(std::uint32_t address, std::uint32_t length) const;
    // Address and length must be 4-byte aligned. Without WRITEMEM the words go as WRITEREG.
    ResponseHandle<void> write_memory(std::uint32_t address, proto::ByteVec data) const;

    // Blocking access: 4-byte aligned 4-byte accesses use READREG or WRITEREG, everything else
    // READMEM or WRITEMEM.
    [[nodiscard]] CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) const;
    [[nodiscard]] CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) const;

    // Adds a device-event subscriber; false if the worker no longer takes messages. `added`
    // completes once the worker has the subscriber (or fails when the worker ends first).
    bool subscribe(Sender<proto::GvcpEvent> events, ResponseHandle<void> added = {}) const;
    // Tells the worker what the device serves (its GVCP capability) and how long one PENDING_ACK
    // may extend a transaction (zero: the worker's own limit); later operations follow it.
    bool apply_device_rules(const proto::GvcpCapability& capability, std::chrono::milliseconds pending_ack_limit) const;
    // Asks the worker to end (it gives control back); false if it no longer takes messages.
    bool request_shutdown() const;

    bool is_worker_alive() const { return worker_.alive && worker_.alive->load(); }
    Duration wait_timeout() const { return wait_timeout_; }
    // The wait for a memory transfer of `length` bytes: one unit per whole 512 bytes, plus one.
    Duration memory_wait(std::size_t length) const {
        return saturating_mul(wait_timeout_, static_cast<std::int64_t>(length / 512 + 1));
    }

private:
    // The moment a caller's wait for a register or memory operation ends; the worker gives the
    // operation up then.
    to_worker::Clock::time_point register_expiry() const;
    to_worker::Clock::time_point memory_expiry(std::size_t length) const;

    template <class T>
    ResponseHandle<T> submit(ToWorker message, ResponseHandle<T> slot) const;
    bool send(ToWorker message) const;

    mutable Sender<ToWorker> sender_;
    WorkerView worker_;
    Duration wait_timeout_;
};

// The caller-side wait unit: the worker's full patience for one transaction plus 500 ms.
ControlPort::Duration operation_wait_timeout(ControlPort::Duration gvcp_timeout, std::uint8_t retries);

}  // namespace korvalite::gige
