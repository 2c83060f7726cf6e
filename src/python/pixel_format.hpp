#pragma once
// PixelFormatInfo: what korvalite knows about a pixel format code (Frame.pixel_format_info,
// korvalite.pixel_formats()).
#include <nanobind/nanobind.h>

#include <cstdint>

namespace korvalite::py {

void bind_pixel_format(nanobind::module_& m);

// The PixelFormatInfo of `code`, or None for a code korvalite does not know.
nanobind::object pixel_format_info(std::uint32_t code);

}  // namespace korvalite::py
