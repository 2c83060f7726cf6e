#pragma once
#include <nanobind/nanobind.h>

#include "device_record.hpp"

namespace korvalite::py {

// The class `Camera`; its objects are CameraShared values.
void bind_camera(nanobind::module_& m);
// True when a connection exists and its worker is alive.
bool is_connected(const CameraShared& shared);

}  // namespace korvalite::py
