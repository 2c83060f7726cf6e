#include "korvalite/sim/scene.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "korvalite/pixel/formats.hpp"
#include "korvalite/pixel/unpack.hpp"

namespace korvalite::sim {

namespace {

using pixel::FormatInfo;
using pixel::Layout;
using pixel::Packing;

struct Rgb {
    float r = 0, g = 0, b = 0;
};

constexpr std::array<Rgb, 6> kBars{{{0.8f, 0.0f, 0.0f},
                                    {0.8f, 0.8f, 0.0f},
                                    {0.0f, 0.8f, 0.0f},
                                    {0.0f, 0.8f, 0.8f},
                                    {0.0f, 0.0f, 0.8f},
                                    {0.8f, 0.0f, 0.8f}}};
constexpr Rgb kDisc{0.95f, 0.5f, 0.1f};
constexpr Rgb kSquare{0.15f, 0.35f, 0.9f};
constexpr Rgb kFloor{0.2f, 0.2f, 0.2f};
constexpr Rgb kMover{0.95f, 0.95f, 0.95f};
constexpr float kRampLow = 0.08f, kRampSpan = 0.84f;
constexpr std::int64_t kMoverFramesPerWidth = 160, kMoverFramesPerHeight = 120;

// Where things are, in sensor pixels. Shapes are sized by the sensor height so they stay round.
struct SceneLayout {
    std::int64_t sw = 1, sh = 1;
    std::int64_t bars_end = 0, middle_end = 0;
    std::int64_t disc_cx = 0, disc_cy = 0, disc_r2 = 0;
    std::int64_t square_x0 = 0, square_x1 = 0, square_y0 = 0, square_y1 = 0;
    std::int64_t mover_side = 0;
    std::int64_t mover_x0 = 0, mover_x1 = 0, mover_y0 = 0, mover_y1 = 0;  // empty: no moving square
    float ramp_step = 0;                       // ramp brightness per column
};

SceneLayout layout_of(const SceneSettings& s) {
    SceneLayout l;
    l.sw = std::max<std::int64_t>(s.sensor_width, 1);
    l.sh = std::max<std::int64_t>(s.sensor_height, 1);
    l.bars_end = l.sh * 30 / 100;
    l.middle_end = l.sh * 75 / 100;
    const std::int64_t middle_cy = (l.bars_end + l.middle_end) / 2;
    const std::int64_t r = l.sh * 17 / 100;
    l.disc_cx = l.sw / 4;
    l.disc_cy = middle_cy;
    l.disc_r2 = r * r;
    const std::int64_t half = l.sh * 14 / 100, square_cx = l.sw * 72 / 100;
    l.square_x0 = square_cx - half;
    l.square_x1 = square_cx + half;
    l.square_y0 = middle_cy - half;
    l.square_y1 = middle_cy + half;
    l.mover_side = std::max<std::int64_t>(2, l.sh * 12 / 100);
    l.ramp_step = kRampSpan / static_cast<float>(std::max<std::int64_t>(l.sw - 1, 1));
    return l;
}

// Where a square bouncing between 0 and `room` is after `frame_number` steps of `step`.
std::int64_t bounce(std::uint64_t frame_number, std::int64_t step, std::int64_t room) {
    if (room <= 0) return 0;
    const auto period = static_cast<std::uint64_t>(2 * room);
    const auto t = static_cast<std::int64_t>((frame_number % period) * static_cast<std::uint64_t>(step) % period);
    return t <= room ? t : 2 * room - t;
}

// The moving square for this frame: it bounces about the whole sensor, so that every part of it
// sees the square pass.
void place_mover(SceneLayout& l, std::uint64_t frame_number) {
    l.mover_x0 = bounce(frame_number, std::max<std::int64_t>(1, l.sw / kMoverFramesPerWidth), l.sw - l.mover_side);
    l.mover_y0 = bounce(frame_number, std::max<std::int64_t>(1, l.sh / kMoverFramesPerHeight), l.sh - l.mover_side);
    l.mover_x1 = l.mover_x0 + l.mover_side;
    l.mover_y1 = l.mover_y0 + l.mover_side;
}

Rgb colour_at(const SceneLayout& l, std::int64_t x, std::int64_t y) {
    if (y >= l.mover_y0 && y < l.mover_y1 && x >= l.mover_x0 && x < l.mover_x1) return kMover;
    if (y < l.bars_end) return kBars[static_cast<std::size_t>(std::min<std::int64_t>(x * 6 / l.sw, 5))];
    if (y < l.middle_end) {
        if (x >= l.square_x0 && x < l.square_x1 && y >= l.square_y0 && y < l.square_y1) return kSquare;
        const std::int64_t dx = x - l.disc_cx, dy = y - l.disc_cy;
        if (dx * dx + dy * dy <= l.disc_r2) return kDisc;
        const float v = kRampLow + l.ramp_step * static_cast<float>(x);
        return {v, v, v};
    }
    return kFloor;
}

// Rows of one class show the same colours: 0 for a row of its own, else its band (bars, plain
// ramp, floor), apart or crossed by the moving square. A row two rows down of the same class can
// be copied, which keeps a Bayer row's filter order too.
int row_class(const SceneLayout& l, std::int64_t y) {
    int band = 3;
    if (y < l.bars_end) {
        band = 1;
    } else if (y < l.middle_end) {
        const std::int64_t dy = y - l.disc_cy;
        if (dy * dy <= l.disc_r2 || (y >= l.square_y0 && y < l.square_y1)) return 0;
        band = 2;
    }
    return l.mover_x0 < l.mover_x1 && y >= l.mover_y0 && y < l.mover_y1 ? band + 3 : band;
}

// Renders the scene into one payload: any rectangle of an unpacked format, any pixel run of a
// packed one.
class Painter {
public:
    Painter(const FormatInfo& f, const ImageGeometry& g, const SceneLayout& l, double scale)
        : f_(f), g_(g), l_(l), max_((1u << f.pixel_bits) - 1), scale_(scale * max_) {
        using enum pixel::BayerTile;
        // Colour (0 R, 1 G, 2 B) of the mosaic cell at (x & 1) + 2 * (y & 1).
        switch (f.tile) {
            case RG: cells_ = {0, 1, 1, 2}; break;
            case GB: cells_ = {1, 2, 0, 1}; break;
            case GR: cells_ = {1, 0, 2, 1}; break;
            case BG: cells_ = {2, 1, 1, 0}; break;
            case None: break;
        }
    }

