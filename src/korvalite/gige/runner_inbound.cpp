// The control worker's handling of datagrams from the device: acknowledges that complete or
// extend the transaction in flight, and event commands that are acknowledged and passed on.
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/runner_impl.hpp"
#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::gige {

namespace {

const log::Target& target() { return log::targets::gige_runner; }

}  // namespace

void Runner::handle_datagram(proto::ByteView datagram, const net::Endpoint& from) {
    if (!datagram.empty() && proto::u8_at(datagram, 0) == proto::kCommandKey) {
        handle_device_command(datagram, from);
        return;
    }
    auto ack = proto::parse_datagram(datagram);
    if (!ack) {
        KORVALITE_LOG(target(), log::Level::Trace, "malformed ack (" + std::to_string(datagram.size()) + " bytes)");
        return;
    }
    handle_ack(*ack);
}

void Runner::handle_ack(const proto::GvcpDatagram& ack) {
    if (!inflight_ || ack.id != inflight_->request_id) {
        count(&LinkStats::unsolicited);
        return;
    }
    if (ack.code == proto::code::kPendingAck) {
        if (auto delay = proto::pending_ack_delay_ms(ack)) {
            inflight_->deadline = Clock::now() + std::chrono::milliseconds(*delay);
            count(&LinkStats::pending_acks);
            return;
        }
    }
    op::Op op = std::move(inflight_->op);
    inflight_.reset();
    count(&LinkStats::acks);

    if (ack.is_nak()) {
        count(&LinkStats::naks);
        const proto::GvcpStatus status{ack.status};
        if (op::is_heartbeat(op)) {
            KORVALITE_LOG(target(), log::Level::Warn, "heartbeat rejected with " + status.display() + ", control lost");
            control_lost_ = true;
        } else {
            op::fail(op, CameraError::status(op::command_code(op), ack.status));
        }
        return;
    }
    if (const std::uint16_t expected = op::expected_ack(op); ack.code != expected) {
        op::fail(op, CameraError::malformed("expected ack " + hex_code(expected, 4) + ", got " + hex_code(ack.code, 4)));
        return;
    }
    complete(std::move(op), ack);
}

void Runner::complete(op::Op op, const proto::GvcpDatagram& ack) {
    std::visit(Overloaded{
                   [&](op::ReadRegister& r) {
                       if (ack.payload.size() < 4) r.slot.fail(CameraError::malformed("empty read register ack"));
                       else r.slot.fulfill(proto::u32_at(ack.payload, 0));
                   },
                   [&](op::ReadRegisters& r) {
                       const std::size_t received = proto::read_reg_value_count(ack);
                       if (received != r.addresses.size()) {
                           r.slot.fail(CameraError::malformed("read register ack carried " + std::to_string(received) +
                                                              " values, expected " +
                                                              std::to_string(r.addresses.size())));
                           return;
                       }
                       std::vector<std::uint32_t> values(received);
                       for (std::size_t i = 0; i < received; ++i) values[i] = proto::read_reg_value(ack, i);
                       r.slot.fulfill(std::move(values));
                   },
                   [&](op::WriteRegisters& w) { w.slot.fulfill({}); },
                   [&](op::ReadMemory& r) { complete_read_memory(std::move(r), ack); },
                   [&](op::WriteMemory& w) { complete_write_memory(std::move(w)); },
                   [&](op::Heartbeat&) { complete_heartbeat(ack); },
               },
               op);
}

void Runner::complete_read_memory(op::ReadMemory op, const proto::GvcpDatagram& ack) {
    if (ack.payload.size() < 4) {
        op.slot.fail(CameraError::malformed("short read memory ack"));
        return;
    }
    // The echoed address (first 4 bytes) is not compared with the request.
    const proto::ByteView data = ack.payload.subspan(4);
    const std::size_t take = std::min<std::size_t>(op.missing(), data.size());
    op.received.insert(op.received.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
    if (op.missing() == 0) {
        op.slot.fulfill(std::move(op.received));
        return;
    }
    if (data.empty()) {
        op.slot.fail(CameraError::malformed("empty read memory ack"));
        return;
    }
    op.address += static_cast<std::uint32_t>(take);
    continue_op(std::move(op));
}

void Runner::complete_write_memory(op::WriteMemory op) {
    op.offset += op.next_chunk();
    if (op.offset >= op.data.size()) {
        op.slot.fulfill({});
        return;
    }
    continue_op(std::move(op));
}

void Runner::complete_heartbeat(const proto::GvcpDatagram& ack) {
    count(&LinkStats::heartbeats);
    if (ack.payload.size() < 4 || (proto::u32_at(ack.payload, 0) & proto::reg::kCcpControl) == 0) {
        KORVALITE_LOG(target(), log::Level::Warn, "device control was lost (CCP cleared)");
        control_lost_ = true;
    }
}

void Runner::continue_op(op::Op op) {
    // A chunked transfer keeps the channel until it ends; only a due heartbeat goes first.
    if (!queue_.empty() && op::is_heartbeat(queue_.front())) {
        queue_.insert(queue_.begin() + 1, std::move(op));
        return;
    }
    send_op(std::move(op));
}

void Runner::handle_device_command(proto::ByteView datagram, const net::Endpoint& from) {
    auto command = proto::parse_datagram(datagram);
    if (!command) {
        KORVALITE_LOG(target(), log::Level::Trace, "malformed inbound command");
        return;
    }
    if (!proto::is_accepted_device_command(command->code)) {
        KORVALITE_LOG(target(), log::Level::Trace, "unexpected inbound command " + hex_code(command->code, 4));
        return;
    }
    if (command->flags & proto::kFlagAckRequired) {
        const auto ack = proto::encode_event_ack(command->code, command->id);
        if (auto sent = socket_.send_to(ack, from); !sent)
            KORVALITE_LOG(target(), log::Level::Warn, "event ack send failed: " + sent.error().text());
    }
    count(&LinkStats::events);
    offer_event(proto::GvcpEvent::parse(command->code, command->payload));
}

void Runner::offer_event(const proto::GvcpEvent& event) {
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        auto sent = it->try_send(event);
        if (sent || sent.error().kind == TrySendErrorKind::Full) {
            if (!sent) KORVALITE_LOG(target(), log::Level::Trace, "event channel full, event dropped");
            ++it;
        } else {
            it = subscribers_.erase(it);
        }
    }
}

}  // namespace korvalite::gige
