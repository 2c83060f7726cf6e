#pragma once
#include <nanobind/nanobind.h>

namespace korvalite::py {

// The private submodule `_log`: installs the sink that carries core log events to Python's
// logging through a bounded queue and one delivery thread.
void bind_log(nanobind::module_& m);

}  // namespace korvalite::py
