#pragma once
// The stream receiver's counters and the shared record through which the worker publishes them.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

namespace korvalite::gige::stream {

// Stream receiver counters, all monotonic since the stream opened.
struct StreamStats {
    std::uint64_t packets = 0;                     // datagrams from the device
    std::uint64_t bytes = 0;                       // bytes of those datagrams
    std::uint64_t completed_frames = 0;            // frames closed complete
    std::uint64_t failed_frames = 0;               // closed with any status but Complete and Aborted
    std::uint64_t timed_out_frames = 0;            // closed by time-out
    std::uint64_t size_mismatch_frames = 0;        // closed because the payload outgrew the buffer
    std::uint64_t oversized_packet_frames = 0;     // closed because a payload packet was too large
    std::uint64_t early_trailer_frames = 0;        // closed because the trailer counted too few packets
    std::uint64_t unsupported_payload_frames = 0;  // closed unread (all-in packets)
    std::uint64_t aborted_frames = 0;              // closed at shutdown
    std::uint64_t missing_frames = 0;              // block ids skipped between consecutive frames
    std::uint64_t underruns = 0;                   // frames lost for want of a free buffer
    std::uint64_t missing_packets = 0;             // packets missing from failed frames
    std::uint64_t resend_requests = 0;             // packets requested again
    std::uint64_t resent_packets = 0;              // requested packets that then arrived
    std::uint64_t resend_ratio_reached = 0;        // frames whose resend budget ran out
    std::uint64_t resend_disabled = 0;             // packets gone for good: error packets saying so, and
                                                   // packets missing from a device without resend
    std::uint64_t duplicated_packets = 0;          // packets received twice
    std::uint64_t error_packets = 0;               // packets with an error status
    std::uint64_t ignored_packets = 0;             // packets not used (short, late, unsupported, other formats)
    std::uint64_t unsupported_frames = 0;          // frames refused at their first packet
    std::uint64_t size_mismatch_errors = 0;        // payload packets lying beyond the buffer
    std::uint64_t frames_dropped = 0;              // completed frames a subscriber could not take

    bool operator==(const StreamStats&) const = default;
};

using StreamStatsField = std::pair<const char*, std::uint64_t StreamStats::*>;

// Every counter with its name, in declaration order (text form, bindings).
inline constexpr std::array<StreamStatsField, 23> kStreamStatsFields = {{
    {"packets", &StreamStats::packets},
    {"bytes", &StreamStats::bytes},
    {"completed_frames", &StreamStats::completed_frames},
    {"failed_frames", &StreamStats::failed_frames},
    {"timed_out_frames", &StreamStats::timed_out_frames},
    {"size_mismatch_frames", &StreamStats::size_mismatch_frames},
    {"oversized_packet_frames", &StreamStats::oversized_packet_frames},
    {"early_trailer_frames", &StreamStats::early_trailer_frames},
    {"unsupported_payload_frames", &StreamStats::unsupported_payload_frames},
    {"aborted_frames", &StreamStats::aborted_frames},
    {"missing_frames", &StreamStats::missing_frames},
    {"underruns", &StreamStats::underruns},
    {"missing_packets", &StreamStats::missing_packets},
    {"resend_requests", &StreamStats::resend_requests},
    {"resent_packets", &StreamStats::resent_packets},
    {"resend_ratio_reached", &StreamStats::resend_ratio_reached},
    {"resend_disabled", &StreamStats::resend_disabled},
    {"duplicated_packets", &StreamStats::duplicated_packets},
    {"error_packets", &StreamStats::error_packets},
    {"ignored_packets", &StreamStats::ignored_packets},
    {"unsupported_frames", &StreamStats::unsupported_frames},
    {"size_mismatch_errors", &StreamStats::size_mismatch_errors},
    {"frames_dropped", &StreamStats::frames_dropped},
}};

// "StreamStats { packets: 10, bytes: 14000, ..., frames_dropped: 0 }"
std::string to_string(const StreamStats& stats);

// The counters shared between a stream's worker (which copies them in) and its readers (which
// copy them out); the mutex is held only for the copy, so a snapshot is one consistent set.
class StreamShared {
public:
    StreamStats snapshot() const {
        std::lock_guard lock(mutex_);
        return stats_;
    }
    void publish(const StreamStats& stats) {
        std::lock_guard lock(mutex_);
        stats_ = stats;
    }

private:
    mutable std::mutex mutex_;
    StreamStats stats_;
};

}  // namespace korvalite::gige::stream
