#pragma once
// The Python class Frame: one shared reference to a completed frame, so the pooled buffer lives
// as long as the Python object (and any memoryview over it).
#include <nanobind/nanobind.h>

#include "korvalite/gige/stream/frame.hpp"

namespace korvalite::py {

// What a Python Frame holds.
struct FrameObject {
    gige::stream::FramePtr frame;
};

void bind_frame(nanobind::module_& m);

// A new Python Frame sharing `frame` (which must not be null). The class must be bound first.
nanobind::object to_python(gige::stream::FramePtr frame);

// The frame a Python Frame holds; raises TypeError for any other object.
const gige::stream::FramePtr& frame_of(nanobind::handle object);

}  // namespace korvalite::py