    // `same_rows`: every row of the rectangle shows what the row two up shows.
    void rect(gige::proto::MutableBytes out, std::uint32_t x0, std::uint32_t x1, std::uint32_t y0,
              std::uint32_t y1, bool same_rows) const {
        if (f_.layout == Layout::Yuv422 || f_.layout == Layout::YCbCr422) {  // whole pixel pairs
            const std::uint32_t pair_x0 = x0 & ~1u, pair_x1 = std::min(g_.width, (x1 + 1) & ~1u);
            // A widened rectangle takes in pixels outside, which rows need not share.
            same_rows = same_rows && pair_x0 == x0 && pair_x1 == x1;
            x0 = pair_x0;
            x1 = pair_x1;
        }
        const std::size_t row_bytes = std::size_t{g_.width} * f_.wire_bits / 8;
        const std::size_t from = std::size_t{x0} * f_.wire_bits / 8, to = std::size_t{x1} * f_.wire_bits / 8;
        for (std::uint32_t y = y0; y < y1; ++y) {
            std::byte* row = out.data() + y * row_bytes;
            if (y >= y0 + 2 && (same_rows || same_as_two_up(y))) {
                std::memcpy(row + from, row - 2 * row_bytes + from, to - from);
                continue;
            }
            switch (f_.layout) {
                case Layout::Rgb:
                case Layout::Bgr: rgb_row(row, x0, x1, y); break;
                case Layout::Yuv422:
                case Layout::YCbCr422: yuv_row(row, x0, x1, y); break;
                case Layout::Mono:
                case Layout::Bayer:
                    for (std::uint32_t x = x0; x < x1; ++x) put_sample(row, x, sample(x, y));
                    break;
            }
        }
    }

