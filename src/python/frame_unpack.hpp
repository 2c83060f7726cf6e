#pragma once
// Frame.to_numpy for packed pixel formats: the one copy such a frame makes, unpacked into a new
// uint16 array with the interpreter released.
#include <nanobind/nanobind.h>

#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/pixel/formats.hpp"

namespace korvalite::py {

// A writable (height, width) uint16 array owning its samples; ValueError for a frame too short
// for its image.
nanobind::object unpacked_array(const gige::stream::Frame& frame, const pixel::FormatInfo& format);

}  // namespace korvalite::py
