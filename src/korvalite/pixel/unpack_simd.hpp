#pragma once
// Vectorised unpacking where the CPU offers it (x86-64 with SSSE3): eight pixels from one
// 16-byte load, one byte shuffle and a multiply-and-shift that lines each sample up.
#include <cstddef>
#include <cstdint>

#include "korvalite/pixel/formats.hpp"

namespace korvalite::pixel::detail {

// Unpacks the first pixels of the stream at `in` (in_size bytes) into `out`, at most `n`, in steps
// of eight while sixteen bytes remain to be read. Returns how many it did (a multiple of eight);
// 0 on a CPU without the instructions or for Packing::None.
std::size_t unpack8_simd(Packing packing, const std::byte* in, std::size_t in_size, std::uint16_t* out,
                         std::size_t n);

}  // namespace korvalite::pixel::detail