    // Pixels [p0, p1) of a packed format, counted row after row; p0 and p1 (unless the image's
    // end) fall on whole packing groups.
    void run(gige::proto::MutableBytes out, std::uint64_t p0, std::uint64_t p1) const {
        std::vector<std::uint16_t> words(p1 - p0);
        const std::uint64_t w = g_.width;
        for (std::uint64_t p = p0; p < p1;) {
            const auto y = static_cast<std::uint32_t>(p / w);
            const std::uint64_t row_end = std::min(p1, (y + 1) * w);
            // A whole row whose twin two rows up is in the run too: copy it.
            if (p == y * w && row_end == (y + 1) * w && p >= p0 + 2 * w && same_as_two_up(y)) {
                std::copy_n(words.begin() + static_cast<std::ptrdiff_t>(p - p0 - 2 * w), w,
                            words.begin() + static_cast<std::ptrdiff_t>(p - p0));
                p = row_end;
                continue;
            }
            for (; p < row_end; ++p) words[p - p0] = sample(static_cast<std::uint32_t>(p - y * w), y);
        }
        [[maybe_unused]] const bool packed = pixel::pack(f_.packing, words, out.subspan(p0 * f_.wire_bits / 8));
    }

private:
    bool same_as_two_up(std::uint32_t y) const {
        const int c = row_class(l_, std::int64_t{y} + g_.offset_y);
        return c != 0 && c == row_class(l_, std::int64_t{y} - 2 + g_.offset_y);
    }

    Rgb at(std::uint32_t x, std::uint32_t y) const {
        return colour_at(l_, std::int64_t{x} + g_.offset_x, std::int64_t{y} + g_.offset_y);
    }

    std::uint16_t level(float v) const {
        const double q = static_cast<double>(v) * scale_ + 0.5;
        if (!(q >= 1.0)) return 0;  // NaN too
        return q >= max_ ? static_cast<std::uint16_t>(max_) : static_cast<std::uint16_t>(q);
    }

    std::uint16_t sample(std::uint32_t x, std::uint32_t y) const {
        const Rgb c = at(x, y);
        if (f_.layout == Layout::Bayer) {
            const std::uint8_t cell = cells_[(x & 1) + 2 * (y & 1)];
            return level(cell == 0 ? c.r : cell == 1 ? c.g : c.b);
        }
        return level(0.299f * c.r + 0.587f * c.g + 0.114f * c.b);
    }

    void put_sample(std::byte* row, std::uint32_t x, std::uint16_t v) const {
        if (f_.sample_bytes == 2) {
            row[2 * x] = static_cast<std::byte>(v & 0xFF);
            row[2 * x + 1] = static_cast<std::byte>(v >> 8);
        } else {
            row[x] = static_cast<std::byte>(v);
        }
    }

    void rgb_row(std::byte* row, std::uint32_t x0, std::uint32_t x1, std::uint32_t y) const {
        const std::size_t first = f_.layout == Layout::Bgr ? 2 : 0, last = 2 - first;
        for (std::uint32_t x = x0; x < x1; ++x) {
            const Rgb c = at(x, y);
            row[3 * x + first] = static_cast<std::byte>(level(c.r));
            row[3 * x + 1] = static_cast<std::byte>(level(c.g));
            row[3 * x + last] = static_cast<std::byte>(level(c.b));
        }
    }

    static std::byte byte_of(double v) { return static_cast<std::byte>(std::clamp(std::lround(v), 0L, 255L)); }

    // Full-range BT.601 of the saturated RGB: luma per pixel; U (Cb) at even x and V (Cr) at
    // odd x, each the mean of the pixel pair's.
    void yuv_row(std::byte* row, std::uint32_t x0, std::uint32_t x1, std::uint32_t y) const {
        const std::size_t luma_at = f_.layout == Layout::YCbCr422 ? 0 : 1, chroma_at = 1 - luma_at;
        for (std::uint32_t x = x0; x < x1; x += 2) {
            const bool pair = x + 1 < g_.width;
            std::array<double, 2> luma{}, u{}, v{};
            for (std::uint32_t i = 0; i < (pair ? 2u : 1u); ++i) {
                const Rgb c = at(x + i, y);
                const double r = level(c.r), g = level(c.g), b = level(c.b);
                luma[i] = 0.299 * r + 0.587 * g + 0.114 * b;
                u[i] = -0.168736 * r - 0.331264 * g + 0.5 * b;
                v[i] = 0.5 * r - 0.418688 * g - 0.081312 * b;
            }
            if (!pair) u[1] = u[0];
            row[2 * x + luma_at] = byte_of(luma[0]);
            row[2 * x + chroma_at] = byte_of(128.0 + (u[0] + u[1]) / 2);
            if (!pair) continue;
            row[2 * x + 2 + luma_at] = byte_of(luma[1]);
            row[2 * x + 2 + chroma_at] = byte_of(128.0 + (v[0] + v[1]) / 2);
        }
    }

