#pragma once
// An open stream channel: the device's stream registers programmed, the receive worker running
// on the stream socket. It hands out subscriptions and the stream counters. Closing it (or
// dropping it) stops the device's stream and then the worker; subscriptions stay readable until
// their queues are empty.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "korvalite/gige/stream/frame_channel.hpp"
#include "korvalite/gige/stream/stats.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::gige {
class ControlPort;
}

namespace korvalite::gige::stream {

class StreamWorker;

class StreamChannel {
public:
    // `port` is a copy of the connection's control port, so the channel can stop the device's
    // stream on its own; `register_base` is the channel's stream register block.
    StreamChannel(net::Endpoint local, std::unique_ptr<StreamWorker> worker, ControlPort port,
                  std::uint32_t register_base, std::uint16_t channel, std::uint16_t packet_size);
    StreamChannel(StreamChannel&&) noexcept;
    StreamChannel& operator=(StreamChannel&& other) noexcept;
    StreamChannel(const StreamChannel&) = delete;
    StreamChannel& operator=(const StreamChannel&) = delete;
    ~StreamChannel();

    // A subscription of up to `capacity` frames; it sees exactly the frames closed after the
    // worker takes it. On a closed channel it has ended from the start.
    FrameChannel subscribe(std::size_t capacity);

    // The stream socket's bound address and port.
    const net::Endpoint& local_address() const { return local_; }
    std::uint16_t packet_size() const { return packet_size_; }
    std::uint16_t channel() const { return channel_; }
    std::uint32_t register_base() const { return register_base_; }
    // The connection this stream belongs to still has its control worker.
    bool is_control_alive() const;
    // A consistent copy of the counters; after closing, the last values published.
    StreamStats stats() const;

    // Writes 0 to the stream port register (the device stops sending; failures are ignored),
    // then shuts the worker down and joins it: frames still open are delivered as Aborted.
    // Idempotent.
    void close();
    bool is_closed() const { return closed_; }

private:
    // The worker and the control port; absent only in a moved-from channel.
    struct Link;

    net::Endpoint local_;
    std::unique_ptr<Link> link_;  // kept after closing, for the counters
    std::uint32_t register_base_;
    std::uint16_t channel_;
    std::uint16_t packet_size_;
    bool closed_ = false;
};

}  // namespace korvalite::gige::stream
