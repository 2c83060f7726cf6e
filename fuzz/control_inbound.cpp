// Datagrams from the device (each framed by a 2-byte length) taken in by the control worker
// against the transaction in flight, as the worker does between its sends. Numbers from the back
// choose the PENDING_ACK rule (believed or not, its limit), each transaction (register or memory
// access, heartbeat) and, per datagram, whether it is made to answer the transaction (its
// acknowledge id, code and length set to fit, or made a PENDING_ACK) or whether the transaction
// times out first.
//
// Checked: each datagram moves exactly the counter it should, a transaction ends exactly once
// with its slot completed, a PENDING_ACK for it moves its deadline by the announced time but
// never beyond the rule's limit (and nothing else moves it), chunked transfers go on only while
// bytes are missing and with well-formed next packets, results have the size asked for, and
// events are decoded and acknowledged as sent.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "fuzz_support.hpp"
#include "korvalite/gige/control/detail/inbound.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMaxTransactions = 8;

// One transaction from the submitter's side: its slot, and what a successful result must be.
struct Job {
    bool heartbeat = false;
    std::function<bool()> complete;
    std::function<void()> check_result;
};

template <class T>
std::function<bool()> completion_of(const ResponseHandle<T>& slot) {
    return [slot] { return slot.is_complete(); };
}

std::pair<op::Op, Job> make_job(fuzz::FuzzInput& input) {
    const auto kind = input.take_u64(1) % 6;
    const auto n = static_cast<std::size_t>(input.take_u64(2));
    switch (kind) {
        case 0: {
            op::ReadRegister r{static_cast<std::uint32_t>(n) * 4, {}};
            return {r, Job{false, completion_of(r.slot), [] {}}};
        }
        case 1: {
            op::ReadRegisters r;
            r.addresses.assign(1 + n % 16, 0x100);
            const std::size_t count = r.addresses.size();
            auto slot = r.slot;
            return {std::move(r), Job{false, completion_of(slot), [slot, count] {
                                          const auto result = slot.get();
                                          KORVALITE_FUZZ_CHECK(!result || result->size() == count);
                                      }}};
        }
        case 2: {
            op::WriteRegisters w{std::vector<std::pair<std::uint32_t, std::uint32_t>>(1 + n % 16, {0x100, 1}), {}};
            auto slot = w.slot;
            return {std::move(w), Job{false, completion_of(slot), [] {}}};
        }
        case 3: {
            const auto length = static_cast<std::uint32_t>(n % 2048);
            op::ReadMemory r{0x10000, length, {}, {}};
            auto slot = r.slot;
            return {std::move(r), Job{false, completion_of(slot), [slot, length] {
                                          const auto result = slot.get();
                                          KORVALITE_FUZZ_CHECK(!result || result->size() == length);
                                      }}};
        }
        case 4: {
            op::WriteMemory w{0x10000, 0, proto::ByteVec(n % 2048, std::byte{0x5A}), {}};
            auto slot = w.slot;
            return {std::move(w), Job{false, completion_of(slot), [] {}}};
        }
        default: return {op::Heartbeat{}, Job{true, [] { return false; }, [] {}}};
    }
}

// A sent packet must be one command of the op's code; a memory chunk never exceeds the limit.
void check_packet(const proto::ByteVec& packet, const op::Op& op, std::uint16_t id) {
    const auto parsed = proto::parse_datagram(packet);
    KORVALITE_FUZZ_CHECK(parsed && parsed->is_command && parsed->id == id);
    KORVALITE_FUZZ_CHECK(parsed->code == op::command_code(op));
    KORVALITE_FUZZ_CHECK(parsed->payload.size() == parsed->length);
    if (const auto* r = std::get_if<op::ReadMemory>(&op)) {
        const std::uint16_t count = proto::u16_at(parsed->payload, 6);
        KORVALITE_FUZZ_CHECK(count % 4 == 0 && count <= proto::kMaxMemoryChunk && (count > 0 || r->missing() == 0));
        KORVALITE_FUZZ_CHECK(proto::u32_at(parsed->payload, 0) == r->address);
    }
    if (const auto* w = std::get_if<op::WriteMemory>(&op)) {
        KORVALITE_FUZZ_CHECK(parsed->payload.size() == 4 + w->next_chunk());
        KORVALITE_FUZZ_CHECK(w->next_chunk() <= proto::kMaxMemoryChunk);
    }
}

