#pragma once
// The pixel formats korvalite knows by code: name, bits on the wire, significant bits, how the
// samples are laid out and how they are packed. Codes are the 32-bit GigE Vision pixel format
// values the image leader and the PixelFormat feature carry.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvalite::pixel {

enum class Layout : std::uint8_t { Mono, Bayer, Rgb, Bgr, Yuv422, YCbCr422 };

// How pixels sit in the bytes:
//   None        one sample in 1 or 2 bytes (16-bit words little-endian)
//   Lsb10/12    pixels of 10 or 12 bits back to back, least significant bit first
//               (12: p0 = b0 | (b1 & 0x0F) << 8, p1 = b1 >> 4 | b2 << 4)
//   Msb12Pairs  two 12-bit pixels in three bytes, high bits in the outer bytes
//               (p0 = b0 << 4 | (b1 & 0x0F), p1 = b2 << 4 | b1 >> 4)
enum class Packing : std::uint8_t { None, Lsb10, Lsb12, Msb12Pairs };

// The colour of the mosaic's top-left 2x2 cell, row by row.
enum class BayerTile : std::uint8_t { None, RG, GB, GR, BG };

struct FormatInfo {
    std::uint32_t code = 0;
    std::string_view name;
    std::uint8_t wire_bits = 0;   // bits one pixel takes in the payload (all its channels)
    std::uint8_t pixel_bits = 0;  // significant bits of one sample
    Layout layout = Layout::Mono;
    Packing packing = Packing::None;
    BayerTile tile = BayerTile::None;
    std::uint8_t channels = 1;      // samples per pixel as to_numpy shapes them
    std::uint8_t sample_bytes = 1;  // bytes of one sample after unpacking
};

namespace code {
inline constexpr std::uint32_t kMono8 = 0x01080001;
inline constexpr std::uint32_t kMono10 = 0x01100003;
inline constexpr std::uint32_t kMono12 = 0x01100005;
inline constexpr std::uint32_t kMono16 = 0x01100007;
inline constexpr std::uint32_t kMono10p = 0x010A0046;
inline constexpr std::uint32_t kMono12p = 0x010C0047;
inline constexpr std::uint32_t kMono12Packed = 0x010C0006;
inline constexpr std::uint32_t kBayerGR8 = 0x01080008;
inline constexpr std::uint32_t kBayerRG8 = 0x01080009;
inline constexpr std::uint32_t kBayerGB8 = 0x0108000A;
inline constexpr std::uint32_t kBayerBG8 = 0x0108000B;
inline constexpr std::uint32_t kBayerGR10 = 0x0110000C;
inline constexpr std::uint32_t kBayerRG10 = 0x0110000D;
inline constexpr std::uint32_t kBayerGB10 = 0x0110000E;
inline constexpr std::uint32_t kBayerBG10 = 0x0110000F;
inline constexpr std::uint32_t kBayerGR12 = 0x01100010;
inline constexpr std::uint32_t kBayerRG12 = 0x01100011;
inline constexpr std::uint32_t kBayerGB12 = 0x01100012;
inline constexpr std::uint32_t kBayerBG12 = 0x01100013;
inline constexpr std::uint32_t kBayerGR12Packed = 0x010C002A;
inline constexpr std::uint32_t kBayerRG12Packed = 0x010C002B;
inline constexpr std::uint32_t kBayerBG10p = 0x010A0052;
inline constexpr std::uint32_t kBayerGB10p = 0x010A0054;
inline constexpr std::uint32_t kBayerGR10p = 0x010A0056;
inline constexpr std::uint32_t kBayerRG10p = 0x010A0058;
inline constexpr std::uint32_t kBayerBG12p = 0x010C0053;
inline constexpr std::uint32_t kBayerGB12p = 0x010C0055;
inline constexpr std::uint32_t kBayerGR12p = 0x010C0057;
inline constexpr std::uint32_t kBayerRG12p = 0x010C0059;
inline constexpr std::uint32_t kRGB8 = 0x02180014;
inline constexpr std::uint32_t kBGR8 = 0x02180015;
inline constexpr std::uint32_t kYUV422_8 = 0x02100032;
inline constexpr std::uint32_t kYCbCr422_8 = 0x0210003B;
}  // namespace code

// Every known format, in the order of the table in the README.
std::span<const FormatInfo> known_formats();
// The entry for `code`, or null for an unknown code.
const FormatInfo* find_format(std::uint32_t code);
// The known name, or "0x" and eight lowercase hexadecimal digits.
std::string format_name(std::uint32_t code);

}  // namespace korvalite::pixel
