#pragma once
// The stream side of the simulated camera, run on its own thread: produces frames while the
// acquisition runs, cuts them into GVSP packets for the destination in the stream channel
// registers, keeps recent frames and answers PACKETRESEND requests from them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "korvalite/net/poller.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/packet_output.hpp"
#include "korvalite/sim/resend_queue.hpp"
#include "korvalite/sim/stream_packets.hpp"

namespace korvalite::sim {

// Sends the EVENT of a frame (start, exposure end, end); implemented by the camera, which owns
// the message channel.
class FrameEventSink {
public:
    virtual ~FrameEventSink() = default;
    virtual void frame_event(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp) = 0;
};

class StreamSender {
public:
    // `channel_fds[c]` is the socket stream channel c sends from.
    StreamSender(Device& device, ResendQueue& resends, std::vector<int> channel_fds, const SimConfig& config,
                 FrameEventSink& events);

    // The thread body: runs until `stop` is set; `waker` interrupts its waits.
    void run(const std::atomic<bool>& stop, net::Poller& poller, net::Waker& waker);

    void set_gone(bool gone) { gone_.store(gone, std::memory_order_release); }
    void set_extended_ids(bool on) { extended_.store(on, std::memory_order_release); }
    bool extended_ids() const { return extended_.load(std::memory_order_acquire); }

private:
    enum class Sent { Complete, Aborted };

    // Waits for the waker or up to `timeout`.
    void wait(net::Poller& poller, net::Waker& waker, std::chrono::nanoseconds timeout);
    void refresh_faults();
    void serve_resends();
    void serve_resend(const ResendRequest& request);
    // Produces and sends one frame; false when nothing could be sent yet.
    bool produce_frame(const std::atomic<bool>& stop, Clock::time_point now);
    Sent send_frame(const StoredFrame& frame, const std::atomic<bool>& stop);
    // Points the output at channel 0's current destination; false when it has none.
    bool follow_target();
    std::uint64_t take_block_id();

    Device& device_;
    ResendQueue& resends_;
    std::vector<int> channel_fds_;
    FrameEventSink& events_;
    std::uint64_t tick_frequency_;
    PacketOutput output_;
    FrameHistory history_;
    SceneRenderer scene_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> extended_;
    std::uint64_t next_block_id_;
    std::uint64_t faults_version_ = ~std::uint64_t{0};
    std::uint64_t seen_epoch_ = ~std::uint64_t{0};
    StreamTarget target_;
    Clock::time_point next_frame_at_{};
    std::uint64_t generation_ = 0;
    bool paced_ = false;  // a packet delay is set: check for stops after every packet
};

}  // namespace korvalite::sim
