#include "korvalite/gige/stream/detail/stream_runner.hpp"

#include <algorithm>
#include <string>

#include "korvalite/log.hpp"

namespace korvalite::gige::stream {

namespace {

using proto::ByteView;
using proto::GvspPacket;
namespace packet_format = proto::packet_format;

constexpr auto& kLog = log::targets::gige_stream_runner;

// Frames whose block id lies this far or less behind the last one are late packets of frames
// already closed, refused or repeated.
constexpr __int128 kLateWindow = 99;

// A device may use smaller payload packets than the packet size implies (packet 1 tells); the
// packet table still never grows beyond what packets of this many data bytes would need.
constexpr std::uint64_t kSmallestDataPerPacket = 64;

// Error statuses by which the device says a packet is gone for good.
constexpr std::uint16_t kPacketUnavailable = 0x800C;
constexpr std::uint16_t kPacketAndPreviousRemoved = 0x8011;
constexpr std::uint16_t kPacketRemoved = 0x8012;

std::uint64_t ceil_div(std::uint64_t n, std::uint64_t d) { return n / d + (n % d != 0 ? 1 : 0); }

std::uint64_t wall_clock_ns() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    return ns > 0 ? static_cast<std::uint64_t>(ns) : 0;
}

// Bytes the image takes: the leader's line width (pixel format and size_x) times its lines,
// which the trailer's line count overrides; nullopt unless the leader describes an image.
std::optional<std::uint64_t> image_bytes(const proto::GvspLeader& leader, std::optional<std::uint32_t> trailer_lines) {
    if (!leader.has_info() || leader.payload_type != proto::kPayloadTypeImage) return std::nullopt;
    const std::uint64_t bits = proto::PixelFormat{leader.pixel_format}.bits_per_pixel();
    const std::uint64_t lines = trailer_lines.value_or(leader.size_y);
    if (bits == 0 || lines == 0) return std::nullopt;
    const std::uint64_t line = ceil_div(std::uint64_t{leader.size_x} * bits, 8);
    return lines * line + (lines - 1) * leader.padding_x;
}

// Room for one frame record (reference count and Frame) in the record arena.
constexpr std::size_t kRecordBlockSize = sizeof(Frame) + 128;
constexpr std::size_t kMaxRecordBlocks = 256;

}  // namespace

__int128 block_id_distance(std::uint64_t b, std::uint64_t last, bool extended) {
    const __int128 sb = extended ? static_cast<std::int64_t>(b) : static_cast<std::int16_t>(b & 0xFFFF);
    const __int128 sl = extended ? static_cast<std::int64_t>(last) : static_cast<std::int16_t>(last & 0xFFFF);
    __int128 d = sb - sl;
    if (sb > 0 && sl < 0) d -= 1;
    return d;
}

