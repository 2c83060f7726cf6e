#pragma once
// The Python class DeviceInfo: a device's identity, handed out by discover() and by cameras.
#include <nanobind/nanobind.h>

#include "korvalite/gige/proto/bootstrap.hpp"

namespace korvalite::py {

void bind_device_info(nanobind::module_& m);

// A new Python DeviceInfo holding a copy of `info`. The class must be bound first.
nanobind::object to_python(const gige::proto::DeviceInfo& info);

}  // namespace korvalite::py
