#pragma once
// Device events for Python: the class Event (one decoded EVENT or EVENTDATA command, named by
// the description) and EventSubscription (one subscription's queue, waited on with the
// interpreter lock released, in 100 ms slices between which signal handlers run).
#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvalite/genicam/event_names.hpp"
#include "korvalite/gige/control/event_channel.hpp"
#include "korvalite/gige/control/link_stats.hpp"

namespace korvalite::py {

struct EventObject {
    std::uint16_t id = 0;
    std::optional<std::string> name;
    std::uint64_t timestamp = 0;
    std::uint16_t stream_channel = 0;
    std::uint16_t block_id = 0;
    gige::proto::ByteVec data;
};

struct EventSubscriptionObject {
    // Null once closed. A wait keeps its own copy, so closing from another thread is safe.
    std::shared_ptr<gige::EventChannel> channel;
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<const genicam::EventNames> names;
    std::shared_ptr<void> keep_alive;  // the camera's shared record
    // The connection's shared record: whether its worker ended because control was lost.
    std::shared_ptr<const gige::Shared> link;
};

void bind_events(nanobind::module_& m);

// A new Python EventSubscription; the class must be bound first.
nanobind::object make_event_subscription(gige::EventChannel channel, genicam::EventNames names,
                                         std::shared_ptr<void> keep_alive, std::shared_ptr<const gige::Shared> link);

}  // namespace korvalite::py
