#include "interruptible_connect.hpp"

#include <chrono>
#include <future>

#include "errors.hpp"
#include "exit_registry.hpp"
#include "gil.hpp"
#include "korvalite/device/connect_abort.hpp"
#include "korvalite/thread_util.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

constexpr auto kSlice = std::chrono::milliseconds(100);

// The helper's body: the connect under the device record's lock; an aborted connect leaves the
// camera disconnected.
GenicamResult<void> connect_locked(DeviceRecord& device, device::ConnectAbort& abort) {
    std::lock_guard lock(device.mutex);
    if (auto refused = refused_at_exit()) return std::unexpected(*refused);
    auto result = device.camera.connect(&abort);
    if (abort.aborted()) device.camera.disconnect(device::Duration::zero());
    return result;
}

}  // namespace

void interruptible_connect(CameraShared& self) {
    ClaimToken token = claim(self.busy, "a connect");
    auto abort = std::make_shared<device::ConnectAbort>();
    auto outcome = std::make_shared<std::promise<GenicamResult<void>>>();
    std::future<GenicamResult<void>> done = outcome->get_future();
    bool interrupted = false;
    GenicamResult<void> result;
    {
        GilRelease release;
        auto helper = spawn_named("korvalite-connect", [device = self.device, abort, outcome] {
            outcome->set_value(connect_locked(*device, *abort));
        });
        if (!helper) {
            result = std::unexpected(GenicamError::transport(helper.error()));
        } else {
            while (done.wait_for(kSlice) != std::future_status::ready)
                if (!interrupted && (interrupted = signal_raised())) abort->abort();
            helper->join();
            result = done.get();
        }
    }
    token.release();
    if (interrupted) throw nb::python_error();
    unwrap(std::move(result));
}

}  // namespace korvalite::py
