#pragma once
// The messages the control worker accepts over its unbounded channel.
#include <chrono>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "korvalite/gige/control/response_handle.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/mpmc_channel.hpp"

namespace korvalite::gige {

namespace to_worker {

using Clock = std::chrono::steady_clock;
// Register and memory messages carry the moment their caller stops waiting: past it the worker
// fails them instead of letting them hold the channel.
inline constexpr Clock::time_point kNoExpiry = Clock::time_point::max();

// One READREG of one address.
struct ReadRegister {
    std::uint32_t address = 0;
    ResponseHandle<std::uint32_t> slot;
    Clock::time_point expires = kNoExpiry;
};

// All addresses: one READREG when the device concatenates, else one READREG each; the values
// come back in request order.
struct ReadRegisters {
    std::vector<std::uint32_t> addresses;
    ResponseHandle<std::vector<std::uint32_t>> slot;
    Clock::time_point expires = kNoExpiry;
};

// All (address, value) pairs, in one WRITEREG when the device concatenates.
struct WriteRegisters {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    ResponseHandle<void> slot;
    Clock::time_point expires = kNoExpiry;
};

// READMEM transactions of at most 512 bytes each; delivers exactly `length` bytes.
struct ReadMemory {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    ResponseHandle<proto::ByteVec> slot;
    Clock::time_point expires = kNoExpiry;
};

// WRITEMEM transactions of at most 512 bytes each; WRITEREG words when the device has no WRITEMEM.
struct WriteMemory {
    std::uint32_t address = 0;
    proto::ByteVec data;
    ResponseHandle<void> slot;
    Clock::time_point expires = kNoExpiry;
};

// What the device serves, learnt when connecting: how operations may be carried, and how far
// one PENDING_ACK may extend a transaction.
struct DeviceRules {
    proto::GvcpCapability capability;
    std::chrono::milliseconds pending_ack_limit{0};
};

// Adds a subscriber for device events; full channels lose events, closed ones are dropped.
// `added` completes once the worker has it, so every event taken in after that reaches it.
struct Subscribe {
    Sender<proto::GvcpEvent> events;
    ResponseHandle<void> added;
};

// Ends the worker: pending operations fail with NotConnected and control is given back.
struct Shutdown {};

}  // namespace to_worker

using ToWorker = std::variant<to_worker::ReadRegister, to_worker::ReadRegisters, to_worker::WriteRegisters,
                              to_worker::ReadMemory, to_worker::WriteMemory, to_worker::DeviceRules,
                              to_worker::Subscribe, to_worker::Shutdown>;

}  // namespace korvalite::gige
