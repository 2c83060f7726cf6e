// The control worker's handling of datagrams from the device: acknowledges that complete or
// extend the transaction in flight, and event commands that are acknowledged and passed on.
#include "korvalite/gige/control/detail/inbound.hpp"

#include <algorithm>

#include "korvalite/gige/control/detail/runner.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::gige {

namespace {

const log::Target& target() { return log::targets::gige_runner; }

// One datagram's handling; `out` collects what the worker still has to do.
class Inbound {
public:
    Inbound(std::optional<Inflight>& inflight, Shared& shared, std::chrono::steady_clock::time_point now,
            const PendingAckRule& pending)
        : inflight_(inflight), shared_(shared), now_(now), pending_(pending) {}

    InboundOutcome take(proto::ByteView datagram) {
        if (!datagram.empty() && proto::u8_at(datagram, 0) == proto::kCommandKey) {
            take_device_command(datagram);
        } else if (auto ack = proto::parse_datagram(datagram)) {
            take_ack(*ack);
        } else {
            KORVALITE_LOG(target(), log::Level::Trace, "malformed ack (" + std::to_string(datagram.size()) + " bytes)");
        }
        return std::move(out_);
    }

private:
    void count(std::uint64_t LinkStats::*counter) { shared_.add(counter); }

    void take_ack(const proto::GvcpDatagram& ack) {
        if (!inflight_ || ack.id != inflight_->request_id) {
            count(&LinkStats::unsolicited);
            return;
        }
        if (ack.code == proto::code::kPendingAck) {
            if (auto delay = proto::pending_ack_delay_ms(ack)) {
                take_pending_ack(*delay);
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
                KORVALITE_LOG(target(), log::Level::Warn,
                              "heartbeat rejected with " + status.display() + ", control lost");
                out_.control_lost = true;
            } else {
                op::fail(op, refusal(op::command_code(op), ack.status));
            }
            return;
        }
        if (const std::uint16_t expected = op::expected_ack(op); ack.code != expected) {
            op::fail(op,
                     CameraError::malformed("expected ack " + hex_code(expected, 4) + ", got " + hex_code(ack.code, 4)));
            return;
        }
        complete(std::move(op), ack);
    }

    void complete(op::Op op, const proto::GvcpDatagram& ack) {
        std::visit(Overloaded{
                       [&](op::ReadRegister& r) {
                           if (ack.payload.size() < 4) r.slot.fail(CameraError::malformed("empty read register ack"));
                           else r.slot.fulfill(proto::u32_at(ack.payload, 0));
                       },
                       [&](op::ReadRegisters& r) { complete_read_registers(std::move(r), ack); },
                       [&](op::WriteRegisters& w) { complete_write_registers(std::move(w)); },
                       [&](op::ReadMemory& r) { complete_read_memory(std::move(r), ack); },
                       [&](op::WriteMemory& w) { complete_write_memory(std::move(w)); },
                       [&](op::Heartbeat&) { complete_heartbeat(ack); },
                   },
                   op);
    }

    // A PENDING_ACK moves the deadline only when the device announced the command, and never
    // further than the rule's limit.
    void take_pending_ack(std::uint32_t delay_ms) {
        if (!pending_.accepted) {
            KORVALITE_LOG(target(), log::Level::Debug, "PENDING_ACK from a device that does not announce them, ignored");
            count(&LinkStats::unsolicited);
            return;
        }
        const auto delay = std::min(std::chrono::milliseconds(delay_ms), pending_.limit);
        inflight_->deadline = now_ + delay;
        inflight_->pending = true;
        count(&LinkStats::pending_acks);
    }

    void complete_read_registers(op::ReadRegisters op, const proto::GvcpDatagram& ack) {
        const std::size_t asked = op.next_addresses().size();
        const std::size_t received = proto::read_reg_value_count(ack);
        if (received != asked) {
            op.slot.fail(CameraError::malformed("read register ack carried " + std::to_string(received) +
                                                " values, expected " + std::to_string(asked)));
            return;
        }
        for (std::size_t i = 0; i < received; ++i) op.values.push_back(proto::read_reg_value(ack, i));
        if (op.values.size() == op.addresses.size()) {
            op.slot.fulfill(std::move(op.values));
            return;
        }
        out_.next = std::move(op);
    }

