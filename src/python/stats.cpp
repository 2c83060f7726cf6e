#include "stats.hpp"

#include <nanobind/stl/string.h>

#include <array>

namespace nb = nanobind;

namespace korvalite::py {

namespace {

constexpr const char* kStreamStatsDoc = "Stream receiver counters, all monotonic since stream open.";
constexpr const char* kLinkStatsDoc = "Control-channel counters.";

// Attribute documentation, in field order.
constexpr std::array<const char*, gige::stream::kStreamStatsFields.size()> kStreamStatsFieldDocs = {
    "Datagrams from the device.",
    "Bytes of those datagrams.",
    "Frames closed complete.",
    "Frames closed incomplete or damaged (every status but Complete and Aborted).",
    "Frames closed by time-out.",
    "Frames closed because the payload was larger than the buffer.",
    "Frames closed because a payload packet carried more data than a packet holds.",
    "Frames closed because the trailer counted fewer packets than the frame carried.",
    "Frames closed unread because their payload is not decoded (all-in packets).",
    "Frames closed at shutdown.",
    "Block ids skipped between consecutive frames.",
    "Frames lost for want of a free buffer.",
    "Packets missing from failed frames.",
    "Packets requested again.",
    "Requested packets that then arrived.",
    "Frames whose resend budget ran out.",
    "Error packets saying a packet is gone.",
    "Packets received twice.",
    "Packets with an error status.",
    "Packets not used (short, late, unsupported, other formats).",
    "Frames refused at their first packet.",
    "Payload packets lying beyond the buffer.",
    "Completed frames a subscriber could not take (its channel was full).",
};

constexpr std::array<const char*, gige::kLinkStatsFields.size()> kLinkStatsFieldDocs = {
    "New transactions sent (register and memory operations, every memory chunk, heartbeats); retries excluded.",
    "Final acknowledges that matched the transaction in flight, refusals included.",
    "Resends of an overdue transaction.",
    "Transactions given up after their last try.",
    "Matched final acknowledges with an error status.",
    "PENDING_ACK packets that extended the transaction in flight.",
    "Heartbeat acknowledges with success status and the expected acknowledge code.",
    "Well-formed EVENT and EVENTDATA commands received from the device.",
    "Well-formed acknowledges that matched no transaction in flight.",
};

// One read-only attribute per counter, in the record's order; the repr is the record's text form.
template <class Stats, std::size_t N>
void bind_counters(nb::module_& m, const char* name, const char* doc,
                   const std::array<std::pair<const char*, std::uint64_t Stats::*>, N>& fields,
                   const std::array<const char*, N>& field_docs, std::string (*text)(const Stats&)) {
    nb::class_<Stats> cls(m, name, doc);
    for (std::size_t i = 0; i < N; ++i) {
        const auto member = fields[i].second;
        cls.def_prop_ro(fields[i].first, [member](const Stats& stats) { return stats.*member; }, field_docs[i]);
    }
    cls.def("__repr__", text, "Every counter with its value, in declaration order.");
}

}  // namespace

void bind_stream_stats(nb::module_& m) {
    bind_counters<gige::stream::StreamStats>(m, "StreamStats", kStreamStatsDoc, gige::stream::kStreamStatsFields,
                                             kStreamStatsFieldDocs, &gige::stream::to_string);
}

void bind_link_stats(nb::module_& m) {
    bind_counters<gige::LinkStats>(m, "LinkStats", kLinkStatsDoc, gige::kLinkStatsFields, kLinkStatsFieldDocs,
                                     &gige::debug_string);
}

nb::object to_python(const gige::stream::StreamStats& stats) { return nb::cast(stats); }
nb::object to_python(const gige::LinkStats& stats) { return nb::cast(stats); }

}  // namespace korvalite::py
