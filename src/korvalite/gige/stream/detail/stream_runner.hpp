#pragma once
// The stream receive worker's state machine: reassembles GVSP packets into frames in pooled
// buffers, asks the device to resend missing packets, closes frames in the order they opened and
// offers them to every subscriber without blocking, and keeps the stream counters.
//
// It owns no socket and no thread: the worker loop (worker.hpp) feeds it datagrams and the
// current instant, and resend requests leave through a ResendLink. That keeps every timing rule
// testable with a hand-driven clock.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/proto/gvsp_chunks.hpp"
#include "korvalite/gige/stream/detail/frame_in_flight.hpp"
#include "korvalite/gige/stream/detail/held_buffers.hpp"
#include "korvalite/gige/stream/detail/packet_place.hpp"
#include "korvalite/gige/stream/detail/record_arena.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/gige/stream/pool.hpp"
#include "korvalite/gige/stream/stats.hpp"
#include "korvalite/mpmc_channel.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::gige::stream {

// Messages to the worker.
struct Subscribe {
    Sender<FramePtr> frames;
};
struct Shutdown {};
using ToStreamWorker = std::variant<Subscribe, Shutdown>;

// What the stream channel learned from the device when it opened the stream.
struct StreamWorkerParams {
    net::Endpoint device;              // GVCP address: source filter (IP only) and resend destination
    std::uint32_t packet_size = 0;     // stream packet size in use
    std::uint64_t tick_frequency = 0;  // device timestamp ticks per second; 0 if unknown
    bool resend_enabled = false;
    bool resend_unsupported = false;  // resend wanted, but the device has no PACKETRESEND
};

// Distance from the last block id to block id `b`: both read as signed numbers of the id's width
// (16 bits, or 64 with extended ids), one less when crossing the wrap point, where id 0 is
// skipped. After 0xFFFF the next standard id 1 is at distance 1.
__int128 block_id_distance(std::uint64_t b, std::uint64_t last, bool extended);

// The request id after `id`: 0xFF15 ... 0xFFFF, then 0xFF14, 0xFF15 ...
inline std::uint16_t next_resend_request_id(std::uint16_t id) {
    return id == 0xFFFF ? 0xFF14 : static_cast<std::uint16_t>(id + 1);
}

// Packets one frame may have requested: ratio x expected, truncated (0 for a ratio that is not
// a positive number).
std::uint64_t resend_budget(double ratio, std::uint64_t expected);

// Where resend requests go.
class ResendLink {
public:
    virtual ~ResendLink() = default;
    [[nodiscard]] virtual CameraResult<void> send(proto::ByteView request) = 0;
};

class StreamRunner {
public:
    // options.payload_size must be set.
    StreamRunner(const StreamOptions& options, const StreamWorkerParams& params, FramePool pool,
                 Receiver<ToStreamWorker> control, std::shared_ptr<StreamShared> shared, ResendLink& link);

    // Takes every queued message without waiting; true once Shutdown has arrived.
    bool drain_control();
    bool closed() const { return closed_; }

    // One datagram from `from`, received at `now`. Datagrams count only when they come from the
    // device's address and, once the first GVSP packet has fixed it, from that packet's port.
    void handle_datagram(proto::ByteView datagram, const net::Endpoint& from, Instant now);
    // Places for up to out.size() payload packets of the newest frame, the ids following the
    // highest arrived so far; how many were given. None before the frame's packet 1 has fixed
    // its data per packet, and none unless missing packets can still be requested.
    std::size_t expected_places(std::span<PacketPlace> out);
    // A datagram received into a place (landed_in_place held): `head` is its header, and its
    // `data_size` data bytes are already in place.data. Same effect as handle_datagram.
    void handle_placed_datagram(proto::ByteView head, const PacketPlace& place, std::size_t data_size,
                                const net::Endpoint& from, Instant now);
    // Closes finished and given-up frames, oldest first, and re-requests what is still missing
    // in frames that went quiet. `context`: block id of the packet just handled, if any.
    void check_frame_completion(Instant now, std::optional<std::uint64_t> context = std::nullopt);
    // Copies the counters into the shared record.
    void publish();
    // Delivers every frame still open as Aborted, publishes, and lets go of the subscribers.
    void shutdown();

    bool has_frames_in_flight() const { return !frames_.empty(); }
    std::size_t frames_in_flight() const { return frames_.size(); }
    std::size_t subscriber_count() const { return subscribers_.size(); }
    const StreamStats& stats() const { return stats_; }
    const StreamOptions& options() const { return options_; }

private:
    struct NewFrameShape {
        std::uint64_t expected;
        std::uint32_t data_per_packet;
    };
    struct Run {
        std::uint64_t first;
        std::uint64_t last;
    };

    bool from_stream_source(const net::Endpoint& from) const;
    std::optional<proto::GvspPacket> decode_from(proto::ByteView datagram, std::size_t size, const net::Endpoint& from);
    void handle_packet(const proto::GvspPacket& packet, Instant now);
    FrameInFlight* find_or_create_frame(const proto::GvspPacket& packet, Instant now);
    std::optional<NewFrameShape> shape_of_new_frame(const proto::GvspPacket& packet) const;
    std::uint64_t packet_table_limit(std::uint32_t data_per_packet) const;
    void handle_error_packet(FrameInFlight& frame, std::uint16_t status);
    void handle_content(FrameInFlight& frame, const proto::GvspPacket& packet);
    void handle_trailer(FrameInFlight& frame, std::uint32_t packet_id, proto::ByteView data);
    // When a trailer counted fewer payload packets than the image needs, moves the trailer's
    // place to the end of the image and leaves the places between open, like any gap.
    void expect_whole_image(FrameInFlight& frame);
    void process_payload(FrameInFlight& frame, std::uint32_t packet_id, proto::ByteView data);
    // Why payload packet `k` of `n` data bytes cannot go into the frame's buffer, if it cannot.
    std::optional<FrameStatus> misplaced_payload(const FrameInFlight& frame, std::uint32_t k, std::size_t n) const;
    void close_head(FrameStatus status);
    // Complete when the frame's chunk tags fit its payload, else MalformedChunks.
    FrameStatus checked_chunk_layout(const FrameInFlight& frame) const;
    void count_failure(FrameStatus status);
    void offer(const FramePtr& frame);

    // Resend scheduling (resend.cpp).
    void missing_packet_check(FrameInFlight& frame, std::uint64_t up_to, Instant now);
    bool full_missing_scan(FrameInFlight& frame, std::uint64_t start, std::uint64_t up_to, Instant now);
    void send_resend_request(const FrameInFlight& frame, std::uint64_t first, std::uint64_t last);

    const StreamOptions options_;
    const StreamWorkerParams params_;
    const std::uint64_t payload_size_;
    std::vector<FrameInFlight> frames_;  // oldest first
    std::vector<Sender<FramePtr>> subscribers_;
    Receiver<ToStreamWorker> control_;
    std::shared_ptr<StreamShared> shared_;
    FramePool pool_;
    std::shared_ptr<RecordArena> arena_;
    ResendLink& link_;
    StreamStats stats_;
    HeldBuffersWarning held_buffers_;
    std::uint64_t last_block_id_ = 0;
    std::optional<std::uint16_t> source_port_;  // the device's stream source port, once seen
    std::array<std::byte, proto::kPacketResendExtendedSize> resend_scratch_{};
    std::uint16_t resend_request_id_ = 0xFF14;
    std::vector<Run> runs_;  // scratch of the missing-packet scan, reused
    bool closed_ = false;
    bool first_packet_ = true;
};

}  // namespace korvalite::gige::stream
