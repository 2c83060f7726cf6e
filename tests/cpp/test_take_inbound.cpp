// The control worker's inbound step without a socket: what one datagram does to the transaction
// in flight and what it leaves for the worker to send or hand on.
#include <gtest/gtest.h>

#include "korvalite/gige/control/detail/inbound.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace std::chrono_literals;

namespace {

const auto kNow = std::chrono::steady_clock::time_point{} + 1h;

Inflight in_flight(op::Op op, std::uint16_t id) {
    proto::ByteVec packet = op::build_packet(op, id);
    return Inflight{std::move(packet), std::move(op), kNow + 500ms, id, 4};
}

proto::ByteVec word(std::uint32_t v) {
    proto::ByteVec out(4);
    proto::put_u32(out, 0, v);
    return out;
}

}  // namespace

TEST(TakeInbound, ReadMemoryGoesOnUntilEveryByteIsInThenCompletes) {
    Shared shared;
    op::ReadMemory read{0x1000, 6, {}, {}};
    const auto slot = read.slot;
    std::optional<Inflight> inflight = in_flight(std::move(read), 7);

    proto::ByteVec first = word(0x1000);
    first.insert(first.end(), {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}});
    auto outcome = take_inbound(proto::encode_ack(0, proto::code::kReadMemAck, 7, first), inflight, shared, kNow);
    ASSERT_FALSE(inflight);
    ASSERT_TRUE(outcome.next);
    const auto& next = std::get<op::ReadMemory>(*outcome.next);
    EXPECT_EQ(next.address, 0x1004u);
    EXPECT_EQ(next.missing(), 2u);
    EXPECT_FALSE(slot.is_complete());

    inflight = in_flight(std::move(*outcome.next), 8);
    proto::ByteVec second = word(0x1004);
    second.insert(second.end(), {std::byte{5}, std::byte{6}, std::byte{7}, std::byte{8}});
    outcome = take_inbound(proto::encode_ack(0, proto::code::kReadMemAck, 8, second), inflight, shared, kNow);
    EXPECT_FALSE(outcome.next);
    const auto result = slot.get();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (proto::ByteVec{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}, std::byte{5},
                                       std::byte{6}}));
    EXPECT_EQ(shared.stats().acks, 2u);
}

TEST(TakeInbound, WhatEachDatagramLeavesBehind) {
    struct Case {
        const char* name;
        op::Op op;
        proto::ByteVec datagram;
        bool still_in_flight;
        bool control_lost;
        bool event;
        LinkStats counted;
    };
    proto::ByteVec record(16);
    proto::put_u16(record, 2, 0x9001);
    const Case cases[] = {
        {"pending ack moves the deadline", op::ReadRegister{}, proto::encode_ack(0, 0x0089, 5, word(250)), true,
         false, false, {.pending_acks = 1}},
        {"other id", op::ReadRegister{}, proto::encode_ack(0, 0x0081, 6, word(1)), true, false, false,
         {.unsolicited = 1}},
        {"heartbeat without control", op::Heartbeat{}, proto::encode_ack(0, 0x0081, 5, word(0)), false, true, false,
         {.acks = 1, .heartbeats = 1}},
        {"heartbeat refused", op::Heartbeat{}, proto::encode_ack(0x8006, 0x0081, 5), false, true, false,
         {.acks = 1, .naks = 1}},
        {"event", op::ReadRegister{}, proto::encode_command(0x01, 0x00C0, 0x0101, record), true, false, true,
         {.events = 1}},
        {"truncated", op::ReadRegister{}, proto::ByteVec(7), true, false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Shared shared;
        std::optional<Inflight> inflight = in_flight(c.op, 5);
        const auto outcome = take_inbound(c.datagram, inflight, shared, kNow);
        EXPECT_EQ(inflight.has_value(), c.still_in_flight);
        EXPECT_EQ(outcome.control_lost, c.control_lost);
        EXPECT_EQ(outcome.event.has_value(), c.event);
        EXPECT_EQ(shared.stats(), c.counted);
        EXPECT_FALSE(outcome.next);
    }

    Shared shared;
    std::optional<Inflight> inflight = in_flight(op::ReadRegister{}, 5);
    (void)take_inbound(proto::encode_ack(0, 0x0089, 5, word(250)), inflight, shared, kNow);
    EXPECT_EQ(inflight->deadline, kNow + 250ms);
    const auto event = take_inbound(proto::encode_command(0x01, 0x00C2, 0x0102, record), inflight, shared, kNow);
    ASSERT_TRUE(event.event_ack);
    EXPECT_EQ(proto::ByteVec(event.event_ack->begin(), event.event_ack->end()), proto::encode_ack(0, 0x00C3, 0x0102));
    EXPECT_EQ(event.event->event_id, 0x9001);
}

// Only a true re-send (same request id, same command and payload, acknowledge asked for on
// both) repeats the event before it; with five distinct events under one request id, all count.
TEST(EventRepeats, OnlyAReSendOfTheSameEventIsARepeat) {
    const auto event = [](std::uint16_t event_id, std::uint8_t data) {
        proto::ByteVec payload(20);
        proto::put_u16(payload, 2, event_id);
        payload[16] = std::byte{data};
        return proto::GvcpEvent::parse(0x00C2, payload);
    };
    const struct {
        const char* name;
        std::uint16_t request_id;
        bool ack;
        proto::GvcpEvent event;
        bool repeated;
    } cases[] = {
        // Each case follows the event with request id 7, acknowledge asked, event id 0x9001, data 1.
        {"same id, same event, acknowledge asked", 7, true, event(0x9001, 1), true},
        {"same id, another event id", 7, true, event(0x9002, 1), false},
        {"same id, other data", 7, true, event(0x9001, 2), false},
        {"same id, same event, no acknowledge asked", 7, false, event(0x9001, 1), false},
        {"another id, same event", 8, true, event(0x9001, 1), false},
    };
    for (const auto& c : cases) {
        EventRepeats repeats;
        EXPECT_FALSE(repeats.repeated(7, true, event(0x9001, 1))) << c.name;
        EXPECT_EQ(repeats.repeated(c.request_id, c.ack, c.event), c.repeated) << c.name;
    }
    EventRepeats repeats;
    int delivered = 0;
    for (std::uint16_t id = 1; id <= 5; ++id) delivered += repeats.repeated(7, true, event(id, 0)) ? 0 : 1;
    EXPECT_EQ(delivered, 5);
}
