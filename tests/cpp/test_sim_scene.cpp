// The simulated camera's scene: the streaming renderer draws what fill_scene draws, and Bayer
// mosaics carry the colour scene in their filter order.
#include <gtest/gtest.h>

#include "korvalite/gige/proto/gvsp.hpp"
#include "korvalite/pixel/formats.hpp"
#include "korvalite/sim/scene.hpp"

using namespace korvalite;
using namespace korvalite::sim;
namespace pc = pixel::code;

namespace {

gige::proto::ByteVec scene(std::uint64_t frame, const ImageGeometry& g, const SceneSettings& s) {
    gige::proto::ByteVec out(image_payload_size(g));
    fill_scene(out, frame, g, s);
    return out;
}

}  // namespace

TEST(SimScene, RendererDrawsWhatFillSceneDraws) {
    // A window the moving square crosses in the first frames (it starts at the top-left corner
    // and moves a pixel a frame each way here), over the bars and the disc; odd sizes and
    // offsets so packed runs and 4:2:2 pairs start mid-row. The settings change half way, which
    // must redraw the part that stands still.
    const SceneSettings dim{200, 100, 100000, 0.0f}, bright{200, 100, 150000, 6.0f};
    SceneRenderer renderer;
    for (const std::uint32_t format : {pc::kMono8, pc::kMono16, pc::kMono10p, pc::kMono12Packed, pc::kBayerGR12p,
                                       pc::kRGB8, pc::kBGR8, pc::kYUV422_8, pc::kYCbCr422_8}) {
        const ImageGeometry g{37, 41, 5, 3, format};
        for (std::uint64_t frame = 0; frame < 60; frame += 7) {
            const SceneSettings& s = frame < 30 ? dim : bright;
            gige::proto::ByteVec out(image_payload_size(g));
            renderer.fill(out, frame, g, s);
            EXPECT_EQ(out, scene(frame, g, s)) << pixel::format_name(format) << " frame " << frame;
        }
    }
}

TEST(SimScene, BayerSamplesAreTheirCellsColourOfTheRgbScene) {
    const SceneSettings s{64, 48, 100000, 0.0f};
    const ImageGeometry rgb_window{64, 48, 0, 0, pc::kRGB8};
    const auto rgb = scene(3, rgb_window, s);
    struct Case {
        std::uint32_t format;
        std::array<int, 4> cells;  // channel of (x & 1) + 2 * (y & 1)
    };
    for (const Case& c : std::initializer_list<Case>{{pc::kBayerRG8, {0, 1, 1, 2}},
                                                     {pc::kBayerGB8, {1, 2, 0, 1}},
                                                     {pc::kBayerGR8, {1, 0, 2, 1}},
                                                     {pc::kBayerBG8, {2, 1, 1, 0}}}) {
        const auto mosaic = scene(3, {64, 48, 0, 0, c.format}, s);
        for (std::uint32_t y = 0; y < 48; ++y)
            for (std::uint32_t x = 0; x < 64; ++x)
                ASSERT_EQ(mosaic[y * 64 + x], rgb[3 * (y * 64 + x) + c.cells[(x & 1) + 2 * (y & 1)]])
                    << pixel::format_name(c.format) << " at " << x << "," << y;
    }
}
