#include "frame.hpp"

#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>

#include "enums.hpp"
#include "frame_array.hpp"
#include "korvalite/pixel/formats.hpp"
#include "pixel_format.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using gige::stream::Frame;
using gige::stream::FramePtr;

constexpr const char* kFrameDoc = "One captured frame. The pixel payload is copied out by `data()`.";
constexpr const char* kIsCompleteDoc = "`True` when every packet of the frame arrived.";
constexpr const char* kPixelFormatDoc =
    "Pixel format name (e.g. `\"Mono8\"`), or the raw GigE Vision code in hex for formats without a known name.";
constexpr const char* kPixelFormatInfoDoc =
    "What korvalite knows about the pixel format (bits per pixel, layout), None for an unknown code.";
constexpr const char* kPixelFormatCodeDoc = "The raw 32-bit GigE Vision pixel format code.";
constexpr const char* kDataDoc =
    "The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
    "frame the holes read as stale buffer content \u2014 check `status` first.";

constexpr const char* kChunksDoc =
    "The frame's chunk data: `{chunk id: memoryview}` with read-only views of each chunk's\n"
    "bytes inside the frame's buffer (no copies), in payload order. Each view keeps the frame\n"
    "and its buffer alive. Empty unless the frame is complete and its leader announced chunk\n"
    "data; a layout that does not fit the payload makes the frame `MalformedChunks` instead.\n"
    "`Camera.chunk_value(frame, name)` reads the description's chunk features from them.";
constexpr const char* kToNumpyDoc =
    "The payload as a read-only numpy array over the frame's buffer, without copying.\n\n"
    "Shaped (height, width) `uint8` for 8-bit mono and Bayer formats, (height, width)\n"
    "`uint16` for Mono10/12/16 and Bayer 10/12, (height, width, 3) `uint8` for RGB8/BGR8,\n"
    "(height, width, 2) `uint8` for YUV422_8/YCbCr422_8 (bytes as sent), with rows as\n"
    "far apart as the leader's line padding says; any other format gives a 1-D\n"
    "`uint8` array of the bytes `data()` returns. The array keeps the frame and its\n"
    "buffer alive. Packed formats (Mono10p, Mono12p, Mono12Packed, Bayer 10p/12p/12Packed)\n"
    "are unpacked into a new, writable (height, width) `uint16` array instead.\n"
    "Raises `ValueError` when the frame is too short for its image and\n"
    "`ImportError` when numpy is not installed.";
constexpr const char* kLayoutDoc =
    "(height, width, channels, bytes per sample, line stride) of the frame's image, or\n"
    "None for a pixel format without one; `ValueError` when the frame is too short.";

constexpr const char* kSaveDoc =
    "Writes the frame to `path` by its suffix (.png, .tif/.tiff, .pgm/.ppm, .npy); see\n"
    "`korvalite.images.save_frame` for the options (`bits=8`, `raw=True`). Returns the path.";

const Frame& frame(const FrameObject& object) { return *object.frame; }

std::string format_name(const FrameObject& object) { return pixel::format_name(frame(object).pixel_format().code); }

nb::object format_info(const FrameObject& object) { return pixel_format_info(frame(object).pixel_format().code); }

nb::object save(nb::handle self, nb::handle path, nb::kwargs options) {
    return nb::module_::import_("korvalite.images").attr("save_frame")(self, path, **options);
}

nb::bytes data(const FrameObject& object) {
    const auto bytes = frame(object).data();
    return nb::bytes(bytes.data(), bytes.size());
}

std::string repr(const FrameObject& object) {
    const Frame& f = frame(object);
    return "Frame(id=" + std::to_string(f.frame_id()) + ", " + gige::stream::frame_status_name(f.status()) + ", " +
           std::to_string(f.width()) + "x" + std::to_string(f.height()) + " " +
           pixel::format_name(f.pixel_format().code) + ", " + std::to_string(f.received_size()) + " bytes)";
}

// {chunk id: read-only memoryview of the chunk's bytes}: slices of one view over the frame's
// data, so each keeps the Python Frame (and its buffer) alive.
nb::dict chunks(nb::handle_t<FrameObject> self) {
    nb::dict out;
    const auto entries = frame(nb::cast<const FrameObject&>(self)).chunks();
    if (entries.empty()) return out;
    nb::object whole = nb::steal(PyMemoryView_FromObject(self.ptr()));
    if (!whole.is_valid()) throw nb::python_error();
    for (const auto& entry : entries) {
        nb::object start = nb::int_(entry.offset);
        nb::object stop = nb::int_(entry.offset + entry.length);
        nb::object slice = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
        if (!slice.is_valid()) throw nb::python_error();
        nb::object view = nb::steal(PyObject_GetItem(whole.ptr(), slice.ptr()));
        if (!view.is_valid()) throw nb::python_error();
        out[nb::int_(entry.id)] = view;  // a repeated id keeps its last chunk
    }
    return out;
}

