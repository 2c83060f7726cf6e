#include "korvalite/sim/gvcp_responder.hpp"

#include <algorithm>

#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"

namespace korvalite::sim {

namespace {

using gige::proto::ByteVec;
using gige::proto::ByteView;
using gige::proto::GvcpDatagram;
namespace code = gige::proto::code;
namespace st = gige::proto::status;

// Remembered acknowledges are per application; a flood of distinct senders cannot grow this.
constexpr std::size_t kMaxRemembered = 256;
// Commands held back behind a PENDING_ACK; beyond this the device answers "busy".
constexpr std::size_t kMaxDeferred = 256;

ByteVec nak(const GvcpDatagram& cmd, std::uint16_t status) {
    return gige::proto::encode_ack(status, static_cast<std::uint16_t>(cmd.code + 1), cmd.id);
}

ByteVec write_ack(const GvcpDatagram& cmd, std::uint16_t status, std::uint32_t done) {
    return gige::proto::encode_write_ack(status, static_cast<std::uint16_t>(cmd.code + 1), cmd.id,
                                         static_cast<std::uint16_t>(done));
}

bool is_register_or_memory(std::uint16_t c) {
    return c == code::kReadRegCmd || c == code::kWriteRegCmd || c == code::kReadMemCmd || c == code::kWriteMemCmd;
}

}  // namespace

GvcpResponder::GvcpResponder(Device& device, ResendQueue& resends) : device_(device), resends_(resends) {
    refresh_faults();
}

void GvcpResponder::refresh_faults() {
    const std::uint64_t version = device_.faults_version();
    if (version == faults_version_) return;
    faults_version_ = version;
    faults_ = device_.faults();
    ack_dice_ = FaultDice(faults_.seed ^ dice_salt::kAck);
}

void GvcpResponder::handle(ByteView datagram, const net::Endpoint& peer, Clock::time_point now,
                           ResponderOutput& out) {
    refresh_faults();
    auto cmd = gige::proto::parse_datagram(datagram);
    if (!cmd) {
        // A command whose length field promises more than came: answer so the host need not wait.
        if (datagram.size() >= gige::proto::kGvcpHeaderSize &&
            gige::proto::u8_at(datagram, 0) == gige::proto::kCommandKey) {
            GvcpDatagram header;
            header.flags = gige::proto::u8_at(datagram, 1);
            header.code = gige::proto::u16_at(datagram, 2);
            header.id = gige::proto::u16_at(datagram, 6);
            reply(header, nak(header, st::kInvalidHeader), peer, out);
        }
        return;
    }
    if (!cmd->is_command) return;  // stray acknowledges have nothing to answer
    device_.counters().add(Counter::CommandsReceived);
    device_.heartbeat(peer, now);
    KORVALITE_LOG(log::targets::sim, log::Level::Trace, "gvcp command",
                  {{"code", hex_code(cmd->code, 4)}, {"id", std::uint64_t{cmd->id}}, {"from", peer.to_string()}});

    switch (cmd->code) {
        case code::kDiscoveryCmd:
            device_.counters().add(Counter::DiscoveryRequests);
            reply(*cmd, gige::proto::encode_ack(st::kSuccess, code::kDiscoveryAck, cmd->id, device_.identity_block()),
                  peer, out);
            return;
        case code::kPacketResendCmd: handle_resend(*cmd); return;
        default: break;
    }
    if (!is_register_or_memory(cmd->code) || (cmd->code == code::kWriteMemCmd && !device_.capability().write_memory())) {
        reply(*cmd, nak(*cmd, st::kNotImplemented), peer, out);
        return;
    }
    // Bytes beyond the header's length are not part of the command.
    answer(*cmd, datagram.first(gige::proto::kGvcpHeaderSize + cmd->length), peer, now, out);
}

void GvcpResponder::answer(const GvcpDatagram& cmd, ByteView command, const net::Endpoint& peer,
                           Clock::time_point now, ResponderOutput& out) {
    if (is_deferred(command, peer)) {
        reply(cmd, pending_ack(cmd.id), peer, out);
        return;
    }
    auto remembered = last_.find(peer);
    if (remembered != last_.end() && std::ranges::equal(remembered->second.command, command)) {
        // The host did not hear the acknowledge: repeat it without running the command again.
        device_.counters().add(Counter::Retransmissions);
        reply(cmd, remembered->second.ack, peer, out);
        return;
    }
    if (pending_for(cmd) && device_.capability().pending_ack()) {
        if (deferred_.size() >= kMaxDeferred) {
            reply(cmd, nak(cmd, st::kBusy), peer, out);
            return;
        }
        deferred_.push_back(Deferred{ByteVec(command.begin(), command.end()), peer,
                                     now + std::chrono::milliseconds(faults_.pending_ack_delay_ms)});
        reply(cmd, pending_ack(cmd.id), peer, out);
        return;
    }
    ByteVec ack = execute(cmd, command, peer, now, out);
    reply(cmd, ack, peer, out);
}

void GvcpResponder::run_due(Clock::time_point now, ResponderOutput& out) {
    refresh_faults();
    auto due = std::stable_partition(deferred_.begin(), deferred_.end(),
                                     [&](const Deferred& d) { return d.due > now; });
    std::vector<Deferred> ready(std::make_move_iterator(due), std::make_move_iterator(deferred_.end()));
    deferred_.erase(due, deferred_.end());
    for (auto& d : ready) {
        auto cmd = gige::proto::parse_datagram(d.command);
        ByteVec ack = execute(*cmd, d.command, d.peer, now, out);
        reply(*cmd, ack, d.peer, out);
    }
}

std::optional<Clock::time_point> GvcpResponder::next_due() const {
    if (deferred_.empty()) return std::nullopt;
    return std::min_element(deferred_.begin(), deferred_.end(), [](auto& a, auto& b) { return a.due < b.due; })->due;
}

ByteVec GvcpResponder::execute(const GvcpDatagram& cmd, ByteView command, const net::Endpoint& peer,
                               Clock::time_point now, ResponderOutput& out) {
    ByteVec ack;
    switch (cmd.code) {
        case code::kReadRegCmd: ack = read_registers(cmd, peer); break;
        case code::kWriteRegCmd: ack = write_registers(cmd, peer, now, out); break;
        case code::kReadMemCmd: ack = read_memory(cmd, peer); break;
        default: ack = write_memory(cmd, peer, now, out); break;
    }
    if (last_.size() >= kMaxRemembered && !last_.contains(peer)) last_.clear();
    // The whole command is remembered, header included, so only a true repeat matches.
    last_[peer] = Remembered{ByteVec(command.begin(), command.end()), ack};
    return ack;
}

ByteVec GvcpResponder::read_registers(const GvcpDatagram& cmd, const net::Endpoint& peer) {
    auto addresses = gige::proto::decode_read_reg(cmd);
    if (!addresses || addresses->size() > kMaxReadRegisters) return nak(cmd, st::kInvalidParameter);
    // Without concatenation only the first address is read.
    if (!device_.capability().concatenation()) addresses->resize(1);
    HostReadResult r = device_.read_registers(peer, *addresses);
    return gige::proto::encode_read_reg_ack(r.status, cmd.id, r.values);
}

ByteVec GvcpResponder::write_registers(const GvcpDatagram& cmd, const net::Endpoint& peer, Clock::time_point now,
                                       ResponderOutput& out) {
    auto pairs = gige::proto::decode_write_reg(cmd);
    if (!pairs || pairs->size() > kMaxWriteRegisters) return write_ack(cmd, st::kInvalidParameter, 0);
    // Without concatenation only the first pair is written.
    if (!device_.capability().concatenation()) pairs->resize(1);
    HostWriteResult r = device_.write_registers(peer, *pairs, now);
    out.fire_tests.insert(out.fire_tests.end(), r.fire_tests.begin(), r.fire_tests.end());
    return write_ack(cmd, r.status, r.done);
}

ByteVec GvcpResponder::read_memory(const GvcpDatagram& cmd, const net::Endpoint& peer) {
    auto request = gige::proto::decode_read_mem(cmd);
    if (!request) return nak(cmd, st::kInvalidParameter);
    ByteVec data;
    const std::uint16_t status = device_.read_memory(peer, request->address, request->count, data);
    return gige::proto::encode_read_mem_ack(status, cmd.id, request->address, data);
}

ByteVec GvcpResponder::write_memory(const GvcpDatagram& cmd, const net::Endpoint& peer, Clock::time_point now,
                                    ResponderOutput& out) {
    auto request = gige::proto::decode_write_mem(cmd);
    if (!request) return write_ack(cmd, st::kInvalidParameter, 0);
    HostWriteResult r = device_.write_memory(peer, request->address, request->data, now);
    out.fire_tests.insert(out.fire_tests.end(), r.fire_tests.begin(), r.fire_tests.end());
    return write_ack(cmd, r.status, r.done);
}

void GvcpResponder::handle_resend(const GvcpDatagram& cmd) {
    auto request = gige::proto::decode_packet_resend(cmd.flags, cmd.payload);
    if (!request) return;
    device_.counters().add(Counter::ResendRequests);
    if (!device_.capability().packet_resend()) return;  // counted, never served
    if (request->last_packet >= request->first_packet)
        device_.counters().add(Counter::ResendPacketsRequested,
                               std::uint64_t{request->last_packet} - request->first_packet + 1);
    resends_.push(*request);
}

bool GvcpResponder::pending_for(const GvcpDatagram& cmd) const {
    // The heartbeat (a read of the control privilege alone) is answered at once, as a device's
    // control logic does while a slow command is still pending.
    const bool heartbeat = cmd.code == code::kReadRegCmd && cmd.length == 4 && cmd.payload.size() >= 4 &&
                           gige::proto::u32_at(cmd.payload, 0) == gige::proto::reg::kControlChannelPrivilege;
    return !heartbeat &&
           std::ranges::find(faults_.pending_ack_commands, cmd.code) != faults_.pending_ack_commands.end();
}

bool GvcpResponder::is_deferred(ByteView datagram, const net::Endpoint& peer) const {
    return std::ranges::any_of(deferred_, [&](const Deferred& d) {
        return d.peer == peer && std::ranges::equal(d.command, datagram);
    });
}

ByteVec GvcpResponder::pending_ack(std::uint16_t request_id) const {
    return gige::proto::encode_pending_ack(request_id, static_cast<std::uint16_t>(faults_.pending_ack_announce_ms));
}

void GvcpResponder::reply(const GvcpDatagram& cmd, ByteVec ack, const net::Endpoint& to, ResponderOutput& out) {
    if ((cmd.flags & gige::proto::kFlagAckRequired) == 0) return;
    if (ack_dice_.roll(faults_.ack_drop)) {
        device_.counters().add(Counter::AcksDropped);
        return;
    }
    const bool pending = gige::proto::u16_at(ack, 2) == code::kPendingAck;
    device_.counters().add(pending ? Counter::PendingAcksSent : Counter::AcksSent);
    out.replies.push_back(Outgoing{std::move(ack), to});
}

}  // namespace korvalite::sim