    void complete_write_registers(op::WriteRegisters op) {
        op.done += op.next_pairs().size();
        if (op.done >= op.pairs.size()) {
            op.slot.fulfill({});
            return;
        }
        out_.next = std::move(op);
    }

    void complete_read_memory(op::ReadMemory op, const proto::GvcpDatagram& ack) {
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
        out_.next = std::move(op);
    }

    void complete_write_memory(op::WriteMemory op) {
        op.offset += op.next_chunk();
        if (op.offset >= op.data.size()) {
            op.slot.fulfill({});
            return;
        }
        out_.next = std::move(op);
    }

    void complete_heartbeat(const proto::GvcpDatagram& ack) {
        count(&LinkStats::heartbeats);
        if (ack.payload.size() < 4 || (proto::u32_at(ack.payload, 0) & proto::reg::kCcpControl) == 0) {
            KORVALITE_LOG(target(), log::Level::Warn, "device control was lost (CCP cleared)");
            out_.control_lost = true;
        }
    }

    void take_device_command(proto::ByteView datagram) {
        auto command = proto::parse_datagram(datagram);
        if (!command) {
            KORVALITE_LOG(target(), log::Level::Trace, "malformed inbound command");
            return;
        }
        if (!proto::is_accepted_device_command(command->code)) {
            KORVALITE_LOG(target(), log::Level::Trace, "unexpected inbound command " + hex_code(command->code, 4));
            return;
        }
        if (command->flags & proto::kFlagAckRequired) out_.event_ack = proto::encode_event_ack(command->code, command->id);
        count(&LinkStats::events);
        out_.event = proto::GvcpEvent::parse(command->code, command->payload);
        out_.event_request_id = command->id;
    }

    std::optional<Inflight>& inflight_;
    Shared& shared_;
    const std::chrono::steady_clock::time_point now_;
    const PendingAckRule& pending_;
    InboundOutcome out_;
};

}  // namespace

CameraError refusal(std::uint16_t command, std::uint16_t status) {
    if (status == proto::status::kNotImplemented) {
        const char* name = proto::command_name(command);
        return CameraError::unsupported(std::string(name ? name : "command " + hex_code(command, 4)) + " (command " +
                                        hex_code(command, 4) + " answered with " +
                                        proto::GvcpStatus{status}.display() + ")");
    }
    return CameraError::status(command, status);
}

InboundOutcome take_inbound(proto::ByteView datagram, std::optional<Inflight>& inflight, Shared& shared,
                            std::chrono::steady_clock::time_point now, const PendingAckRule& pending) {
    return Inbound(inflight, shared, now, pending).take(datagram);
}

bool Runner::answers_beside(proto::ByteView datagram) const {
    if (!beside_ || datagram.empty() || proto::u8_at(datagram, 0) == proto::kCommandKey) return false;
    const auto ack = proto::parse_datagram(datagram);
    return ack && ack->id == beside_->request_id;
}

void Runner::handle_datagram(proto::ByteView datagram, const net::Endpoint& from) {
    std::optional<Inflight>& slot = answers_beside(datagram) ? beside_ : inflight_;
    InboundOutcome outcome = take_inbound(datagram, slot, *shared_, Clock::now(), pending_ack_);
    if (outcome.event_ack) {
        if (auto sent = socket_.send_to(*outcome.event_ack, from); !sent)
            KORVALITE_LOG(target(), log::Level::Warn, "event ack send failed: " + sent.error().text());
    }
    if (outcome.event) {
        // A re-send is acknowledged again above but delivered once.
        if (!event_repeats_.repeated(outcome.event_request_id, outcome.event_ack.has_value(), *outcome.event))
            offer_event(*outcome.event);
    }
    if (outcome.control_lost) control_lost_ = true;
    if (outcome.next) continue_op(std::move(*outcome.next));
}

void Runner::continue_op(op::Op op) {
    // A chunked transfer keeps the channel until it ends; only a due heartbeat goes first, and
    // one still out beside the transaction is waited for.
    if (!queue_.empty() && op::is_heartbeat(queue_.front())) {
        queue_.insert(queue_.begin() + 1, std::move(op));
        return;
    }
    if (beside_) {
        queue_.push_front(std::move(op));
        return;
    }
    send_op(std::move(op), inflight_);
}

void Runner::offer_event(const proto::GvcpEvent& event) {
    shared_->last_events.store(event);
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