std::uint64_t resend_budget(double ratio, std::uint64_t expected) {
    const double budget = ratio * static_cast<double>(expected);
    if (!(budget >= 1.0)) return 0;
    if (budget >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(budget);
}

StreamRunner::StreamRunner(const StreamOptions& options, const StreamWorkerParams& params, FramePool pool,
                           Receiver<ToStreamWorker> control, std::shared_ptr<StreamShared> shared,
                           ResendLink& link)
    : options_(options),
      params_(params),
      payload_size_(options.payload_size.value_or(0)),
      control_(std::move(control)),
      shared_(std::move(shared)),
      pool_(std::move(pool)),
      // Frames alive at once are bounded by the buffers; a few more cover records whose frame
      // has just been released but whose block is not back yet. Beyond the cap, records come
      // from the heap.
      arena_(std::make_shared<RecordArena>(std::min<std::size_t>(options.n_buffers, kMaxRecordBlocks) + 4,
                                           kRecordBlockSize)),
      link_(link),
      held_buffers_(options.n_buffers) {
    frames_.reserve(std::clamp<std::size_t>(options.n_buffers, 4, kMaxRecordBlocks));
    runs_.reserve(64);
}

bool StreamRunner::drain_control() {
    for (;;) {
        auto message = control_.try_recv();
        if (!message) break;
        if (auto* subscribe = std::get_if<Subscribe>(&*message)) {
            subscribers_.push_back(std::move(subscribe->frames));
        } else {
            closed_ = true;
        }
    }
    return closed_;
}

void StreamRunner::publish() { shared_->publish(stats_); }

// --- Datagrams ------------------------------------------------------------------------------

bool StreamRunner::from_stream_source(const net::Endpoint& from) const {
    return from.address == params_.device.address && (!source_port_ || *source_port_ == from.port);
}

std::optional<GvspPacket> StreamRunner::decode_from(ByteView head, std::size_t size, const net::Endpoint& from) {
    if (!from_stream_source(from)) return std::nullopt;
    ++stats_.packets;
    stats_.bytes += size;
    auto packet = proto::decode_gvsp(head);
    if (!packet) {
        ++stats_.ignored_packets;
        return std::nullopt;
    }
    // The device streams from one port: the first GVSP packet fixes it, so that datagrams sent
    // from other ports of its address cannot join its frames.
    if (!source_port_) source_port_ = from.port;
    return packet;
}

void StreamRunner::handle_datagram(ByteView datagram, const net::Endpoint& from, Instant now) {
    if (auto packet = decode_from(datagram, datagram.size(), from)) handle_packet(*packet, now);
}

void StreamRunner::handle_placed_datagram(ByteView head, const PacketPlace& place, std::size_t data_size,
                                          const net::Endpoint& from, Instant now) {
    auto packet = decode_from(head, head.size() + data_size, from);
    if (!packet) return;
    packet->data = place.data.first(std::min(data_size, place.data.size()));
    handle_packet(*packet, now);
}

std::size_t StreamRunner::expected_places(std::span<PacketPlace> out) {
    if (frames_.empty() || out.empty()) return 0;
    FrameInFlight& frame = frames_.back();
    if (!frame.is_open() || !frame.size_learned || frame.data_per_packet == 0 || frame.expected < 3) return 0;
    // A datagram that arrives instead of the one expected leaves its bytes in the other's place.
    // That is harmless only while the missing packet can still be asked for and will overwrite
    // them; otherwise the range of a packet that never comes must keep what the buffer held.
    if (!params_.resend_enabled || frame.resend_refused || frame.ratio_reached) return 0;
    auto buffer = frame.slot.buffer.bytes();
    const std::uint64_t last = frame.expected - 2;  // the last payload packet
    std::uint64_t k = static_cast<std::uint64_t>(std::max<std::int64_t>(frame.highest_received, 0)) + 1;
    std::size_t n = 0;
    for (; n < out.size() && k <= last; ++k, ++n) {
        const std::uint64_t offset = std::uint64_t{frame.data_per_packet} * (k - 1);
        if (offset >= buffer.size() || frame.slot.packets[k].received) break;
        const std::size_t length = std::min<std::uint64_t>(frame.data_per_packet, buffer.size() - offset);
        out[n] = PacketPlace{frame.block_id, static_cast<std::uint32_t>(k), frame.extended,
                             buffer.subspan(static_cast<std::size_t>(offset), length)};
    }
    return n;
}

void StreamRunner::handle_packet(const GvspPacket& incoming, Instant now) {
    const GvspPacket* packet = &incoming;
    if (first_packet_) {
        first_packet_ = false;
        last_block_id_ = packet->block_id - 1;
    }

    FrameInFlight* frame = find_or_create_frame(*packet, now);
    if (!frame) return;

    if (packet->is_error()) {
        handle_error_packet(*frame, packet->status);
        return;
    }
    if (packet->packet_id < frame->expected) {
        PacketEntry& entry = frame->slot.packets[packet->packet_id];
        if (entry.received) {
            ++stats_.duplicated_packets;
            return;
        }
        if (entry.requested) ++stats_.resent_packets;
        entry.received = true;
        frame->highest_received = std::max<std::int64_t>(frame->highest_received, packet->packet_id);
    }
    const auto last_id = static_cast<std::int64_t>(frame->expected) - 1;
    while (frame->contiguous_end < last_id && frame->slot.packets[frame->contiguous_end + 1].received)
        ++frame->contiguous_end;

    handle_content(*frame, *packet);
    // A trailer that came before the whole image leaves gaps up to the image's end: they are
    // scanned as a trailer in its place would have them scanned.
    const bool widened = packet->format == packet_format::kTrailer && frame->awaiting_image;
    missing_packet_check(*frame, widened ? frame->expected - 1 : packet->packet_id, now);
    check_frame_completion(now, packet->block_id);
}

void StreamRunner::handle_error_packet(FrameInFlight& frame, std::uint16_t status) {
    if (status == kPacketUnavailable || status == kPacketAndPreviousRemoved || status == kPacketRemoved) {
        frame.resend_refused = true;
        ++stats_.resend_disabled;
    }
    ++stats_.error_packets;
}

FrameInFlight* StreamRunner::find_or_create_frame(const GvspPacket& packet, Instant now) {
    for (auto& frame : frames_) {
        if (frame.block_id == packet.block_id) {
            frame.last_activity = now;
            return &frame;
        }
    }
    const std::uint64_t b = packet.block_id;
    const __int128 d = block_id_distance(b, last_block_id_, packet.extended);
    if (d >= -kLateWindow && d <= 0) {
        KORVALITE_LOG(kLog, log::Level::Trace, "discarding late frame", {{"frame_id", b}, {"last", last_block_id_}});
        ++stats_.ignored_packets;
        return nullptr;
    }
    const auto shape = shape_of_new_frame(packet);
    if (!shape) {
        last_block_id_ = b;
        ++stats_.unsupported_frames;
        ++stats_.ignored_packets;
        return nullptr;
    }
    auto slot = pool_.try_take();
    if (!slot) {
        last_block_id_ = b;
        ++stats_.underruns;
        held_buffers_.on_underrun(frames_.size(), now, kLog);
        return nullptr;
    }
    slot->packets.assign(shape->expected, PacketEntry{});
    if (d > 1) {
        const auto skipped = static_cast<std::uint64_t>(d - 1);
        KORVALITE_LOG(kLog, log::Level::Trace, "frame ids skipped", {{"skipped", skipped}, {"after", last_block_id_}});
        stats_.missing_frames += skipped;
    }
    last_block_id_ = b;

    FrameInFlight& frame = frames_.emplace_back();
    frame.slot = std::move(*slot);
    frame.last_activity = now;
    frame.block_id = b;
    frame.expected = shape->expected;
    frame.data_per_packet = shape->data_per_packet;
    frame.extended = packet.extended;
    return &frame;
}

std::optional<StreamRunner::NewFrameShape> StreamRunner::shape_of_new_frame(const GvspPacket& packet) const {
    const std::uint32_t per_packet = proto::payload_bytes_per_packet(params_.packet_size, packet.extended);
    if (per_packet == 0) return std::nullopt;
    const std::uint64_t full_frame = ceil_div(payload_size_, per_packet) + 2;
    switch (packet.format) {
        case packet_format::kLeader:
            if (!proto::decode_leader(packet.data).opens_frame()) return std::nullopt;
            return NewFrameShape{full_frame, per_packet};
        case packet_format::kPayload: return NewFrameShape{full_frame, per_packet};
        case packet_format::kTrailer:
            // A trailer id beyond what the table may hold leaves expected at the limit; the
            // trailer itself then marks the frame SizeMismatch.
            return NewFrameShape{std::min<std::uint64_t>(std::uint64_t{packet.packet_id} + 1,
                                                         packet_table_limit(per_packet)),
                                 per_packet};
        case packet_format::kAllIn: return NewFrameShape{1, per_packet};
        default: return std::nullopt;
    }
}

std::uint64_t StreamRunner::packet_table_limit(std::uint32_t data_per_packet) const {
    return std::max(ceil_div(payload_size_, data_per_packet), ceil_div(payload_size_, kSmallestDataPerPacket)) + 2;
}

void StreamRunner::handle_content(FrameInFlight& frame, const GvspPacket& packet) {
    switch (packet.format) {
        case packet_format::kLeader:
            if (!frame.is_open()) return;
            if (packet.packet_id != 0) {
                frame.record(FrameStatus::WrongPacketId);
                return;
            }
            frame.system_timestamp_ns = wall_clock_ns();
            frame.leader = proto::decode_leader(packet.data);
            expect_whole_image(frame);  // the trailer may have come first
            return;
        case packet_format::kTrailer:
            frame.trailer_seen = true;
            if (frame.is_open()) handle_trailer(frame, packet.packet_id, packet.data);
            return;
        case packet_format::kPayload:
            if (frame.is_open()) process_payload(frame, packet.packet_id, packet.data);
            return;
        case packet_format::kAllIn:
            frame.record(FrameStatus::PayloadUnsupported);  // leader, payload and trailer in one: not decoded
            return;
        default: ++stats_.ignored_packets; return;
    }
}

void StreamRunner::handle_trailer(FrameInFlight& frame, std::uint32_t id, ByteView data) {
    frame.trailer_lines = proto::image_trailer_size_y(data);
    if (id == 0) {
        frame.record(FrameStatus::WrongPacketId);
    } else if (id > frame.expected - 1) {
        frame.record(FrameStatus::SizeMismatch);  // more packets than the buffer holds
    } else if (id <= frame.last_payload_id) {
        frame.record(FrameStatus::EarlyTrailer);
    } else {
        frame.expected = std::uint64_t{id} + 1;
        expect_whole_image(frame);
    }
}

void StreamRunner::expect_whole_image(FrameInFlight& frame) {
    if (!frame.trailer_seen || !frame.is_open() || frame.data_per_packet == 0) return;
    const auto image = image_bytes(frame.leader, frame.trailer_lines);
    if (!image) return;
    const std::uint64_t bytes = std::min<std::uint64_t>(*image, frame.slot.buffer.bytes().size());
    const std::uint64_t needed =
        std::min(ceil_div(bytes, frame.data_per_packet) + 2, packet_table_limit(frame.data_per_packet));
    if (needed <= frame.expected) return;
    // No payload packet beyond the trailer's id has been placed (that would have made the
    // trailer early), so its place is free for the payload packet of that id.
    const std::uint64_t trailer_at = frame.expected - 1;
    if (frame.slot.packets.size() < needed) frame.slot.packets.resize(needed);
    frame.slot.packets[trailer_at] = PacketEntry{};
    frame.slot.packets[needed - 1].received = true;
    frame.expected = needed;
    frame.awaiting_image = true;
    frame.contiguous_end = std::min<std::int64_t>(frame.contiguous_end, static_cast<std::int64_t>(trailer_at) - 1);
    const auto last_id = static_cast<std::int64_t>(needed) - 1;
    while (frame.contiguous_end < last_id && frame.slot.packets[frame.contiguous_end + 1].received)
        ++frame.contiguous_end;
    KORVALITE_LOG(kLog, log::Level::Trace, "trailer before the whole image, waiting for the rest",
                  {{"frame_id", frame.block_id}, {"expected", needed}});
}

void StreamRunner::process_payload(FrameInFlight& frame, std::uint32_t k, ByteView data) {
    const std::size_t n = data.size();
    // A device may send smaller packets than the packet size allows; packet 1 tells.
    if (k == 1 && !frame.size_learned && n > 0) {
        frame.size_learned = true;
        if (n < frame.data_per_packet) {
            const std::uint64_t limit = packet_table_limit(frame.data_per_packet);
            frame.data_per_packet = static_cast<std::uint32_t>(n);
            if (!frame.trailer_seen) {
                frame.expected = std::min(ceil_div(payload_size_, n) + 2, limit);
                if (frame.slot.packets.size() < frame.expected) frame.slot.packets.resize(frame.expected);
            }
        }
    }
    const std::uint64_t last = frame.expected >= 2 ? frame.expected - 2 : 0;
    if (k == 0 || k > last) {
        KORVALITE_LOG(kLog, log::Level::Trace,
                      "payload packet id " + std::to_string(k) + " outside 1..=" + std::to_string(last) +
                          " (frame " + std::to_string(frame.block_id) + ", " + std::to_string(n) +
                          " data bytes, ext=" + (frame.extended ? "true" : "false") + ")");
    }
    if (const auto failure = misplaced_payload(frame, k, n)) {
        if (*failure == FrameStatus::SizeMismatch) ++stats_.size_mismatch_errors;
        frame.record(*failure);
        return;
    }
    frame.last_payload_id = std::max(frame.last_payload_id, k);
    auto buffer = frame.slot.buffer.bytes();
    const std::uint64_t offset = std::uint64_t{frame.data_per_packet} * (k - 1);
    const std::uint64_t copied = std::min<std::uint64_t>(n, buffer.size() - offset);
    if (copied == 0) return;
    std::byte* destination = buffer.data() + offset;
    if (data.data() != destination) std::copy_n(data.begin(), copied, destination);  // else received in place
    frame.received_bytes += copied;
    frame.data_end = std::max(frame.data_end, offset + copied);
}

std::optional<FrameStatus> StreamRunner::misplaced_payload(const FrameInFlight& frame, std::uint32_t k,
                                                           std::size_t n) const {
    if (k == 0) return FrameStatus::WrongPacketId;
    // Its bytes would run into the next packet's share of the buffer.
    if (n > frame.data_per_packet) return FrameStatus::OversizedPacket;
    const std::uint64_t length = frame.slot.buffer.bytes().size();
    const std::uint64_t offset = std::uint64_t{frame.data_per_packet} * (k - 1);
    const std::uint64_t last = frame.expected >= 2 ? frame.expected - 2 : 0;
    // Only the final payload packet may run past the end of the buffer (a padded packet).
    if (offset >= length || (offset + n > length && k != last)) return FrameStatus::SizeMismatch;
    if (k > last) return frame.trailer_seen ? FrameStatus::EarlyTrailer : FrameStatus::SizeMismatch;
    return std::nullopt;
}

// --- Closing frames -------------------------------------------------------------------------

void StreamRunner::check_frame_completion(Instant now, std::optional<std::uint64_t> context) {
    while (!frames_.empty()) {
        const FrameInFlight& head = frames_.front();
        // All of packets 0 .. expected - 1 are in (a trailer may have shrunk expected below the
        // run already received).
        if (head.contiguous_end >= static_cast<std::int64_t>(head.expected) - 1) {
            close_head(head.status.value_or(FrameStatus::Complete));
            continue;
        }
        if (!params_.resend_enabled && frames_.size() > 1) {
            close_head(head.gap_status(FrameStatus::MissingPackets));
            continue;
        }
        // The newest frame that so far has only its leader is waiting for its payload to start
        // (single-frame captures): it does not time out.
        const bool newest_leader_only = head.contiguous_end == 0 && head.block_id == last_block_id_;
        if (!newest_leader_only && now - head.last_activity >= options_.frame_timeout) {
            close_head(head.gap_status(FrameStatus::Timeout));
            continue;
        }
        break;
    }
    for (auto& frame : frames_) {
        if (context && *context == frame.block_id) continue;
        if (now - frame.last_activity >= options_.resend_interval)
            missing_packet_check(frame, frame.expected - 1, now);
    }
}

void StreamRunner::close_head(FrameStatus status) {
    drain_control();  // every subscription asked for before this moment receives the frame
    FrameInFlight frame = std::move(frames_.front());
    frames_.erase(frames_.begin());
    if (status == FrameStatus::Complete && frame.leader.chunk == proto::ChunkFlag::Yes)
        status = checked_chunk_layout(frame);

    if (status == FrameStatus::Complete) {
        ++stats_.completed_frames;
    } else {
        KORVALITE_LOG(kLog, log::Level::Trace, "frame closed incomplete",
                      {{"frame_id", frame.block_id}, {"status", frame_status_name(status)}});
        if (status == FrameStatus::Aborted) {
            ++stats_.aborted_frames;
        } else {
            ++stats_.failed_frames;
            const auto have = static_cast<std::uint64_t>(frame.contiguous_end + 1);
            if (frame.expected > have) {
                stats_.missing_packets += frame.expected - have;
                // The device cannot resend: these are the packets that would have been asked for.
                if (params_.resend_unsupported) stats_.resend_disabled += frame.expected - have;
            }
            count_failure(status);
        }
    }

    FrameInfo info;
    info.frame_id = frame.block_id;
    fill_leader_fields(info, frame.leader);
    info.system_timestamp_ns = frame.system_timestamp_ns;
    info.timestamp_ns = device_ticks_to_ns(info.timestamp_ticks, params_.tick_frequency, frame.system_timestamp_ns);
    info.received_size = frame.received_bytes;
    info.data_end = frame.data_end;
    info.status = status;
    FramePtr completed = std::allocate_shared<Frame>(ArenaAllocator<Frame>(arena_),
                                                     PooledBuf(std::move(frame.slot), pool_.returns()), info);
    publish();
    offer(completed);
}

FrameStatus StreamRunner::checked_chunk_layout(const FrameInFlight& frame) const {
    auto buffer = frame.slot.buffer.bytes();
    const auto payload = buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), frame.data_end)));
    const auto walked = proto::walk_chunks(payload, [](const proto::ChunkEntry&) {});
    if (walked) return FrameStatus::Complete;
    KORVALITE_LOG(kLog, log::Level::Debug, "chunk data does not fit its payload",
                  {{"frame_id", frame.block_id}, {"fault", proto::chunk_layout_error_name(walked.error())}});
    return FrameStatus::MalformedChunks;
}

void StreamRunner::count_failure(FrameStatus status) {
    switch (status) {
        case FrameStatus::Timeout: ++stats_.timed_out_frames; break;
        case FrameStatus::SizeMismatch: ++stats_.size_mismatch_frames; break;
        case FrameStatus::OversizedPacket: ++stats_.oversized_packet_frames; break;
        case FrameStatus::EarlyTrailer: ++stats_.early_trailer_frames; break;
        case FrameStatus::PayloadUnsupported: ++stats_.unsupported_payload_frames; break;
        default: break;
    }
}

void StreamRunner::offer(const FramePtr& frame) {
    std::uint64_t lost = 0;
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        auto sent = it->try_send(frame);
        if (sent || sent.error().kind == TrySendErrorKind::Full) {
            if (!sent) ++lost;
            ++it;
        } else {
            it = subscribers_.erase(it);  // every receiving end is gone
        }
    }
    if (lost > 0) {
        stats_.frames_dropped += lost;
        publish();
    }
}

void StreamRunner::shutdown() {
    while (!frames_.empty()) close_head(FrameStatus::Aborted);
    publish();
    subscribers_.clear();
}

}  // namespace korvalite::gige::stream
