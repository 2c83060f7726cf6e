#pragma once
// How a frame's payload reads as an image: `height` rows of `width` pixels, each pixel `channels`
// samples of `sample_bytes` bytes, rows `line_stride` bytes apart (the leader's line padding
// included). Frame.to_numpy shapes its views from it, and Frame._layout hands it to Python.
// Packed formats have no such layout: to_numpy unpacks them instead.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "korvalite/gige/stream/frame.hpp"

namespace korvalite::device {

struct ImageLayout {
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    std::uint32_t channels = 0;
    std::uint32_t sample_bytes = 0;
    std::uint64_t line_stride = 0;
};

// Channels and bytes per sample of the formats a view can be shaped for: those whose pixels do
// not share bytes (16-bit samples one little-endian word each). Nullopt otherwise.
struct SampleShape {
    std::uint32_t channels;
    std::uint32_t sample_bytes;
};
std::optional<SampleShape> sample_shape(gige::proto::PixelFormat format);

// The frame's layout; nullopt for a format without one; an error text when the frame's data
// (as `data()` gives it) is too short for the image its leader claims.
std::expected<std::optional<ImageLayout>, std::string> image_layout(const gige::stream::Frame& frame);

}  // namespace korvalite::device