// Buffer protocol: a read-only, one-dimensional byte view over the frame's data, without copying.
// The view holds a reference to the Python Frame, which holds the frame and so its buffer.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    const auto bytes = frame(*nb::inst_ptr<FrameObject>(self)).data();
    static const std::byte no_bytes{};
    void* start = const_cast<std::byte*>(bytes.empty() ? &no_bytes : bytes.data());
    return PyBuffer_FillInfo(view, self, start, static_cast<Py_ssize_t>(bytes.size()), /*readonly=*/1, flags);
}

PyType_Slot frame_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {0, nullptr},
};

}  // namespace

void bind_frame(nb::module_& m) {
    nb::class_<FrameObject>(m, "Frame", kFrameDoc, nb::type_slots(frame_slots), nb::is_weak_referenceable())
        .def_prop_ro("status", [](const FrameObject& o) { return to_python(frame(o).status()); },
                     nb::sig("def status(self) -> FrameStatus"), "How the frame ended.")
        .def_prop_ro("is_complete", [](const FrameObject& o) { return frame(o).is_complete(); }, kIsCompleteDoc)
        .def_prop_ro("frame_id", [](const FrameObject& o) { return frame(o).frame_id(); },
                     "Frame (block) identifier.")
        .def_prop_ro("width", [](const FrameObject& o) { return frame(o).width(); }, "Width from the leader.")
        .def_prop_ro("height", [](const FrameObject& o) { return frame(o).height(); }, "Height from the leader.")
        .def_prop_ro("x_offset", [](const FrameObject& o) { return frame(o).x_offset(); },
                     "Horizontal offset from the leader.")
        .def_prop_ro("y_offset", [](const FrameObject& o) { return frame(o).y_offset(); },
                     "Vertical offset from the leader.")
        .def_prop_ro("pixel_format", [](const FrameObject& o) { return format_name(o); }, kPixelFormatDoc)
        .def_prop_ro("pixel_format_info", [](const FrameObject& o) { return format_info(o); },
                     nb::sig("def pixel_format_info(self) -> PixelFormatInfo | None"), kPixelFormatInfoDoc)
        .def_prop_ro("pixel_format_code", [](const FrameObject& o) { return frame(o).pixel_format().code; },
                     kPixelFormatCodeDoc)
        .def_prop_ro("bits_per_pixel", [](const FrameObject& o) { return frame(o).bits_per_pixel(); },
                     "Bits per pixel: bits 16 to 23 of the pixel format code.")
        .def_prop_ro("timestamp_ticks", [](const FrameObject& o) { return frame(o).timestamp_ticks(); },
                     "Device timestamp in device ticks.")
        .def_prop_ro("timestamp_ns", [](const FrameObject& o) { return frame(o).timestamp_ns(); },
                     "Device timestamp in nanoseconds.")
        .def_prop_ro("system_timestamp_ns", [](const FrameObject& o) { return frame(o).system_timestamp_ns(); },
                     "Host wall-clock time when the leader arrived, in nanoseconds since the Unix epoch.")
        .def_prop_ro("received_size", [](const FrameObject& o) { return frame(o).received_size(); },
                     "Number of payload bytes that arrived.")
        .def_prop_ro("chunks", &chunks, nb::sig("def chunks(self) -> dict[int, memoryview]"), kChunksDoc)
        .def("data", &data, kDataDoc)
        .def("to_numpy", &frame_to_numpy, kToNumpyDoc,
             nb::sig("def to_numpy(self) -> typing.Annotated[numpy.typing.NDArray, dict(writable=False)]"))
        .def("save", &save, kSaveDoc, "path"_a, "options"_a,
             nb::sig("def save(self, path: str | os.PathLike, **options) -> pathlib.Path"))
        .def("_layout", &frame_layout_tuple, kLayoutDoc,
             nb::sig("def _layout(self) -> tuple[int, int, int, int, int] | None"))
        .def("__repr__", &repr, "`Frame(id=<id>, <status>, <width>x<height> <pixel format>, <received size> bytes)`.");
}

nb::object to_python(FramePtr frame) {
    if (!frame) throw std::invalid_argument("no frame to hand to Python");
    return nb::cast(FrameObject{std::move(frame)});
}

const FramePtr& frame_of(nb::handle object) {
    if (!nb::isinstance<FrameObject>(object)) throw nb::type_error("expected a Frame");
    return nb::cast<const FrameObject&>(object).frame;
}

}  // namespace korvalite::py
