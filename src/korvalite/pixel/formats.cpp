#include "korvalite/pixel/formats.hpp"

#include <algorithm>
#include <array>

#include "korvalite/hex.hpp"

namespace korvalite::pixel {

namespace {

using enum Layout;
using enum Packing;

constexpr FormatInfo mono(std::uint32_t c, std::string_view name, std::uint8_t bits, Packing packing) {
    const auto wire = static_cast<std::uint8_t>((c >> 16) & 0xFF);
    return {c, name, wire, bits, Mono, packing, BayerTile::None, 1, static_cast<std::uint8_t>(bits > 8 ? 2 : 1)};
}

constexpr FormatInfo bayer(std::uint32_t c, std::string_view name, std::uint8_t bits, Packing packing, BayerTile tile) {
    FormatInfo info = mono(c, name, bits, packing);
    info.layout = Bayer;
    info.tile = tile;
    return info;
}

constexpr FormatInfo colour(std::uint32_t c, std::string_view name, Layout layout, std::uint8_t channels) {
    const auto wire = static_cast<std::uint8_t>((c >> 16) & 0xFF);
    return {c, name, wire, 8, layout, None, BayerTile::None, channels, 1};
}

using T = BayerTile;
namespace k = code;

constexpr std::array kFormats = {
    mono(k::kMono8, "Mono8", 8, None),
    mono(k::kMono10, "Mono10", 10, None),
    mono(k::kMono10p, "Mono10p", 10, Lsb10),
    mono(k::kMono12, "Mono12", 12, None),
    mono(k::kMono12p, "Mono12p", 12, Lsb12),
    mono(k::kMono12Packed, "Mono12Packed", 12, Msb12Pairs),
    mono(k::kMono16, "Mono16", 16, None),
    bayer(k::kBayerRG8, "BayerRG8", 8, None, T::RG),
    bayer(k::kBayerGB8, "BayerGB8", 8, None, T::GB),
    bayer(k::kBayerGR8, "BayerGR8", 8, None, T::GR),
    bayer(k::kBayerBG8, "BayerBG8", 8, None, T::BG),
    bayer(k::kBayerRG10, "BayerRG10", 10, None, T::RG),
    bayer(k::kBayerGB10, "BayerGB10", 10, None, T::GB),
    bayer(k::kBayerGR10, "BayerGR10", 10, None, T::GR),
    bayer(k::kBayerBG10, "BayerBG10", 10, None, T::BG),
    bayer(k::kBayerRG10p, "BayerRG10p", 10, Lsb10, T::RG),
    bayer(k::kBayerGB10p, "BayerGB10p", 10, Lsb10, T::GB),
    bayer(k::kBayerGR10p, "BayerGR10p", 10, Lsb10, T::GR),
    bayer(k::kBayerBG10p, "BayerBG10p", 10, Lsb10, T::BG),
    bayer(k::kBayerRG12, "BayerRG12", 12, None, T::RG),
    bayer(k::kBayerGB12, "BayerGB12", 12, None, T::GB),
    bayer(k::kBayerGR12, "BayerGR12", 12, None, T::GR),
    bayer(k::kBayerBG12, "BayerBG12", 12, None, T::BG),
    bayer(k::kBayerRG12p, "BayerRG12p", 12, Lsb12, T::RG),
    bayer(k::kBayerGB12p, "BayerGB12p", 12, Lsb12, T::GB),
    bayer(k::kBayerGR12p, "BayerGR12p", 12, Lsb12, T::GR),
    bayer(k::kBayerBG12p, "BayerBG12p", 12, Lsb12, T::BG),
    bayer(k::kBayerRG12Packed, "BayerRG12Packed", 12, Msb12Pairs, T::RG),
    bayer(k::kBayerGR12Packed, "BayerGR12Packed", 12, Msb12Pairs, T::GR),
    colour(k::kRGB8, "RGB8", Rgb, 3),
    colour(k::kBGR8, "BGR8", Bgr, 3),
    colour(k::kYUV422_8, "YUV422_8", Yuv422, 2),
    colour(k::kYCbCr422_8, "YCbCr422_8", YCbCr422, 2),
};

}  // namespace

std::span<const FormatInfo> known_formats() { return kFormats; }

const FormatInfo* find_format(std::uint32_t code) {
    const auto it = std::find_if(kFormats.begin(), kFormats.end(), [&](const FormatInfo& f) { return f.code == code; });
    return it == kFormats.end() ? nullptr : &*it;
}

std::string format_name(std::uint32_t code) {
    if (const FormatInfo* info = find_format(code)) return std::string(info->name);
    return hex_code(code, 8);
}

}  // namespace korvalite::pixel
