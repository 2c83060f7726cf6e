#pragma once
// The control-channel worker `korvalite-gvcp`: one thread per connection that owns the control
// socket and runs every GVCP transaction with the device, one at a time, with retries,
// PENDING_ACK, heartbeats and event acknowledges.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "korvalite/error.hpp"
#include "korvalite/gige/control/link_stats.hpp"
#include "korvalite/gige/control/messages.hpp"
#include "korvalite/mpmc_channel.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::gige {

struct WorkerSettings {
    ThreadConfig thread;
    // How long one try of a transaction waits for its acknowledge.
    std::chrono::steady_clock::duration gvcp_timeout = std::chrono::milliseconds(500);
    // The device's GVCP endpoint; only datagrams from its IP address are processed.
    net::Endpoint device;
    // Where the control socket binds; absent: 0.0.0.0 port 0.
    std::optional<net::Endpoint> local;
    // The heartbeat timeout configured on the device; heartbeats go every third of it.
    std::uint32_t heartbeat_timeout_ms = 3000;
    // Resends allowed per transaction after the first send.
    std::uint8_t retries = 4;
};

struct SpawnedWorker {
    ThreadHandle thread;   // armed; dropping it stops and joins the worker
    net::Endpoint local;   // the control socket's local address
};

// Binds the control socket, sets up readiness waiting and starts the worker thread, which
// takes its operations from `receiver`. Failures are ThreadSpawn; nothing is left open.
[[nodiscard]] CameraResult<SpawnedWorker> spawn(Receiver<ToWorker> receiver, std::shared_ptr<Shared> shared,
                                  const WorkerSettings& settings);

// Heartbeat period for a device heartbeat timeout: a third of it, kept within 10 ms .. 1 s.
std::chrono::milliseconds heartbeat_interval(std::uint32_t heartbeat_timeout_ms);
// The longest one PENDING_ACK may extend a transaction: what the device allows (the rule's
// limit, at most 5 s), and always one heartbeat interval short of the heartbeat timeout (at
// least 1 ms), so that a device that falls silent while it says it is busy is noticed before it
// would give up control.
std::chrono::milliseconds pending_ack_cap(std::uint32_t heartbeat_timeout_ms);

}  // namespace korvalite::gige
