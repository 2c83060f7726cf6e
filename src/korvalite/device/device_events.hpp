#pragma once
// Device events on a connection: the device's message channel pointed at the control socket,
// and subscriptions to what the control worker receives there.
#include <cstddef>

#include "korvalite/device/gige_camera.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/control/event_channel.hpp"

namespace korvalite::device {

// Opens the device's message channel towards the control socket once per connection (when the
// device announces events and has a message channel; a device without one sends its events to
// the controlling application, which is that socket too), then subscribes to the events: every
// event the connection receives after this returns reaches the subscription.
[[nodiscard]] CameraResult<gige::EventChannel> subscribe_events(Connection& connection, std::size_t capacity);

}  // namespace korvalite::device