// The rule the worker applies to PENDING_ACK: believed or not, and its limit: the rule's own
// default or, as a device may ask for less, any shorter one.
PendingAckRule make_rule(fuzz::FuzzInput& input) {
    const auto how = input.take_u64(1);
    PendingAckRule rule;
    rule.accepted = (how & 1) == 0;
    if ((how & 2) != 0) rule.limit = std::min(std::chrono::milliseconds(input.take_u64(4)), rule.limit);
    return rule;
}

// Whether `datagram` is a PENDING_ACK, with its time, for the transaction `id`.
bool pending_ack_for(proto::ByteView datagram, std::optional<std::uint16_t> id) {
    const auto parsed = proto::parse_datagram(datagram);
    return id && parsed && !parsed->is_command && parsed->id == *id && parsed->code == proto::code::kPendingAck &&
           parsed->length >= 4;
}

class Worker {
public:
    explicit Worker(PendingAckRule rule) : rule_(rule) {}

    bool idle() const { return !inflight_; }

    void start(op::Op op, Job job) {
        job_ = std::move(job);
        send(std::move(op));
    }

    // The transaction runs out of tries, as the worker's deadline check ends it.
    void time_out() {
        op::fail(inflight_->op, CameraError::ack_timeout());
        inflight_.reset();
        KORVALITE_FUZZ_CHECK(job_.heartbeat || job_.complete());
    }

    void take(proto::ByteView datagram) {
        const LinkStats before = shared_.stats();
        const std::optional<std::uint16_t> id = inflight_ ? std::optional(inflight_->request_id) : std::nullopt;
        const auto deadline = inflight_ ? inflight_->deadline : Clock::time_point{};
        now_ += std::chrono::milliseconds(1);
        InboundOutcome outcome = take_inbound(datagram, inflight_, shared_, now_, rule_);
        const LinkStats after = shared_.stats();
        const auto moved = [&](std::uint64_t LinkStats::*counter) { return after.*counter - before.*counter; };

        const std::uint64_t total = moved(&LinkStats::acks) + moved(&LinkStats::pending_acks) +
                                    moved(&LinkStats::unsolicited) + moved(&LinkStats::events);
        KORVALITE_FUZZ_CHECK(total <= 1);
        KORVALITE_FUZZ_CHECK(moved(&LinkStats::naks) <= moved(&LinkStats::acks));
        KORVALITE_FUZZ_CHECK(moved(&LinkStats::heartbeats) <= moved(&LinkStats::acks));
        KORVALITE_FUZZ_CHECK(moved(&LinkStats::commands) + moved(&LinkStats::retries) + moved(&LinkStats::timeouts) == 0);
        KORVALITE_FUZZ_CHECK(!outcome.control_lost || (job_.heartbeat && moved(&LinkStats::acks) == 1));
        if (moved(&LinkStats::heartbeats) == 1) KORVALITE_FUZZ_CHECK(job_.heartbeat);

        // A PENDING_ACK for the transaction is believed exactly when the rule says so; otherwise
        // it counts as unsolicited and changes nothing.
        const bool pending = pending_ack_for(datagram, id);
        KORVALITE_FUZZ_CHECK(moved(&LinkStats::pending_acks) == (pending && rule_.accepted ? 1u : 0u));
        if (pending && !rule_.accepted) KORVALITE_FUZZ_CHECK(moved(&LinkStats::unsolicited) == 1);

        if (moved(&LinkStats::pending_acks) == 1) {
            const std::chrono::milliseconds announced(proto::u32_at(datagram, proto::kGvcpHeaderSize));
            KORVALITE_FUZZ_CHECK(inflight_ && inflight_->request_id == *id);
            KORVALITE_FUZZ_CHECK(inflight_->deadline == now_ + std::min(announced, rule_.limit));
        } else if (moved(&LinkStats::acks) == 1) {
            KORVALITE_FUZZ_CHECK(!inflight_);
            if (outcome.next) {
                KORVALITE_FUZZ_CHECK(!job_.complete());
                if (const auto* r = std::get_if<op::ReadMemory>(&*outcome.next))
                    KORVALITE_FUZZ_CHECK(r->missing() > 0 && r->received.size() < r->length);
                else if (const auto* w = std::get_if<op::WriteMemory>(&*outcome.next))
                    KORVALITE_FUZZ_CHECK(w->offset < w->data.size());
                else
                    KORVALITE_FUZZ_CHECK(false);
                send(std::move(*outcome.next));
            } else {
                KORVALITE_FUZZ_CHECK(job_.heartbeat || job_.complete());
                job_.check_result();
            }
        } else {
            KORVALITE_FUZZ_CHECK(!outcome.next);
            KORVALITE_FUZZ_CHECK(inflight_.has_value() == id.has_value());
            if (inflight_)
                KORVALITE_FUZZ_CHECK(inflight_->request_id == *id && inflight_->deadline == deadline && !job_.complete());
        }

        KORVALITE_FUZZ_CHECK(outcome.event.has_value() == (moved(&LinkStats::events) == 1));
        if (outcome.event_ack) {
            KORVALITE_FUZZ_CHECK(outcome.event);
            const auto ack = proto::parse_datagram(*outcome.event_ack);
            KORVALITE_FUZZ_CHECK(ack && !ack->is_command && ack->code == outcome.event->command + 1);
            KORVALITE_FUZZ_CHECK(ack->id == proto::u16_at(datagram, 6));
        }
        if (outcome.event) {
            KORVALITE_FUZZ_CHECK(outcome.event->command == proto::code::kEventCmd ||
                                 outcome.event->command == proto::code::kEventDataCmd);
            KORVALITE_FUZZ_CHECK(outcome.event->payload.size() == proto::u16_at(datagram, 4));
        }
    }

