#include "korvalite/gige/control/detail/operations.hpp"

#include <algorithm>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::gige::op {

namespace {

// The memory write's next chunk as (address, word) pairs for WRITEREG.
std::vector<std::pair<std::uint32_t, std::uint32_t>> chunk_words(const WriteMemory& w) {
    const proto::ByteView chunk = proto::ByteView(w.data).subspan(w.offset, w.next_chunk());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs(chunk.size() / 4);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        pairs[i] = {w.start + static_cast<std::uint32_t>(w.offset + 4 * i), proto::u32_at(chunk, 4 * i)};
    return pairs;
}

}  // namespace

std::uint16_t command_code(const Op& op) {
    return std::visit(Overloaded{
                          [](const ReadRegister&) { return proto::code::kReadRegCmd; },
                          [](const ReadRegisters&) { return proto::code::kReadRegCmd; },
                          [](const WriteRegisters&) { return proto::code::kWriteRegCmd; },
                          [](const ReadMemory&) { return proto::code::kReadMemCmd; },
                          [](const WriteMemory& w) {
                              return w.as_registers() ? proto::code::kWriteRegCmd : proto::code::kWriteMemCmd;
                          },
                          [](const Heartbeat&) { return proto::code::kReadRegCmd; },
                      },
                      op);
}

Clock::time_point expires(const Op& op) {
    return std::visit(Overloaded{
                          [](const Heartbeat&) { return kNoExpiry; },
                          [](const auto& other) { return other.expires; },
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
            [&](const ReadRegisters& r) { return proto::encode_read_reg(r.next_addresses(), id); },
            [&](const WriteRegisters& w) { return proto::encode_write_reg(w.next_pairs(), id); },
            [&](const ReadMemory& r) {
                // Devices transfer whole 4-byte words; the surplus is dropped on arrival.
                const std::uint32_t rounded = (r.missing() + 3u) & ~3u;
                const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(rounded, proto::kMaxMemoryChunk));
                return proto::encode_read_mem(r.address, count, id);
            },
            [&](const WriteMemory& w) {
                if (w.as_registers()) return proto::encode_write_reg(chunk_words(w), id);
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

std::optional<Op> from_message(ToWorker&& message, const TransferRules& rules) {
    return std::visit(
        Overloaded{
            [](ReadRegister&& m) -> std::optional<Op> { return std::move(m); },
            [&](to_worker::ReadRegisters&& m) -> std::optional<Op> {
                ReadRegisters op{std::move(m.addresses), std::move(m.slot), m.expires, rules.reads_per_message(), {}};
                op.values.reserve(op.addresses.size());
                return op;
            },
            [&](to_worker::WriteRegisters&& m) -> std::optional<Op> {
                return WriteRegisters{std::move(m.pairs), std::move(m.slot), m.expires, rules.writes_per_message(), 0};
            },
            [](to_worker::ReadMemory&& m) -> std::optional<Op> {
                ReadMemory op{m.address, m.length, {}, std::move(m.slot), m.expires};
                // Reserve up front, but never more than a sane amount for a runaway length.
                op.received.reserve(std::min<std::uint32_t>(m.length, 1u << 24));
                return op;
            },
            [&](to_worker::WriteMemory&& m) -> std::optional<Op> {
                const std::size_t words = rules.write_memory ? 0 : rules.writes_per_message();
                return WriteMemory{m.address, 0, std::move(m.data), std::move(m.slot), m.expires, words};
            },
            [](to_worker::DeviceRules&&) -> std::optional<Op> { return std::nullopt; },
            [](to_worker::Subscribe&&) -> std::optional<Op> { return std::nullopt; },
            [](to_worker::Shutdown&&) -> std::optional<Op> { return std::nullopt; },
        },
        std::move(message));
}

void fail_message(const ToWorker& message, const CameraError& error) {
    std::visit(Overloaded{
                   [](const to_worker::DeviceRules&) {},
                   [&](const to_worker::Subscribe& m) { m.added.fail(error); },
                   [](const to_worker::Shutdown&) {},
                   [&](const auto& m) { m.slot.fail(error); },
               },
               message);
}

}  // namespace korvalite::gige::op
