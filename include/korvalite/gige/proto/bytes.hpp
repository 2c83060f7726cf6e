#pragma once
// Big-endian accessors over byte spans: the one place where wire offsets become numbers.
// Callers check lengths first; these functions assume the bytes are there.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace korvalite::gige::proto {

using ByteView = std::span<const std::byte>;
using MutableBytes = std::span<std::byte>;
using ByteVec = std::vector<std::byte>;

inline std::uint8_t u8_at(ByteView b, std::size_t off) { return std::to_integer<std::uint8_t>(b[off]); }

inline std::uint16_t u16_at(ByteView b, std::size_t off) {
    return static_cast<std::uint16_t>((u8_at(b, off) << 8) | u8_at(b, off + 1));
}

inline std::uint32_t u24_at(ByteView b, std::size_t off) {
    return (std::uint32_t{u8_at(b, off)} << 16) | (std::uint32_t{u8_at(b, off + 1)} << 8) | u8_at(b, off + 2);
}

inline std::uint32_t u32_at(ByteView b, std::size_t off) {
    return (std::uint32_t{u16_at(b, off)} << 16) | u16_at(b, off + 2);
}

inline std::uint64_t u64_at(ByteView b, std::size_t off) {
    return (std::uint64_t{u32_at(b, off)} << 32) | u32_at(b, off + 4);
}

inline void put_u8(MutableBytes b, std::size_t off, std::uint8_t v) { b[off] = std::byte{v}; }

inline void put_u16(MutableBytes b, std::size_t off, std::uint16_t v) {
    b[off] = std::byte(v >> 8);
    b[off + 1] = std::byte(v & 0xFF);
}

inline void put_u24(MutableBytes b, std::size_t off, std::uint32_t v) {
    b[off] = std::byte((v >> 16) & 0xFF);
    b[off + 1] = std::byte((v >> 8) & 0xFF);
    b[off + 2] = std::byte(v & 0xFF);
}

inline void put_u32(MutableBytes b, std::size_t off, std::uint32_t v) {
    put_u16(b, off, static_cast<std::uint16_t>(v >> 16));
    put_u16(b, off + 2, static_cast<std::uint16_t>(v & 0xFFFF));
}

inline void put_u64(MutableBytes b, std::size_t off, std::uint64_t v) {
    put_u32(b, off, static_cast<std::uint32_t>(v >> 32));
    put_u32(b, off + 4, static_cast<std::uint32_t>(v & 0xFFFFFFFF));
}

inline ByteView as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

}  // namespace korvalite::gige::proto
