#include "korvalite/gige/control/control_channel.hpp"

namespace korvalite::gige {

CameraResult<ControlChannel> start_control_channel(const WorkerSettings& settings) {
    auto shared = std::make_shared<Shared>();
    auto [sender, receiver] = unbounded<ToWorker>();
    auto spawned = spawn(std::move(receiver), shared, settings);
    if (!spawned) return std::unexpected(std::move(spawned.error()));
    ControlPort port(std::move(sender), WorkerView{spawned->thread.alive_flag(), spawned->thread.waker()},
                     operation_wait_timeout(settings.gvcp_timeout, settings.retries));
    return ControlChannel{std::move(port), std::move(shared), spawned->local, std::move(spawned->thread)};
}

}  // namespace korvalite::gige