    const FormatInfo& f_;
    const ImageGeometry& g_;
    const SceneLayout& l_;
    std::uint32_t max_;
    double scale_;
    std::array<std::uint8_t, 4> cells_{};
};

// Pixels of one packing group: runs of a packed format start and end on these.
std::uint64_t packing_group(Packing packing) { return packing == Packing::Lsb10 ? 4 : 2; }

// Renders the part of the window that shows sensor columns [sx0, sx1) and rows [sy0, sy1).
// `same_rows` as for Painter::rect.
void paint(gige::proto::MutableBytes out, const FormatInfo& f, const ImageGeometry& g, const SceneLayout& l,
           double scale, std::int64_t sx0, std::int64_t sx1, std::int64_t sy0, std::int64_t sy1,
           bool same_rows = false) {
    const auto x0 = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sx0 - g.offset_x, 0, g.width));
    const auto x1 = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sx1 - g.offset_x, 0, g.width));
    const auto y0 = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sy0 - g.offset_y, 0, g.height));
    const auto y1 = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sy1 - g.offset_y, 0, g.height));
    if (x0 >= x1 || y0 >= y1) return;
    const Painter painter(f, g, l, scale);
    if (f.packing == Packing::None) {
        painter.rect(out, x0, x1, y0, y1, same_rows);
        return;
    }
    const std::uint64_t group = packing_group(f.packing), total = std::uint64_t{g.width} * g.height;
    const std::uint64_t p0 = (std::uint64_t{y0} * g.width + x0) / group * group;
    const std::uint64_t p1 = std::min(total, ((std::uint64_t{y1} - 1) * g.width + x1 + group - 1) / group * group);
    painter.run(out, p0, p1);
}

constexpr std::int64_t kEverywhere = std::int64_t{1} << 40;

}  // namespace

double scene_scale(const SceneSettings& settings) {
    // A raw register write may leave any bits in the gain: take what is not a number as 0 dB.
    const double gain_db = std::isfinite(settings.gain_db) ? settings.gain_db : 0.0;
    return settings.exposure_raw / 100000.0 * std::pow(10.0, gain_db / 20.0);
}

void fill_scene(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry,
                const SceneSettings& settings) {
    const FormatInfo* f = pixel::find_format(geometry.pixel_format);
    if (f == nullptr) return;
    SceneLayout layout = layout_of(settings);
    place_mover(layout, frame_number);
    paint(out, *f, geometry, layout, scene_scale(settings), -kEverywhere, kEverywhere, -kEverywhere, kEverywhere);
}

void SceneRenderer::fill(gige::proto::MutableBytes out, std::uint64_t frame_number, const ImageGeometry& geometry,
                         const SceneSettings& settings) {
    const FormatInfo* f = pixel::find_format(geometry.pixel_format);
    if (f == nullptr) return;
    SceneLayout layout = layout_of(settings);
    const double scale = scene_scale(settings);
    if (!cached_ || geometry_ != geometry || settings_ != settings || still_.size() != out.size()) {
        still_.assign(out.size(), std::byte{0});
        paint(still_, *f, geometry, layout, scale, -kEverywhere, kEverywhere, -kEverywhere, kEverywhere);
        cached_ = true;
        geometry_ = geometry;
        settings_ = settings;
    }
    std::memcpy(out.data(), still_.data(), out.size());
    place_mover(layout, frame_number);
    // Inside the square every row is the square's.
    paint(out, *f, geometry, layout, scale, layout.mover_x0, layout.mover_x1, layout.mover_y0, layout.mover_y1,
          true);
}

}  // namespace korvalite::sim
