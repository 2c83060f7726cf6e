#include "pixel_format.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "korvalite/pixel/formats.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using pixel::FormatInfo;

const char* layout_name(pixel::Layout layout) {
    switch (layout) {
        case pixel::Layout::Mono: return "mono";
        case pixel::Layout::Bayer: return "bayer";
        case pixel::Layout::Rgb: return "rgb";
        case pixel::Layout::Bgr: return "bgr";
        case pixel::Layout::Yuv422: return "yuv422";
        case pixel::Layout::YCbCr422: return "ycbcr422";
    }
    return "";
}

nb::object bayer_tile(const FormatInfo& f) {
    switch (f.tile) {
        case pixel::BayerTile::RG: return nb::str("RG");
        case pixel::BayerTile::GB: return nb::str("GB");
        case pixel::BayerTile::GR: return nb::str("GR");
        case pixel::BayerTile::BG: return nb::str("BG");
        case pixel::BayerTile::None: break;
    }
    return nb::none();
}

constexpr const char* kInfoDoc =
    "What korvalite knows about one pixel format: its name and code, how many bits a pixel\n"
    "takes on the wire and how many of them carry the value, its layout, and the array\n"
    "`Frame.to_numpy()` gives for it.";

}  // namespace

void bind_pixel_format(nb::module_& m) {
    nb::class_<FormatInfo>(m, "PixelFormatInfo", kInfoDoc)
        .def_prop_ro("name", [](const FormatInfo& f) { return std::string(f.name); }, "e.g. `\"Mono12p\"`.")
        .def_prop_ro("code", [](const FormatInfo& f) { return f.code; }, "The 32-bit GigE Vision code.")
        .def_prop_ro("bits_per_pixel", [](const FormatInfo& f) { return f.wire_bits; },
                     "Bits one pixel takes in the payload, all channels together (12 for Mono12p, 16 for Mono12).")
        .def_prop_ro("significant_bits", [](const FormatInfo& f) { return f.pixel_bits; },
                     "Bits of one sample that carry its value (12 for both Mono12p and Mono12).")
        .def_prop_ro("layout", [](const FormatInfo& f) { return layout_name(f.layout); },
                     "One of `mono`, `bayer`, `rgb`, `bgr`, `yuv422`, `ycbcr422`.")
        .def_prop_ro("bayer_pattern", &bayer_tile, nb::sig("def bayer_pattern(self) -> str | None"),
                     "Colours of the mosaic's top-left 2x2 cell (`RG`, `GB`, `GR`, `BG`), None when not Bayer.")
        .def_prop_ro("packed", [](const FormatInfo& f) { return f.packing != pixel::Packing::None; },
                     "True when pixels share bytes; `to_numpy()` then unpacks them into a new array.")
        .def_prop_ro("channels", [](const FormatInfo& f) { return f.channels; },
                     "Samples per pixel in `to_numpy()`'s array (2 for 4:2:2: chroma and luma as sent).")
        .def_prop_ro("dtype", [](const FormatInfo& f) { return f.sample_bytes == 2 ? "uint16" : "uint8"; },
                     "numpy dtype name of `to_numpy()`'s array.")
        .def("__repr__", [](const FormatInfo& f) {
            return "PixelFormatInfo(" + std::string(f.name) + ", " + std::to_string(f.wire_bits) + " bits per pixel, " +
                   std::to_string(f.pixel_bits) + " significant)";
        }, "`PixelFormatInfo(<name>, <bits> bits per pixel, <significant> significant)`.");
    m.def(
        "pixel_formats",
        [] {
            nb::list out;
            for (const FormatInfo& f : pixel::known_formats()) out.append(nb::cast(&f, nb::rv_policy::reference));
            return out;
        },
        nb::sig("def pixel_formats() -> list[PixelFormatInfo]"),
        "Every pixel format korvalite shapes and unpacks in `Frame.to_numpy()`.");
}

nb::object pixel_format_info(std::uint32_t code) {
    const FormatInfo* f = pixel::find_format(code);
    return f == nullptr ? nb::none() : nb::cast(f, nb::rv_policy::reference);
}

}  // namespace korvalite::py
