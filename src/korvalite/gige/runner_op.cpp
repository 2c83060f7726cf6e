#include "korvalite/gige/runner_op.hpp"

#include <algorithm>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::gige::op {

std::uint16_t command_code(const Op& op) {
    return std::visit(Overloaded{
                          [](const ReadRegister&) { return proto::code::kReadRegCmd; },
                          [](const ReadRegisters&) { return proto::code::kReadRegCmd; },
                          [](const WriteRegisters&) { return proto::code::kWriteRegCmd; },
                          [](const ReadMemory&) { return proto::code::kReadMemCmd; },
                          [](const WriteMemory&) { return proto::code::kWriteMemCmd; },
                          [](const Heartbeat&) { return proto::code::kReadRegCmd; },
                      },
                      op);
}

proto::ByteVec build_packet(const Op& op, std::uint16_t id) {
    return std::visit(
        Overloaded{
            [&](const ReadRegister& r) {
                const std::uint32_t address[] = {r.address};
                return proto::encode_read_reg(address, id);
            },
            [&](const ReadRegisters& r) { return proto::encode_read_reg(r.addresses, id); },
            [&](const WriteRegisters& w) { return proto::encode_write_reg(w.pairs, id); },
            [&](const ReadMemory& r) {
                // Devices transfer whole 4-byte words; the surplus is dropped on arrival.
                const std::uint32_t rounded = (r.missing() + 3u) & ~3u;
                const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(rounded, proto::kMaxMemoryChunk));
                return proto::encode_read_mem(r.address, count, id);
            },
            [&](const WriteMemory& w) {
                const proto::ByteView chunk = proto::ByteView(w.data).subspan(w.offset, w.next_chunk());
                return proto::encode_write_mem(w.start + static_cast<std::uint32_t>(w.offset), chunk, id);
            },
            [&](const Heartbeat&) {
                const std::uint32_t ccp[] = {proto::reg::kControlChannelPrivilege};
                return proto::encode_read_reg(ccp, id);
            },
        },
        op);
}

void fail(const Op& op, const CameraError& error) {
    std::visit(Overloaded{
                   [&](const Heartbeat&) {},
                   [&](const auto& other) { other.slot.fail(error); },
               },
               op);
}

std::optional<Op> from_message(ToWorker&& message) {
    return std::visit(
        Overloaded{
            [](ReadRegister&& m) -> std::optional<Op> { return std::move(m); },
            [](ReadRegisters&& m) -> std::optional<Op> { return std::move(m); },
            [](WriteRegisters&& m) -> std::optional<Op> { return std::move(m); },
            [](to_worker::ReadMemory&& m) -> std::optional<Op> {
                ReadMemory op{m.address, m.length, {}, std::move(m.slot)};
                // Reserve up front, but never more than a sane amount for a runaway length.
                op.received.reserve(std::min<std::uint32_t>(m.length, 1u << 24));
                return op;
            },
            [](to_worker::WriteMemory&& m) -> std::optional<Op> {
                return WriteMemory{m.address, 0, std::move(m.data), std::move(m.slot)};
            },
            [](to_worker::Subscribe&&) -> std::optional<Op> { return std::nullopt; },
            [](to_worker::Shutdown&&) -> std::optional<Op> { return std::nullopt; },
        },
        std::move(message));
}

void fail_message(const ToWorker& message, const CameraError& error) {
    std::visit(Overloaded{
                   [](const to_worker::Subscribe&) {},
                   [](const to_worker::Shutdown&) {},
                   [&](const auto& m) { m.slot.fail(error); },
               },
               message);
}

}  // namespace korvalite::gige::op
