#include "frame_unpack.hpp"

#include <nanobind/ndarray.h>

#include <memory>
#include <string>

#include "gil.hpp"
#include "korvalite/pixel/unpack.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

std::string short_text(const gige::stream::Frame& frame, const pixel::FormatInfo& format, std::uint64_t needed) {
    std::string text = "frame too short for its image: " + std::to_string(frame.width()) + "x" +
                       std::to_string(frame.height()) + " " + std::string(format.name);
    if (frame.padding_x() != 0) text += " with " + std::to_string(frame.padding_x()) + " bytes of line padding";
    return text + " needs " + std::to_string(needed) + " bytes, the frame holds " +
           std::to_string(frame.data().size());
}

}  // namespace

nb::object unpacked_array(const gige::stream::Frame& frame, const pixel::FormatInfo& format) {
    const pixel::PackedImage image{frame.width(), frame.height(), frame.padding_x()};
    const auto bytes = frame.data();
    const std::uint64_t needed = pixel::packed_image_bytes(format.packing, image);
    if (needed > bytes.size()) throw nb::value_error(short_text(frame, format, needed).c_str());
    // The frame holds at least `needed` bytes, so the sample count fits in memory terms.
    const std::size_t count = std::size_t{image.width} * image.height;
    auto samples = std::make_unique_for_overwrite<std::uint16_t[]>(count);
    bool unpacked = false;
    {
        GilRelease released;
        unpacked = pixel::unpack_image(format.packing, bytes, image, std::span(samples.get(), count));
    }
    if (!unpacked) throw nb::value_error(short_text(frame, format, needed).c_str());
    std::uint16_t* data = samples.release();
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<std::uint16_t*>(p); });
    const std::size_t shape[2] = {image.height, image.width};
    return nb::cast(nb::ndarray<nb::numpy, std::uint16_t, nb::ndim<2>>(data, 2, shape, owner));
}

}  // namespace korvalite::py
