#pragma once
// The messages the control worker accepts over its unbounded channel.
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "korvalite/channel.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/gige/response_handle.hpp"

namespace korvalite::gige {

namespace to_worker {

// One READREG of one address.
struct ReadRegister {
    std::uint32_t address = 0;
    ResponseHandle<std::uint32_t> slot;
};

// One READREG of all addresses; the values come back in request order.
struct ReadRegisters {
    std::vector<std::uint32_t> addresses;
    ResponseHandle<std::vector<std::uint32_t>> slot;
};

// One WRITEREG of all (address, value) pairs.
struct WriteRegisters {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    ResponseHandle<void> slot;
};

// READMEM transactions of at most 512 bytes each; delivers exactly `length` bytes.
struct ReadMemory {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    ResponseHandle<proto::ByteVec> slot;
};

// WRITEMEM transactions of at most 512 bytes each.
struct WriteMemory {
    std::uint32_t address = 0;
    proto::ByteVec data;
    ResponseHandle<void> slot;
};

// Adds a subscriber for device events; full channels lose events, closed ones are dropped.
struct Subscribe {
    Sender<proto::GvcpEvent> events;
};

// Ends the worker: pending operations fail with NotConnected and control is given back.
struct Shutdown {};

}  // namespace to_worker

using ToWorker = std::variant<to_worker::ReadRegister, to_worker::ReadRegisters, to_worker::WriteRegisters,
                              to_worker::ReadMemory, to_worker::WriteMemory, to_worker::Subscribe,
                              to_worker::Shutdown>;

}  // namespace korvalite::gige
