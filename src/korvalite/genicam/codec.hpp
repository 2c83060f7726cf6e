#pragma once
// Conversions between register bytes and integer, float and string values. Failures are plain
// message texts; the node layer wraps them into Formula errors naming the register.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korvalite/genicam/node.hpp"

namespace korvalite::genicam {

using Bytes = std::vector<std::byte>;

template <class T>
using CodecResult = std::expected<T, std::string>;

// A bit range counted from the least significant bit of the assembled register value.
struct BitRange {
    std::uint32_t lo;
    std::uint32_t hi;
    bool operator==(const BitRange&) const = default;
};

// The bit range `lsb`/`msb` select in a register of `n_bytes` bytes. Big-endian registers
// number their bits from the most significant one, so their positions are mirrored (in unsigned
// 32-bit arithmetic: a position beyond the register wraps to a large number and is refused).
// Without either bound the range is the whole register.
CodecResult<BitRange> bit_range(std::size_t n_bytes, std::optional<std::uint32_t> lsb,
                                std::optional<std::uint32_t> msb, bool big_endian);

// The value of 1 to 8 bytes in the given byte order.
std::uint64_t load_u64(std::span<const std::byte> bytes, bool big_endian);
// The low `length` (1 to 8) bytes of `value`, in the given byte order.
Bytes store_u64(std::uint64_t value, std::size_t length, bool big_endian);

// The integer an integer register holds: its bit range, sign-extended unless unsigned.
CodecResult<std::int64_t> decode_int(std::span<const std::byte> bytes, const register_kind::Int& kind);
// `value`'s low `length` bytes; nothing checks that it fits.
CodecResult<Bytes> encode_int(std::uint64_t value, std::int64_t length, bool big_endian);
// `current` with the bit range replaced by the low bits of `value`; the other bits are kept.
CodecResult<Bytes> insert_int(std::span<const std::byte> current, std::uint64_t value, bool big_endian,
                              std::optional<std::uint32_t> lsb, std::optional<std::uint32_t> msb);

// A single (4 bytes) or double (8 bytes) precision number.
CodecResult<double> decode_float(std::span<const std::byte> bytes, bool big_endian);
CodecResult<Bytes> encode_float(double value, std::int64_t length, bool big_endian);

// The text up to the first zero byte, as UTF-8 with invalid sequences replaced.
std::string decode_string(std::span<const std::byte> bytes);
// `length` bytes: the text's first bytes, zero-padded; a text too long is cut (no terminator).
Bytes encode_string(std::string_view text, std::size_t length);

}  // namespace korvalite::genicam
