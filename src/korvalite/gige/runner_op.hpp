#pragma once
// The control worker's operations: what each queued or in-flight transaction carries, how its
// packet is built, and which codes it expects. Internal to the worker.
#include <cstdint>
#include <variant>
#include <vector>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/gige/to_worker.hpp"

namespace korvalite::gige::op {

// Register operations carry nothing beyond their message.
using ReadRegister = to_worker::ReadRegister;
using ReadRegisters = to_worker::ReadRegisters;
using WriteRegisters = to_worker::WriteRegisters;

// Memory operations add their progress through the chunks.
struct ReadMemory {
    std::uint32_t address = 0;  // of the next byte still missing
    std::uint32_t length = 0;   // total requested
    proto::ByteVec received;
    ResponseHandle<proto::ByteVec> slot;

    std::uint32_t missing() const { return length - static_cast<std::uint32_t>(received.size()); }
};

struct WriteMemory {
    std::uint32_t start = 0;
    std::size_t offset = 0;  // bytes already written
    proto::ByteVec data;
    ResponseHandle<void> slot;

    std::size_t next_chunk() const { return std::min(proto::kMaxMemoryChunk, data.size() - offset); }
};

// Reads the control channel privilege register to keep control alive; has no caller.
struct Heartbeat {};

using Op = std::variant<ReadRegister, ReadRegisters, WriteRegisters, ReadMemory, WriteMemory, Heartbeat>;

inline bool is_heartbeat(const Op& op) { return std::holds_alternative<Heartbeat>(op); }

// The command code a refusal of this op names (both register reads name READREG).
std::uint16_t command_code(const Op& op);
// The acknowledge code a successful answer carries.
inline std::uint16_t expected_ack(const Op& op) { return static_cast<std::uint16_t>(command_code(op) + 1); }

// The packet for the op's next transaction (for memory ops: the next chunk).
proto::ByteVec build_packet(const Op& op, std::uint16_t request_id);

// Completes the op's slot with `error`; a heartbeat has none.
void fail(const Op& op, const CameraError& error);

// A register or memory message as a fresh op; nullopt for Subscribe and Shutdown.
std::optional<Op> from_message(ToWorker&& message);
// Completes the slot of a register or memory message with `error`.
void fail_message(const ToWorker& message, const CameraError& error);

}  // namespace korvalite::gige::op
