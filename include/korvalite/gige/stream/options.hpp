#pragma once
// Everything a caller decides about one stream: what the stream channel writes to the device
// and what the receive worker uses to reassemble frames.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "korvalite/net/address.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::gige::stream {

struct StreamOptions {
    // Bytes per frame payload; must be present and non-zero when the stream opens.
    std::optional<std::uint64_t> payload_size;
    // Applied by the receive worker to itself.
    ThreadConfig thread_config;
    // Written to the packet delay register when present.
    std::optional<std::uint32_t> packet_delay;
    // A missing packet is first requested this long after it was first seen missing...
    std::chrono::nanoseconds resend_initial_delay = std::chrono::milliseconds(1);
    // ...and again every interval while it stays missing (also the worker's wake-up period).
    std::chrono::nanoseconds resend_interval = std::chrono::milliseconds(20);
    // A frame with no packet for this long is given up.
    std::chrono::nanoseconds frame_timeout = std::chrono::milliseconds(100);
    // Address to bind the stream socket to; absent: chosen from the route to the device.
    std::optional<net::Endpoint> local_addr;
    // Frame pool size.
    std::size_t n_buffers = 8;
    // Per-frame resend budget as a share of the frame's packets.
    double max_resend_ratio = 0.25;
    // Socket receive buffer request in bytes; 0 means automatic.
    std::size_t receive_buffer = 0;
    // Fixed packet size; absent means negotiate.
    std::optional<std::uint16_t> packet_size;
    // Stream channel index.
    std::uint16_t channel = 0;
    // True disables resend requests.
    bool no_resend = false;
    // While a stream flows, the worker lets datagrams gather in the socket this long between
    // receive calls instead of waking for each one; zero wakes on every arrival.
    std::chrono::nanoseconds receive_coalesce = std::chrono::microseconds(200);
    // Receive through a memory-mapped packet ring (needs CAP_NET_RAW) instead of copying each
    // datagram out of the socket; falls back to the socket, with a warning, when the ring
    // cannot be opened. The ring holds receive_buffer bytes, or four frames (8 to 64 MiB).
    bool packet_ring = false;
};

}  // namespace korvalite::gige::stream
