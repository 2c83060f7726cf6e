#include "korvalite/device/frame_layout.hpp"

#include "korvalite/pixel/formats.hpp"

namespace korvalite::device {

namespace {

using gige::proto::PixelFormat;

using Wide = unsigned __int128;

std::string decimal(Wide value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::string short_text(const gige::stream::Frame& frame, const ImageLayout& layout, Wide needed) {
    std::string text = "frame too short for its image: " + std::to_string(layout.width) + "x" +
                       std::to_string(layout.height) + " " + pixel::format_name(frame.pixel_format().code);
    if (frame.padding_x() != 0) text += " with " + std::to_string(frame.padding_x()) + " bytes of line padding";
    return text + " needs " + decimal(needed) + " bytes, the frame holds " +
           std::to_string(frame.data().size());
}

}  // namespace

std::optional<SampleShape> sample_shape(PixelFormat format) {
    const pixel::FormatInfo* info = pixel::find_format(format.code);
    if (info == nullptr || info->packing != pixel::Packing::None) return std::nullopt;
    return SampleShape{info->channels, info->sample_bytes};
}

std::expected<std::optional<ImageLayout>, std::string> image_layout(const gige::stream::Frame& frame) {
    const auto shape = sample_shape(frame.pixel_format());
    if (!shape) return std::nullopt;
    ImageLayout layout{frame.height(), frame.width(), shape->channels, shape->sample_bytes, 0};
    // Widths and heights are 32-bit, so rows fit in 64 bits; the whole image may not.
    const std::uint64_t row = std::uint64_t{layout.width} * layout.channels * layout.sample_bytes;
    layout.line_stride = row + frame.padding_x();
    // The last row needs no padding after it.
    const Wide needed = layout.height == 0 ? 0 : Wide{layout.line_stride} * (layout.height - 1) + row;
    if (needed > frame.data().size()) return std::unexpected(short_text(frame, layout, needed));
    return layout;
}

}  // namespace korvalite::device
