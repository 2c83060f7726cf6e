#pragma once
#include <nanobind/nanobind.h>

namespace korvalite::py {

// The module function discover(timeout=1.0).
void bind_discovery(nanobind::module_& m);

}  // namespace korvalite::py
