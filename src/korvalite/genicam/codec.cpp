#include "korvalite/genicam/codec.hpp"

#include <algorithm>
#include <bit>

#include "korvalite/utf8.hpp"

namespace korvalite::genicam {

namespace {

std::string unsupported_int_length(std::int64_t length) {
    return "unsupported integer register length " + std::to_string(length);
}

std::string unsupported_float_length(std::int64_t length) {
    return "unsupported float register length " + std::to_string(length);
}

// The bits lo..hi set; all ones for a range of 64 bits.
std::uint64_t range_mask(BitRange range) {
    const std::uint32_t width = range.hi - range.lo;
    if (width >= 63) return ~std::uint64_t{0};
    return ((std::uint64_t{1} << (width + 1)) - 1) << range.lo;
}

}  // namespace

CodecResult<BitRange> bit_range(std::size_t n_bytes, std::optional<std::uint32_t> lsb,
                                std::optional<std::uint32_t> msb, bool big_endian) {
    const auto bits = static_cast<std::uint32_t>(8 * n_bytes);
    const std::uint32_t top = bits - 1;
    BitRange range{0, top};
    if (big_endian) {
        if (lsb && msb) range = {top - *lsb, top - *msb};
        else if (lsb) range = {top - *lsb, top - *lsb};
        else if (msb) range = {top - *msb, top - *msb};
    } else {
        if (lsb && msb) range = {*lsb, *msb};
        else if (lsb) range = {*lsb, *lsb};
        else if (msb) range = {0, *msb};
    }
    if (range.hi >= bits || range.hi < range.lo)
        return std::unexpected("bad bit range " + std::to_string(range.lo) + ".." + std::to_string(range.hi) +
                               " for " + std::to_string(n_bytes) + " bytes");
    return range;
}

std::uint64_t load_u64(std::span<const std::byte> bytes, bool big_endian) {
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::byte b = big_endian ? bytes[i] : bytes[bytes.size() - 1 - i];
        raw = (raw << 8) | std::to_integer<std::uint64_t>(b);
    }
    return raw;
}

Bytes store_u64(std::uint64_t value, std::size_t length, bool big_endian) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::byte>(value >> (8 * i));
    if (big_endian) std::reverse(out.begin(), out.end());
    return out;
}

CodecResult<std::int64_t> decode_int(std::span<const std::byte> bytes, const register_kind::Int& kind) {
    const std::size_t n = bytes.size();
    if (n == 0 || n > 8) return std::unexpected(unsupported_int_length(static_cast<std::int64_t>(n)));
    const std::uint64_t raw = load_u64(bytes, kind.big_endian);
    auto range = bit_range(n, kind.lsb, kind.msb, kind.big_endian);
    if (!range) return std::unexpected(std::move(range.error()));
    const std::uint32_t width = range->hi - range->lo;
    if (width >= 63) return static_cast<std::int64_t>(raw);
    std::uint64_t value = (raw & range_mask(*range)) >> range->lo;
    const std::uint64_t sign = std::uint64_t{1} << width;
    if (!kind.is_unsigned && (value & sign)) value |= ~((sign << 1) - 1);
    return static_cast<std::int64_t>(value);
}

CodecResult<Bytes> encode_int(std::uint64_t value, std::int64_t length, bool big_endian) {
    if (length < 1 || length > 8) return std::unexpected(unsupported_int_length(length));
    return store_u64(value, static_cast<std::size_t>(length), big_endian);
}

CodecResult<Bytes> insert_int(std::span<const std::byte> current, std::uint64_t value, bool big_endian,
                              std::optional<std::uint32_t> lsb, std::optional<std::uint32_t> msb) {
    const std::size_t n = current.size();
    if (n == 0 || n > 8) return std::unexpected(unsupported_int_length(static_cast<std::int64_t>(n)));
    const std::uint64_t raw = load_u64(current, big_endian);
    auto range = bit_range(n, lsb, msb, big_endian);
    if (!range) return std::unexpected(std::move(range.error()));
    const std::uint64_t mask = range_mask(*range);
    const std::uint64_t merged = (raw & ~mask) | ((value << range->lo) & mask);
    return store_u64(merged, n, big_endian);
}

CodecResult<double> decode_float(std::span<const std::byte> bytes, bool big_endian) {
    if (bytes.size() == 4)
        return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(load_u64(bytes, big_endian))));
    if (bytes.size() == 8) return std::bit_cast<double>(load_u64(bytes, big_endian));
    return std::unexpected(unsupported_float_length(static_cast<std::int64_t>(bytes.size())));
}

CodecResult<Bytes> encode_float(double value, std::int64_t length, bool big_endian) {
    if (length == 4) return store_u64(std::bit_cast<std::uint32_t>(static_cast<float>(value)), 4, big_endian);
    if (length == 8) return store_u64(std::bit_cast<std::uint64_t>(value), 8, big_endian);
    return std::unexpected(unsupported_float_length(length));
}

std::string decode_string(std::span<const std::byte> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::byte{0});
    return utf8_lossy(bytes.first(static_cast<std::size_t>(end - bytes.begin())));
}

Bytes encode_string(std::string_view text, std::size_t length) {
    Bytes out(length);
    const std::size_t n = std::min(length, text.size());
    std::transform(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), out.begin(),
                   [](char c) { return static_cast<std::byte>(c); });
    return out;
}

}  // namespace korvalite::genicam
