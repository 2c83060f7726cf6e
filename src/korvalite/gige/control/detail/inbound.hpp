#pragma once
// What the control worker makes of one datagram from the device, kept apart from its socket:
// the transaction in flight is completed, failed or extended here, and what is left to send or
// hand on comes back as an outcome. Internal to the worker.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "korvalite/gige/control/detail/operations.hpp"
#include "korvalite/gige/control/link_stats.hpp"

namespace korvalite::gige {

// The one transaction the worker waits for.
struct Inflight {
    proto::ByteVec packet;  // exactly what was sent, for retries
    op::Op op;
    std::chrono::steady_clock::time_point deadline;
    std::uint16_t request_id = 0;
    std::uint8_t tries_left = 0;
    bool pending = false;  // the device announced with PENDING_ACK that it is working on it
};

// What remains for the worker once a datagram has been taken in.
struct InboundOutcome {
    std::optional<op::Op> next;                         // a chunked transfer goes on with this op
    std::optional<std::array<std::byte, 8>> event_ack;  // to send back to the event's sender
    std::optional<proto::GvcpEvent> event;              // to offer to the event subscribers
    std::uint16_t event_request_id = 0;                 // the event command's request id
    bool control_lost = false;                          // a heartbeat showed control is gone
};

// How the worker treats PENDING_ACK: believed only from a device that announces it, and never
// for longer than `limit` (the worker keeps it below its heartbeat timeout: pending_ack_cap).
struct PendingAckRule {
    static constexpr std::chrono::milliseconds kMaxLimit{5000};
    bool accepted = true;
    std::chrono::milliseconds limit = kMaxLimit;
};

// Tells a device's re-send of an event from a new event. A device sends an event command again
// when the acknowledge it asked for got lost: same request id, same command and payload, the
// acknowledge asked for again. Anything else, even under the previous request id, is new.
class EventRepeats {
public:
    // Whether this event command re-sends the one taken in before it; remembers it either way.
    bool repeated(std::uint16_t request_id, bool ack_requested, const proto::GvcpEvent& event) {
        const bool same = last_ && ack_requested && last_->ack_requested && last_->request_id == request_id &&
                          last_->command == event.command && last_->payload == event.payload;
        if (!same) last_ = Last{request_id, ack_requested, event.command, event.payload};
        return same;
    }

private:
    struct Last {
        std::uint16_t request_id = 0;
        bool ack_requested = false;
        std::uint16_t command = 0;
        proto::ByteVec payload;
    };
    std::optional<Last> last_;
};

// The error a refusal of `command` with `status` becomes; NOT_IMPLEMENTED names the command.
CameraError refusal(std::uint16_t command, std::uint16_t status);

// Takes in one datagram from the device at `now`: an acknowledge of the transaction in flight
// ends it (completing or failing its slot; `inflight` is emptied) or, as PENDING_ACK, moves its
// deadline as `pending` allows; an event command is decoded. Counts what it saw in `shared`.
InboundOutcome take_inbound(proto::ByteView datagram, std::optional<Inflight>& inflight, Shared& shared,
                            std::chrono::steady_clock::time_point now, const PendingAckRule& pending = {});

}  // namespace korvalite::gige
