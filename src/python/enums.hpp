#pragma once
// The Python enumeration classes FrameStatus and AccessMode. Each member is an instance held as
// a class attribute; instances compare (== and !=) with their own class and with integers only,
// so orderings and comparisons with anything else fall back to Python's defaults.
#include <nanobind/nanobind.h>

#include "korvalite/genicam/access_mode.hpp"
#include "korvalite/gige/stream/frame.hpp"

namespace korvalite::py {

void bind_frame_status(nanobind::module_& m);
void bind_access_mode(nanobind::module_& m);

// The class attribute for the value (e.g. FrameStatus.Timeout). The class must be bound first.
nanobind::object to_python(gige::stream::FrameStatus status);
nanobind::object to_python(genicam::AccessMode mode);

}  // namespace korvalite::py
