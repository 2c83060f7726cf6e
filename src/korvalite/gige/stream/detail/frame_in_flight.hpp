#pragma once
// One frame being assembled by the receive worker.
#include <cstdint>
#include <optional>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/pool.hpp"

namespace korvalite::gige::stream {

struct FrameInFlight {
    BufSlot slot;                   // packet table and payload buffer
    Instant last_activity{};        // most recent packet seen for this frame
    proto::GvspLeader leader;       // leader fields; chunk NoLeaderInfo until a leader is decoded
    std::uint64_t block_id = 0;
    std::uint64_t expected = 0;         // packets of the frame: leader + payload packets + trailer
    std::uint32_t data_per_packet = 0;  // payload bytes per payload packet
    std::int64_t contiguous_end = -1;   // last id of the unbroken run from packet 0; -1 without packet 0
    std::int64_t highest_received = -1;  // highest packet id received; -1 before any
    std::uint32_t last_payload_id = 0;   // highest payload packet id placed; 0 before any
    std::uint64_t received_bytes = 0;
    std::uint64_t data_end = 0;           // highest buffer offset written plus one
    std::uint64_t system_timestamp_ns = 0;  // host wall clock at the leader
    std::uint64_t requested_total = 0;    // packets requested for resend so far
    bool extended = false;                // packets use the extended-ID header
    bool size_learned = false;            // data per packet taken from packet 1
    bool trailer_seen = false;
    bool resend_refused = false;          // the device said packets of this frame are gone
    bool ratio_reached = false;           // resend budget exhausted
    // The trailer counted fewer payload packets than the image needs: the frame waits for the
    // rest, and fails IncompletePayload when they do not come.
    bool awaiting_image = false;
    std::optional<std::uint32_t> trailer_lines;  // the image trailer's line count
    std::optional<FrameStatus> status;    // a failure recorded before the frame closes; empty while open

    // Missing-packet scan bookkeeping: every entry not received in (contiguous_end, scanned_to]
    // has a deadline, and none of those deadlines is earlier than earliest_deadline. While the
    // clock has not passed earliest_deadline no entry can be due, so a scan only has to give
    // deadlines to the entries it has not seen yet.
    std::int64_t scanned_to = -1;
    Instant earliest_deadline = Instant::max();

    bool is_open() const { return !status.has_value(); }
    // What the frame closes as when packets stay missing, where `usual` would be the status.
    FrameStatus gap_status(FrameStatus usual) const {
        return status.value_or(awaiting_image ? FrameStatus::IncompletePayload : usual);
    }
    void record(FrameStatus s) {
        if (!status) status = s;
    }
};

}  // namespace korvalite::gige::stream
