#include "korvalite/gige/control/control_port.hpp"

#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"
#include "korvalite/saturating_time.hpp"

namespace korvalite::gige {

namespace {

constexpr std::uint64_t kAddressLimit = std::uint64_t{1} << 32;

CameraError beyond_32_bit(std::uint64_t address) {
    return CameraError::malformed("address " + hex_code(address, 1) + " beyond 32 bit");
}

// A transfer whose last byte lies past the 32-bit address space would wrap around to address 0
// between chunks; it is refused, naming that last byte.
std::optional<CameraError> range_error(std::uint32_t address, std::size_t length) {
    const std::uint64_t end = std::uint64_t{address} + length;
    if (length > 0 && end > kAddressLimit) return beyond_32_bit(end - 1);
    return std::nullopt;
}

}  // namespace

ControlPort::Duration operation_wait_timeout(ControlPort::Duration gvcp_timeout, std::uint8_t retries) {
    return saturating_add(saturating_mul(gvcp_timeout, static_cast<std::int64_t>(retries) + 1),
                          std::chrono::milliseconds(500));
}

ControlPort::ControlPort(Sender<ToWorker> sender, WorkerView worker, Duration wait_timeout)
    : sender_(std::move(sender)), worker_(std::move(worker)), wait_timeout_(wait_timeout) {}

bool ControlPort::send(ToWorker message) const {
    if (!is_worker_alive()) return false;
    if (!sender_.try_send(std::move(message))) return false;
    if (worker_.waker) (void)worker_.waker->wake();
    return true;
}

template <class T>
ResponseHandle<T> ControlPort::submit(ToWorker message, ResponseHandle<T> slot) const {
    if (!send(std::move(message))) {
        slot.fail(CameraError::not_connected());
        return slot;
    }
    // The worker may have ended between the first check and the send; its final drain may
    // have missed the message. Completing here has no effect if the worker already did.
    if (!is_worker_alive()) slot.fail(CameraError::not_connected());
    return slot;
}

to_worker::Clock::time_point ControlPort::register_expiry() const {
    return saturating_deadline(to_worker::Clock::now(), wait_timeout_);
}

to_worker::Clock::time_point ControlPort::memory_expiry(std::size_t length) const {
    return saturating_deadline(to_worker::Clock::now(), memory_wait(length));
}

ResponseHandle<std::uint32_t> ControlPort::read_register(std::uint32_t address) const {
    ResponseHandle<std::uint32_t> slot;
    return submit(to_worker::ReadRegister{address, slot, register_expiry()}, slot);
}

ResponseHandle<std::vector<std::uint32_t>> ControlPort::read_registers(std::vector<std::uint32_t> addresses) const {
    ResponseHandle<std::vector<std::uint32_t>> slot;
    if (addresses.empty()) {
        slot.fulfill(std::vector<std::uint32_t>{});  // nothing to ask the device
        return slot;
    }
    return submit(to_worker::ReadRegisters{std::move(addresses), slot, register_expiry()}, slot);
}

ResponseHandle<void> ControlPort::write_register(std::uint32_t address, std::uint32_t value) const {
    KORVALITE_LOG(log::targets::gige, log::Level::Trace,
                  "write register " + hex_code(address, 4) + " := " + hex_code(value, 8));
    ResponseHandle<void> slot;
    return submit(to_worker::WriteRegisters{{{address, value}}, slot, register_expiry()}, slot);
}

ResponseHandle<proto::ByteVec> ControlPort::read_memory(std::uint32_t address, std::uint32_t length) const {
    ResponseHandle<proto::ByteVec> slot;
    if (address % 4 != 0) {
        slot.fail(CameraError::malformed("read address must be 4-byte aligned"));
        return slot;
    }
    if (auto error = range_error(address, length)) {
        slot.fail(std::move(*error));
        return slot;
    }
    if (length == 0) {
        slot.fulfill(proto::ByteVec{});  // nothing to ask the device
        return slot;
    }
    return submit(to_worker::ReadMemory{address, length, slot, memory_expiry(length)}, slot);
}

ResponseHandle<void> ControlPort::write_memory(std::uint32_t address, proto::ByteVec data) const {
    KORVALITE_LOG(log::targets::gige, log::Level::Trace,
                  "write memory " + hex_code(address, 4) + " (" + std::to_string(data.size()) + " bytes)");
    ResponseHandle<void> slot;
    if (address % 4 != 0 || data.size() % 4 != 0) {
        slot.fail(CameraError::malformed("write address and length must be 4-byte aligned"));
        return slot;
    }
    if (auto error = range_error(address, data.size())) {
        slot.fail(std::move(*error));
        return slot;
    }
    if (data.empty()) {
        slot.fulfill({});  // nothing to send
        return slot;
    }
    const auto expires = memory_expiry(data.size());
    return submit(to_worker::WriteMemory{address, std::move(data), slot, expires}, slot);
}

CameraResult<void> ControlPort::read(std::uint64_t address, std::span<std::byte> buffer) const {
    if (address >= kAddressLimit) return std::unexpected(beyond_32_bit(address));
    const auto address32 = static_cast<std::uint32_t>(address);
    if (buffer.size() == 4 && address32 % 4 == 0) {
        auto value = wait_plain(read_register(address32), wait_timeout_);
        if (!value) return std::unexpected(std::move(value.error()));
        proto::put_u32(buffer, 0, *value);
        return {};
    }
    if (buffer.size() > UINT32_MAX) return std::unexpected(beyond_32_bit(address + buffer.size() - 1));
    auto bytes = wait_plain(read_memory(address32, static_cast<std::uint32_t>(buffer.size())),
                            memory_wait(buffer.size()));
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::copy(bytes->begin(), bytes->end(), buffer.begin());
    return {};
}

CameraResult<void> ControlPort::write(std::uint64_t address, std::span<const std::byte> data) const {
    if (address >= kAddressLimit) return std::unexpected(beyond_32_bit(address));
    const auto address32 = static_cast<std::uint32_t>(address);
    if (data.size() == 4 && address32 % 4 == 0)
        return wait_plain(write_register(address32, proto::u32_at(data, 0)), wait_timeout_);
    return wait_plain(write_memory(address32, proto::ByteVec(data.begin(), data.end())), memory_wait(data.size()));
}

bool ControlPort::subscribe(Sender<proto::GvcpEvent> events, ResponseHandle<void> added) const {
    return send(to_worker::Subscribe{std::move(events), std::move(added)});
}

bool ControlPort::apply_device_rules(const proto::GvcpCapability& capability,
                                     std::chrono::milliseconds pending_ack_limit) const {
    return send(to_worker::DeviceRules{capability, pending_ack_limit});
}

bool ControlPort::request_shutdown() const { return send(to_worker::Shutdown{}); }

}  // namespace korvalite::gige
