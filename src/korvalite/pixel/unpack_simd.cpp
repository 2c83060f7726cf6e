#include "korvalite/pixel/unpack_simd.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korvalite::pixel::detail {

#if defined(__x86_64__)

namespace {

// Per pattern: the two bytes each of the eight 16-bit lanes takes, and how the lane's word
// becomes the sample. LSB-first pixels start `s` bits into their word: multiplying by
// 2^(k - s) and shifting right by k leaves the sample (bits above it drop out of the lane).
struct Pattern {
    __m128i shuffle;
    __m128i multiplier;
    __m128i shift;  // the count k, as _mm_srl_epi16 takes it
    std::size_t step;  // bytes per eight pixels
};

__attribute__((target("ssse3"))) std::size_t lsb(const Pattern& p, const std::byte* in, std::size_t in_size,
                                                 std::uint16_t* out, std::size_t n) {
    const std::size_t groups = in_size < 16 ? 0 : std::min(n / 8, (in_size - 16) / p.step + 1);
    for (std::size_t g = 0; g < groups; ++g) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + p.step * g));
        const __m128i words = _mm_shuffle_epi8(bytes, p.shuffle);
        const __m128i samples = _mm_srl_epi16(_mm_mullo_epi16(words, p.multiplier), p.shift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * g), samples);
    }
    return 8 * groups;
}

// Two pixels in three bytes b0 b1 b2: the odd lane reads b1 b2 and is b2 << 4 | b1 >> 4 after a
// shift by four; the even lane reads b1 b0 (b0 high) and keeps b0 from the shifted word and the
// low nibble of b1 from the word itself.
__attribute__((target("ssse3"))) std::size_t msb12_pairs(const std::byte* in, std::size_t in_size,
                                                         std::uint16_t* out, std::size_t n) {
    const __m128i shuffle = _mm_setr_epi8(1, 0, 1, 2, 4, 3, 4, 5, 7, 6, 7, 8, 10, 9, 10, 11);
    const __m128i shifted_mask = _mm_set1_epi32(0x0FFF'0FF0);
    const __m128i word_mask = _mm_set1_epi32(0x0000'000F);
    const std::size_t groups = in_size < 16 ? 0 : std::min(n / 8, (in_size - 16) / 12 + 1);
    for (std::size_t g = 0; g < groups; ++g) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12 * g));
        const __m128i words = _mm_shuffle_epi8(bytes, shuffle);
        const __m128i samples = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(words, 4), shifted_mask),
                                             _mm_and_si128(words, word_mask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * g), samples);
    }
    return 8 * groups;
}

}  // namespace

std::size_t unpack8_simd(Packing packing, const std::byte* in, std::size_t in_size, std::uint16_t* out,
                         std::size_t n) {
    static const bool available = __builtin_cpu_supports("ssse3");
    if (!available) return 0;
    switch (packing) {
        case Packing::Lsb10: {
            // Pixel i starts at bit 10 i: byte 10 i / 8, shifted by 0, 2, 4, 6.
            static const Pattern p{_mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9),
                                   _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1), _mm_cvtsi32_si128(6), 10};
            return lsb(p, in, in_size, out, n);
        }
        case Packing::Lsb12: {
            // Pixel i starts at bit 12 i: byte 3 i / 2, shifted by 0 or 4.
            static const Pattern p{_mm_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11),
                                   _mm_setr_epi16(16, 1, 16, 1, 16, 1, 16, 1), _mm_cvtsi32_si128(4), 12};
            return lsb(p, in, in_size, out, n);
        }
        case Packing::Msb12Pairs: return msb12_pairs(in, in_size, out, n);
        case Packing::None: break;
    }
    return 0;
}

#else

std::size_t unpack8_simd(Packing, const std::byte*, std::size_t, std::uint16_t*, std::size_t) { return 0; }

#endif

}  // namespace korvalite::pixel::detail
