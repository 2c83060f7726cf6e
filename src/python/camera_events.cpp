// Camera.events(): a subscription to the camera's device events, opened with the interpreter
// lock released and the device record locked.
#include <nanobind/nanobind.h>

#include "device_record.hpp"
#include "errors.hpp"
#include "events.hpp"
#include "exit_registry.hpp"
#include "korvalite/device/genicamera.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

constexpr const char* kEventsDoc =
    "Subscribe to the camera's device events (turn them on with its event features, such as\n"
    "EventSelector and EventNotification). The subscription holds up to `capacity` events;\n"
    "`wait_for(timeout)`, iteration and `await next_async()` take them in arrival order.";

nb::object open_events(CameraShared& self, std::size_t capacity) {
    if (capacity == 0) throw nb::value_error("capacity must be at least 1");
    GenicamResult<device::EventSubscription> opened = std::unexpected(GenicamError::transport(CameraError::not_connected()));
    {
        GilRelease release;
        std::lock_guard lock(self.device->mutex);
        if (auto refused = refused_at_exit()) {
            opened = std::unexpected(*refused);
        } else if (auto subscribed = self.device->camera.subscribe_events(capacity); !subscribed) {
            opened = std::unexpected(GenicamError::transport(subscribed.error()));
        } else {
            opened = std::move(*subscribed);
        }
    }
    if (!opened) raise(opened.error());
    return make_event_subscription(std::move(opened->channel), std::move(opened->names), self.device,
                                   std::move(opened->link));
}

}  // namespace

void bind_camera_events(nb::class_<CameraShared>& cls) {
    cls.def("events", &open_events, "capacity"_a = device::kDefaultEventCapacity,
            nb::sig("def events(self, capacity: int = 256) -> EventSubscription"), kEventsDoc);
}

}  // namespace korvalite::py
