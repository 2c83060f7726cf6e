#include "frame_array.hpp"

#include <nanobind/ndarray.h>

#include <bit>
#include <cstdint>

#include "frame_unpack.hpp"
#include "korvalite/device/frame_layout.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

// 16-bit pixels travel little-endian; the arrays describe them in the host's byte order.
static_assert(std::endian::native == std::endian::little, "uint16 pixel arrays assume a little-endian host");

using ImageArray = nb::ndarray<nb::numpy, nb::ro>;
using device::ImageLayout;

std::optional<ImageLayout> layout_or_raise(const gige::stream::Frame& f) {
    auto layout = device::image_layout(f);
    if (!layout) throw nb::value_error(layout.error().c_str());
    return *layout;
}

// numpy is optional: the first call imports it, and its absence is one clear ImportError.
void require_numpy() {
    static bool imported = false;
    if (imported) return;
    try {
        nb::module_::import_("numpy");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        throw nb::import_error("Frame.to_numpy needs numpy; install it with `pip install numpy`");
    }
    imported = true;
}

}  // namespace

nb::object frame_layout_tuple(const FrameObject& object) {
    const auto layout = layout_or_raise(*object.frame);
    if (!layout) return nb::none();
    return nb::make_tuple(layout->height, layout->width, layout->channels, layout->sample_bytes, layout->line_stride);
}

// The array's owner is the Python Frame, which holds the frame and so its pooled buffer.
// nanobind counts strides in elements; a 16-bit image whose rows lie an odd number of bytes
// apart is made as bytes and viewed as 16-bit words by numpy, which counts strides in bytes.
nb::object frame_to_numpy(nb::handle_t<FrameObject> self) {
    require_numpy();
    const gige::stream::Frame& f = *nb::inst_ptr<FrameObject>(self)->frame;
    const pixel::FormatInfo* format = pixel::find_format(f.pixel_format().code);
    if (format != nullptr && format->packing != pixel::Packing::None) return unpacked_array(f, *format);
    const auto layout = layout_or_raise(f);
    const auto bytes = f.data();
    static const std::byte no_bytes{};
    const void* start = bytes.empty() ? &no_bytes : bytes.data();
    const auto u8 = nb::dtype<std::uint8_t>();
    if (!layout) {
        const std::size_t shape[1] = {bytes.size()};
        return nb::cast(ImageArray(start, 1, shape, self, nullptr, u8));
    }
    const std::size_t height = layout->height, width = layout->width, channels = layout->channels;
    const auto stride = static_cast<std::int64_t>(layout->line_stride);
    if (layout->sample_bytes == 1) {
        const std::size_t shape[3] = {height, width, channels};
        const std::int64_t strides[3] = {stride, static_cast<std::int64_t>(channels), 1};
        return nb::cast(ImageArray(start, channels == 1 ? 2 : 3, shape, self, strides, u8));
    }
    if (stride % 2 == 0) {
        const std::size_t shape[2] = {height, width};
        const std::int64_t strides[2] = {stride / 2, 1};
        return nb::cast(ImageArray(start, 2, shape, self, strides, nb::dtype<std::uint16_t>()));
    }
    const std::size_t shape[2] = {height, 2 * width};
    const std::int64_t strides[2] = {stride, 1};
    return nb::cast(ImageArray(start, 2, shape, self, strides, u8)).attr("view")("<u2");
}

}  // namespace korvalite::py
