// Resend scheduling of the stream runner: finding packets that stayed missing long enough,
// keeping each frame within its budget, and sending PACKETRESEND requests.
#include <algorithm>
#include <string>

#include "korvalite/gige/stream/detail/stream_runner.hpp"
#include "korvalite/log.hpp"

namespace korvalite::gige::stream {

namespace {
constexpr auto& kLog = log::targets::gige_stream_runner;
}  // namespace

// A packet first seen missing gets a deadline of now + resend_initial_delay; on the first check
// after its deadline has passed it is requested, and again every resend_interval while it stays
// missing. Due packets next to each other form one request. Once a frame's requests would pass
// its budget, the frame is never asked for again.
void StreamRunner::missing_packet_check(FrameInFlight& frame, std::uint64_t up_to, Instant now) {
    if (!params_.resend_enabled || frame.resend_refused || frame.ratio_reached) return;
    if (resend_budget(options_.max_resend_ratio, frame.expected) == 0) return;
    if (up_to >= frame.expected || static_cast<std::int64_t>(up_to) < frame.contiguous_end) return;
    const auto start = static_cast<std::uint64_t>(frame.contiguous_end + 1);
    if (up_to < start) return;

    const bool none_due = now <= frame.earliest_deadline && options_.resend_initial_delay.count() >= 0;
    if (none_due) {
        // Only entries never scanned before need a deadline; none can be due yet.
        const auto first_new = std::max<std::uint64_t>(start, static_cast<std::uint64_t>(frame.scanned_to + 1));
        const Instant deadline = now + options_.resend_initial_delay;
        for (std::uint64_t i = first_new; i <= up_to; ++i) {
            PacketEntry& entry = frame.slot.packets[i];
            if (entry.received) continue;
            entry.deadline = deadline;
            entry.has_deadline = true;
            frame.earliest_deadline = std::min(frame.earliest_deadline, deadline);
        }
        frame.scanned_to = std::max(frame.scanned_to, static_cast<std::int64_t>(up_to));
        return;
    }
    if (!full_missing_scan(frame, start, up_to, now)) return;
    for (const Run& run : runs_) send_resend_request(frame, run.first, run.last);
}

// Scans start..up_to, collecting due runs in runs_; false when the budget ran out (nothing is
// sent then, and no entry is marked requested). Also recomputes the frame's earliest deadline.
bool StreamRunner::full_missing_scan(FrameInFlight& frame, std::uint64_t start, std::uint64_t up_to, Instant now) {
    const std::uint64_t budget = resend_budget(options_.max_resend_ratio, frame.expected);
    const Instant first_deadline = now + options_.resend_initial_delay;
    const Instant again_deadline = now + options_.resend_interval;
    Instant earliest = Instant::max();
    runs_.clear();

    auto end_run = [&](std::uint64_t first, std::uint64_t last) {
        frame.requested_total += last - first + 1;
        if (frame.requested_total > budget) {
            frame.ratio_reached = true;
            ++stats_.resend_ratio_reached;
            return false;
        }
        runs_.push_back({first, last});
        return true;
    };

    std::optional<std::uint64_t> run_first;
    for (std::uint64_t i = start; i <= up_to; ++i) {
        PacketEntry& entry = frame.slot.packets[i];
        bool due = false;
        if (!entry.received) {
            if (!entry.has_deadline) {
                entry.deadline = first_deadline;
                entry.has_deadline = true;
            }
            due = entry.deadline < now;
            if (!due) earliest = std::min(earliest, entry.deadline);
        }
        if (due) {
            if (!run_first) run_first = i;
        } else if (run_first) {
            if (!end_run(*run_first, i - 1)) return false;
            run_first.reset();
        }
    }
    if (run_first && !end_run(*run_first, up_to)) return false;

    // Every run is within the budget and will be sent: only now are its entries requested.
    for (const Run& run : runs_) {
        for (std::uint64_t i = run.first; i <= run.last; ++i) {
            PacketEntry& entry = frame.slot.packets[i];
            entry.requested = true;
            entry.deadline = again_deadline;
        }
        earliest = std::min(earliest, again_deadline);
    }

    // Entries scanned earlier beyond up_to keep their deadlines.
    const auto scanned_end = std::min<std::int64_t>(frame.scanned_to, static_cast<std::int64_t>(frame.expected) - 1);
    for (auto i = static_cast<std::int64_t>(up_to) + 1; i <= scanned_end; ++i) {
        const PacketEntry& entry = frame.slot.packets[static_cast<std::size_t>(i)];
        if (!entry.received && entry.has_deadline) earliest = std::min(earliest, entry.deadline);
    }
    frame.earliest_deadline = earliest;
    frame.scanned_to = std::max(frame.scanned_to, static_cast<std::int64_t>(up_to));
    return true;
}

void StreamRunner::send_resend_request(const FrameInFlight& frame, std::uint64_t first, std::uint64_t last) {
    KORVALITE_LOG(kLog, log::Level::Trace, "requesting packet resend",
                  {{"frame_id", frame.block_id}, {"first", first}, {"last", last}});
    resend_request_id_ = next_resend_request_id(resend_request_id_);
    const std::size_t size =
        proto::encode_packet_resend(resend_scratch_, frame.block_id, static_cast<std::uint32_t>(first),
                                    static_cast<std::uint32_t>(last), frame.extended, resend_request_id_);
    if (auto sent = link_.send(std::span(resend_scratch_).first(size)); !sent) {
        const CameraError& error = sent.error();
        KORVALITE_LOG(kLog, log::Level::Trace,
                      "resend request send failed: " + (error.text().empty() ? error.message() : error.text()));
    }
    stats_.resend_requests += last - first + 1;
}

}  // namespace korvalite::gige::stream
