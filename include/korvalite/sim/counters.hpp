#pragma once
// Device-side counters: what the simulated camera sent, dropped on purpose and was asked for.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvalite::sim {

enum class Counter : std::size_t {
    PacketsSent,          // stream packets sent the first time (leaders, payload, trailers, duplicates)
    PacketsResent,        // packets sent again on request
    PacketsDropped,       // stream packets withheld by fault injection
    ResendsDropped,       // resent packets withheld by fault injection
    PacketsDuplicated,    // extra copies sent by fault injection (stream and resends)
    PacketsReordered,     // packets sent behind their successor (stream and resends)
    PacketsOverMtu,       // stream packets larger than the path MTU, never sent
    BytesSent,            // UDP payload bytes of every stream datagram sent
    FramesSent,           // frames whose trailer went out
    ResendRequests,       // PACKETRESEND commands received
    ResendPacketsRequested,
    ResendUnavailable,    // "packet unavailable" answers
    TestPacketsSent,
    TestPacketsBlocked,   // fire tests larger than the path MTU
    CommandsReceived,     // well-formed GVCP commands, retransmissions included
    AcksSent,
    AcksDropped,
    PendingAcksSent,
    Retransmissions,      // repeated commands answered from the last acknowledge
    DiscoveryRequests,
    EventsSent,
    EventAcksReceived,
    HeartbeatExpirations,
    SendErrors,
    Count,
};

inline constexpr std::array<std::string_view, static_cast<std::size_t>(Counter::Count)> kCounterNames = {
    "packets_sent",      "packets_resent",    "packets_dropped",      "resends_dropped",
    "packets_duplicated", "packets_reordered", "packets_over_mtu",     "bytes_sent",
    "frames_sent",       "resend_requests",   "resend_packets_requested", "resend_unavailable",
    "test_packets_sent", "test_packets_blocked", "commands_received",  "acks_sent",
    "acks_dropped",      "pending_acks_sent", "retransmissions",      "discovery_requests",
    "events_sent",       "event_acks_received", "heartbeat_expirations", "send_errors",
};

class Counters {
public:
    void add(Counter c, std::uint64_t n = 1) { values_[index(c)].fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t get(Counter c) const { return values_[index(c)].load(std::memory_order_relaxed); }
    std::array<std::uint64_t, kCounterNames.size()> snapshot() const {
        std::array<std::uint64_t, kCounterNames.size()> out{};
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = values_[i].load(std::memory_order_relaxed);
        return out;
    }
    void reset() {
        for (auto& v : values_) v.store(0, std::memory_order_relaxed);
    }

private:
    static constexpr std::size_t index(Counter c) { return static_cast<std::size_t>(c); }
    std::array<std::atomic<std::uint64_t>, kCounterNames.size()> values_{};
};

}  // namespace korvalite::sim
