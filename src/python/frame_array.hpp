#pragma once
// A frame's payload as a numpy array over the pooled buffer (Frame.to_numpy), and the image
// layout behind a view as a tuple (Frame._layout).
#include <nanobind/nanobind.h>

#include "frame.hpp"

namespace korvalite::py {

// A read-only array shaped by pixel format and line padding, owned by `self`; ValueError for a
// frame too short for its image, ImportError without numpy.
nanobind::object frame_to_numpy(nanobind::handle_t<FrameObject> self);

// (height, width, channels, bytes per sample, line stride), or None for a format without a
// layout; ValueError for a frame too short for its image.
nanobind::object frame_layout_tuple(const FrameObject& object);

}  // namespace korvalite::py
