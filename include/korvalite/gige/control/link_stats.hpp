#pragma once
// The control channel's counters, and the record the control worker shares with the camera
// side: the counters under a mutex, the flag that tells why the worker ended, and the newest
// payload of each device event.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "korvalite/gige/control/last_events.hpp"

namespace korvalite::gige {

struct LinkStats {
    std::uint64_t commands = 0;      // new transactions sent (every memory chunk, heartbeats); no retries
    std::uint64_t acks = 0;          // final acknowledges matching the transaction in flight, refusals included
    std::uint64_t retries = 0;       // resends of an overdue transaction
    std::uint64_t timeouts = 0;      // transactions given up after their last try
    std::uint64_t naks = 0;          // matched final acknowledges with an error status
    std::uint64_t pending_acks = 0;  // PENDING_ACKs that extended the transaction in flight
    std::uint64_t heartbeats = 0;    // successful heartbeat acknowledges of the expected code
    std::uint64_t events = 0;        // well-formed EVENT and EVENTDATA commands from the device
    std::uint64_t unsolicited = 0;   // well-formed acknowledges that matched no transaction in flight

    bool operator==(const LinkStats&) const = default;
};

using LinkStatsField = std::pair<const char*, std::uint64_t LinkStats::*>;

// Every counter with its name, in declaration order (text form, bindings).
inline constexpr std::array<LinkStatsField, 9> kLinkStatsFields = {{
    {"commands", &LinkStats::commands},
    {"acks", &LinkStats::acks},
    {"retries", &LinkStats::retries},
    {"timeouts", &LinkStats::timeouts},
    {"naks", &LinkStats::naks},
    {"pending_acks", &LinkStats::pending_acks},
    {"heartbeats", &LinkStats::heartbeats},
    {"events", &LinkStats::events},
    {"unsolicited", &LinkStats::unsolicited},
}};

// "LinkStats { commands: 12, acks: 12, ... unsolicited: 0 }"
std::string debug_string(const LinkStats& stats);

// Shared between the control worker and its owner. The worker holds the mutex only to add to
// one counter; readers take a copy under it.
class Shared {
public:
    void add(std::uint64_t LinkStats::*counter) {
        std::lock_guard lock(mutex_);
        ++(stats_.*counter);
    }
    LinkStats stats() const {
        std::lock_guard lock(mutex_);
        return stats_;
    }

    // Set by the worker when it ends because control privilege was lost.
    std::atomic<bool> control_lost{false};
    // The newest payload of each event id, stored by the worker as events arrive.
    LastEvents last_events;

private:
    mutable std::mutex mutex_;
    LinkStats stats_;
};

}  // namespace korvalite::gige