    // Makes a datagram answer the transaction in flight, as far as `how` asks.
    void fit(proto::ByteVec& datagram, std::uint64_t how) const {
        if (datagram.size() < proto::kGvcpHeaderSize) return;
        if ((how & 1) != 0 && inflight_) proto::put_u16(datagram, 6, inflight_->request_id);
        if ((how & 2) != 0 && inflight_) proto::put_u16(datagram, 2, op::expected_ack(inflight_->op));
        if ((how & 4) != 0)
            proto::put_u16(datagram, 4, static_cast<std::uint16_t>(datagram.size() - proto::kGvcpHeaderSize));
        if ((how & 8) != 0) proto::put_u16(datagram, 0, 0);
        if ((how & 0x10) != 0) proto::put_u16(datagram, 2, proto::code::kPendingAck);
    }

private:
    void send(op::Op op) {
        last_id_ = last_id_ >= 0xFFFE ? 1 : static_cast<std::uint16_t>(last_id_ + 1);
        proto::ByteVec packet = op::build_packet(op, last_id_);
        check_packet(packet, op, last_id_);
        inflight_ = Inflight{std::move(packet), std::move(op), now_ + std::chrono::milliseconds(500), last_id_, 4};
    }

    const PendingAckRule rule_;
    Shared shared_;
    std::optional<Inflight> inflight_;
    Job job_;
    Clock::time_point now_ = Clock::time_point{} + std::chrono::hours(1);
    std::uint16_t last_id_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    Worker worker(make_rule(input));
    int transactions = 0;
    while (const auto datagram = input.take_datagram()) {
        if (worker.idle() && transactions < kMaxTransactions) {
            auto [op, job] = make_job(input);
            worker.start(std::move(op), std::move(job));
            ++transactions;
        }
        const std::uint64_t how = input.take_u64(1);
        if ((how & 0x80) != 0 && !worker.idle()) worker.time_out();
        proto::ByteVec bytes(datagram->begin(), datagram->end());
        worker.fit(bytes, how);
        worker.take(bytes);
    }
    return 0;
}
