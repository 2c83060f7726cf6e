#pragma once
// The newest payload (event record and data) of each event id a device sent on one connection:
// what the description's event features, registers on an event port, read. The control worker
// stores; feature reads look up. A leaf lock guards it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::gige {

class LastEvents {
public:
    void store(const proto::GvcpEvent& event) {
        std::lock_guard lock(mutex_);
        payloads_[event.event_id] = event.payload;
    }
    // The newest payload of `event_id`, or nothing before the first such event.
    std::optional<proto::ByteVec> payload(std::uint16_t event_id) const {
        std::lock_guard lock(mutex_);
        auto it = payloads_.find(event_id);
        if (it == payloads_.end()) return std::nullopt;
        return it->second;
    }
    bool has(std::uint16_t event_id) const {
        std::lock_guard lock(mutex_);
        return payloads_.contains(event_id);
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uint16_t, proto::ByteVec> payloads_;
};

}  // namespace korvalite::gige
