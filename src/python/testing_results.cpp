// Test hooks for the result objects: frames made through a real frame pool without a network,
// a FrameChannel fed from the test, and counter snapshots from given values.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "enums.hpp"
#include "frame.hpp"
#include "frame_channel.hpp"
#include "stats.hpp"
#include "korvalite/gige/stream/pool.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using gige::stream::FrameInfo;
using gige::stream::FramePool;
using gige::stream::FrameStatus;

// A frame pool whose frames are written by the test: each frame takes a free slot (None when
// none is free), gets the given byte runs copied to their offsets, and is made into a Frame the
// way the receive worker makes one (received size and data end from the runs).
class FramePoolHarness {
public:
    FramePoolHarness(std::size_t n_buffers, std::uint64_t payload_size)
        : pool_(make_pool(n_buffers, payload_size)) {}

    nb::object frame(const std::vector<std::pair<std::uint64_t, nb::bytes>>& writes, FrameInfo info) {
        auto slot = pool_.try_take();
        if (!slot) return nb::none();
        std::span<std::byte> buffer = slot->buffer.bytes();
        info.received_size = 0;
        info.data_end = 0;
        for (const auto& [offset, bytes] : writes) {
            if (offset > buffer.size() || bytes.size() > buffer.size() - offset)
                throw nb::value_error("write beyond the payload buffer");
            std::memcpy(buffer.data() + offset, bytes.data(), bytes.size());
            info.received_size += bytes.size();
            info.data_end = std::max<std::uint64_t>(info.data_end, offset + bytes.size());
        }
        gige::stream::PooledBuf owned(std::move(*slot), pool_.returns());
        return to_python(std::make_shared<const gige::stream::Frame>(std::move(owned), info));
    }

    std::size_t free_slots() const { return pool_.free_slots(); }

private:
    static FramePool make_pool(std::size_t n_buffers, std::uint64_t payload_size) {
        auto pool = FramePool::create(n_buffers, payload_size);
        if (!pool) throw nb::value_error("frame pool memory unavailable");
        return std::move(*pool);
    }
    FramePool pool_;
};

// The sending end of a FrameChannel, standing in for the stream worker.
class FrameFeed {
public:
    explicit FrameFeed(Sender<gige::stream::FramePtr> sender) : sender_(std::move(sender)) {}

    // False when the channel is full or the feed is closed.
    bool send(nb::handle frame) {
        if (!sender_) return false;
        return sender_->try_send(frame_of(frame)).has_value();
    }
    void close() { sender_.reset(); }

private:
    std::optional<Sender<gige::stream::FramePtr>> sender_;
};

template <class Stats, std::size_t N>
Stats counters_from(const nb::kwargs& values,
                    const std::array<std::pair<const char*, std::uint64_t Stats::*>, N>& fields) {
    Stats stats;
    for (auto [key, value] : values) {
        const std::string name = nb::cast<std::string>(key);
        auto field = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return name == f.first; });
        if (field == fields.end()) throw nb::value_error(("unknown counter: " + name).c_str());
        stats.*(field->second) = nb::cast<std::uint64_t>(value);
    }
    return stats;
}

}  // namespace

void bind_testing_results(nb::module_& tm) {
    nb::class_<FramePoolHarness>(tm, "FramePool", "A frame pool whose frames the test writes.")
        .def(nb::init<std::size_t, std::uint64_t>(), "n_buffers"_a, "payload_size"_a)
        .def(
            "frame",
            [](FramePoolHarness& pool, const std::vector<std::pair<std::uint64_t, nb::bytes>>& writes, int status,
               std::uint64_t frame_id, std::uint32_t width, std::uint32_t height, std::uint32_t x_offset,
               std::uint32_t y_offset, std::uint32_t pixel_format, std::uint64_t timestamp_ticks,
               std::uint64_t timestamp_ns, std::uint64_t system_timestamp_ns, std::uint16_t padding_x,
               std::uint16_t padding_y) {
                if (status < 0 || status > static_cast<int>(FrameStatus::IncompletePayload))
                    throw nb::value_error("no such frame status");
                FrameInfo info;
                info.status = static_cast<FrameStatus>(status);
                info.frame_id = frame_id;
                info.width = width;
                info.height = height;
                info.x_offset = x_offset;
                info.y_offset = y_offset;
                info.pixel_format = gige::proto::PixelFormat{pixel_format};
                info.timestamp_ticks = timestamp_ticks;
                info.timestamp_ns = timestamp_ns;
                info.system_timestamp_ns = system_timestamp_ns;
                info.padding_x = padding_x;
                info.padding_y = padding_y;
                return pool.frame(writes, info);
            },
            "writes"_a, nb::kw_only(), "status"_a = 0, "frame_id"_a = 0, "width"_a = 0, "height"_a = 0,
            "x_offset"_a = 0, "y_offset"_a = 0, "pixel_format"_a = 0, "timestamp_ticks"_a = 0, "timestamp_ns"_a = 0,
            "system_timestamp_ns"_a = 0, "padding_x"_a = 0, "padding_y"_a = 0,
            "A Frame from a free slot with the (offset, bytes) runs written, or None when no slot is free.")
        .def("free_slots", &FramePoolHarness::free_slots);

    nb::class_<FrameFeed>(tm, "FrameFeed", "The sending end of a test FrameChannel.")
        .def("send", &FrameFeed::send, "frame"_a)
        .def("close", &FrameFeed::close);

    tm.def(
        "frame_channel",
        [](std::size_t capacity) {
            auto [sender, receiver] = bounded<gige::stream::FramePtr>(capacity);
            nb::object feed = nb::cast(FrameFeed(std::move(sender)));
            return nb::make_tuple(make_frame_channel(gige::stream::FrameChannel(std::move(receiver))), feed);
        },
        "capacity"_a, "A FrameChannel of the given capacity and the FrameFeed that sends into it.");

    tm.def("link_stats", [](const nb::kwargs& values) {
        return to_python(counters_from<gige::LinkStats>(values, gige::kLinkStatsFields));
    });
    tm.def("stream_stats", [](const nb::kwargs& values) {
        return to_python(counters_from<gige::stream::StreamStats>(values, gige::stream::kStreamStatsFields));
    });
    tm.def("access_mode", [](int value) {
        if (value < 0 || value > static_cast<int>(genicam::AccessMode::NI)) throw nb::value_error("no such access mode");
        return to_python(static_cast<genicam::AccessMode>(value));
    });
}

}  // namespace korvalite::py
