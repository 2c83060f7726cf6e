#pragma once
// The control worker's operations: what each queued or in-flight transaction carries, how its
// packet is built, and which codes it expects. Internal to the worker.
#include <algorithm>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "korvalite/gige/control/messages.hpp"
#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::gige::op {

using to_worker::Clock;
using to_worker::kNoExpiry;

// Registers one READREG or WRITEREG may carry: what fits the largest GVCP command.
inline constexpr std::size_t kMaxReadRegisters = 135;
inline constexpr std::size_t kMaxWriteRegisters = 67;

// How the device lets operations travel, from its GVCP capability. Until it is known, every
// command the driver uses is assumed served.
struct TransferRules {
    bool concatenation = true;  // several registers in one READREG/WRITEREG
    bool write_memory = true;   // WRITEMEM served; else writes go as WRITEREG words

    static TransferRules of(const proto::GvcpCapability& capability) {
        return {capability.concatenation(), capability.write_memory()};
    }
    std::size_t reads_per_message() const { return concatenation ? kMaxReadRegisters : 1; }
    std::size_t writes_per_message() const { return concatenation ? kMaxWriteRegisters : 1; }
};

using ReadRegister = to_worker::ReadRegister;

// Several registers, read in as many READREGs as the device needs.
struct ReadRegisters {
    std::vector<std::uint32_t> addresses;
    ResponseHandle<std::vector<std::uint32_t>> slot;
    Clock::time_point expires = kNoExpiry;
    std::size_t per_message = kMaxReadRegisters;
    std::vector<std::uint32_t> values;  // received so far, in request order

    std::span<const std::uint32_t> next_addresses() const {
        const std::size_t done = values.size();
        return std::span(addresses).subspan(done, std::min(per_message, addresses.size() - done));
    }
};

// Several registers, written in as many WRITEREGs as the device needs.
struct WriteRegisters {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    ResponseHandle<void> slot;
    Clock::time_point expires = kNoExpiry;
    std::size_t per_message = kMaxWriteRegisters;
    std::size_t done = 0;  // pairs written so far

    std::span<const std::pair<std::uint32_t, std::uint32_t>> next_pairs() const {
        return std::span(pairs).subspan(done, std::min(per_message, pairs.size() - done));
    }
};

// Memory operations add their progress through the chunks.
struct ReadMemory {
    std::uint32_t address = 0;  // of the next byte still missing
    std::uint32_t length = 0;   // total requested
    proto::ByteVec received;
    ResponseHandle<proto::ByteVec> slot;
    Clock::time_point expires = kNoExpiry;

    std::uint32_t missing() const { return length - static_cast<std::uint32_t>(received.size()); }
};

struct WriteMemory {
    std::uint32_t start = 0;
    std::size_t offset = 0;  // bytes already written
    proto::ByteVec data;
    ResponseHandle<void> slot;
    Clock::time_point expires = kNoExpiry;
    // Without WRITEMEM the data goes as WRITEREG words, this many per command.
    std::size_t words_per_register_write = 0;

    bool as_registers() const { return words_per_register_write > 0; }
    std::size_t next_chunk() const {
        const std::size_t most = as_registers() ? 4 * words_per_register_write : proto::kMaxMemoryChunk;
        return std::min(most, data.size() - offset);
    }
};

// Reads the control channel privilege register to keep control alive; has no caller.
struct Heartbeat {};

using Op = std::variant<ReadRegister, ReadRegisters, WriteRegisters, ReadMemory, WriteMemory, Heartbeat>;

inline bool is_heartbeat(const Op& op) { return std::holds_alternative<Heartbeat>(op); }

// The command code a refusal of this op names (both register reads name READREG; a memory
// write carried as register writes names WRITEREG).
std::uint16_t command_code(const Op& op);
// The acknowledge code a successful answer carries.
inline std::uint16_t expected_ack(const Op& op) { return static_cast<std::uint16_t>(command_code(op) + 1); }
// When the op's caller stops waiting; a heartbeat never expires.
Clock::time_point expires(const Op& op);

// The packet for the op's next transaction (for memory ops: the next chunk).
proto::ByteVec build_packet(const Op& op, std::uint16_t request_id);

// Completes the op's slot with `error`; a heartbeat has none.
void fail(const Op& op, const CameraError& error);

// A register or memory message as a fresh op carried as `rules` allow; nullopt for the others.
std::optional<Op> from_message(ToWorker&& message, const TransferRules& rules = {});
// Completes the slot of a register or memory message with `error`.
void fail_message(const ToWorker& message, const CameraError& error);

}  // namespace korvalite::gige::op
