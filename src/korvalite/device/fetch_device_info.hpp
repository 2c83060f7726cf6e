#pragma once
// Reading a connected device's identity over the control channel.
#include "korvalite/device/layers.hpp"
#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"

namespace korvalite::device {

// One READREG of the nine identity registers, then one READMEM per text field, each waited on
// for `wait`. A text field the device refuses to read becomes empty; other errors fail.
[[nodiscard]] CameraResult<proto::DeviceInfo> fetch_device_info(const ControlPort& port, ControlPort::Duration wait);

}  // namespace korvalite::device
