#pragma once
// The scene the simulated camera looks at while TestPattern is Off: something a person can
// recognise, that shows geometry, colour, motion and the exposure settings.
//
// In sensor coordinates (the window shows its part of the sensor):
//   top 30 %        six colour bars, left to right red, yellow, green, cyan, blue, magenta
//   middle 45 %     a grey ramp dark at the left to light at the right, with an orange disc
//                   left of centre and a blue square right of it
//   bottom 25 %     dark grey
//   on top          a white square that bounces about the whole sensor with the frame number
//                   (a sensor width in about 160 frames, a height in about 120)
//
// Brightness is the scene's light times the exposure (ExposureTime / 10 ms) times the gain
// (10^(Gain/20)), saturating at the format's largest value: at 10 ms and 0 dB the image is
// about mid scale. Mono formats carry the luma (BT.601 weights) scaled to their depth; Bayer
// formats the colour the cell of the mosaic filters at each pixel (the mosaic starts at the
// window's top-left pixel); RGB8 and BGR8 the colour in their byte order; YUV422_8 and
// YCbCr422_8 full-range BT.601 luma per pixel and the chroma of each pixel pair. Unlike the test
// pattern the scene has no frame-number stamp: the block id names the frame.
#include <cstdint>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/sim/pattern.hpp"

namespace korvalite::sim {

// TestPattern values: the scene, or the exact test pattern of pattern.hpp.
enum class TestPattern : std::uint32_t { Off = 0, GreyDiagonalRampMoving = 1 };
inline constexpr std::uint32_t kTestPatterns = 2;

// What the scene's rendering depends on besides the window and pixel format.
struct SceneSettings {
    std::uint32_t sensor_width = 0;
    std::uint32_t sensor_height = 0;
    std::uint32_t exposure_raw = 100000;  // tenths of a microsecond
    float gain_db = 0.0f;

    bool operator==(const SceneSettings&) const = default;
};

// The brightness factor of the settings: 1 at 10 ms and 0 dB.
double scene_scale(const SceneSettings& settings);

// Fills `out` (exactly image_payload_size bytes) with frame `frame_number` of the scene.
void fill_scene(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry,
                const SceneSettings& settings);

// fill_scene at streaming speed: keeps the scene without the moving square for the last window,
// format and settings, and per frame copies it and draws only the square.
class SceneRenderer {
public:
    void fill(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry,
              const SceneSettings& settings);

private:
    bool cached_ = false;
    ImageGeometry geometry_{};
    SceneSettings settings_{};
    gige::proto::ByteVec still_;
};

}  // namespace korvalite::sim
