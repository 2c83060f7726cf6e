#pragma once
// Starting a control channel in one call: the shared record, the worker's channel, the worker
// itself and the port that talks to it. This is what connecting a camera starts with.
#include <memory>

#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/gige/control/link_stats.hpp"
#include "korvalite/gige/control/worker.hpp"

namespace korvalite::gige {

struct ControlChannel {
    ControlPort port;                // wait unit: operation_wait_timeout(gvcp_timeout, retries)
    std::shared_ptr<Shared> shared;  // counters and control_lost, shared with the worker
    net::Endpoint local;             // the control socket's local address
    ThreadHandle worker;             // declared last: destroyed first, stopping and joining the worker
};

[[nodiscard]] CameraResult<ControlChannel> start_control_channel(const WorkerSettings& settings);

}  // namespace korvalite::gige
