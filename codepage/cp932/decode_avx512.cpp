// The AVX-512 kernel of the decoder: what it does is in decode_kernels.hpp.
#include "decode_kernels.hpp"

#include <bit>
#include <cstdint>

#ifdef CODEPAGE_HAVE_AVX512_DECODER
#include <immintrin.h>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push  // GCC 12 warns about the undefined vectors of its own intrinsics
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define CODEPAGE_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace codepage::avx512 {

namespace {

constexpr std::uint64_t even_bytes = 0x5555555555555555;

// The UTF-8 forms of up to 16 pairs, by their lead and trail bytes: the
// first two bytes of each in a 16-bit lane of `first_two`, the third in one
// of `third`, and a bit in `three` for each that has three bytes.
struct Utf8Lanes {
    __m256i first_two;
    __m256i third;
    std::uint32_t three;
};

// False if one of the `count` pairs is not mapped.
CODEPAGE_WIDE bool look_up(int const* pairs, __m128i leads, __m128i trails, unsigned count, Utf8Lanes& found) {
    __m512i const keys =
        _mm512_or_si512(_mm512_slli_epi32(_mm512_cvtepu8_epi32(leads), 8), _mm512_cvtepu8_epi32(trails));
    auto const in_use = static_cast<__mmask16>(count >= 16 ? 0xFFFF : (1u << count) - 1);
    __m512i const chars = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), in_use, keys, pairs, 4);
    __m512i const lengths = _mm512_srli_epi32(chars, 24);
    found.first_two = _mm512_cvtepi32_epi16(chars);
    found.third = _mm512_cvtepi32_epi16(_mm512_and_si512(_mm512_srli_epi32(chars, 16), _mm512_set1_epi32(0xFF)));
    found.three = _mm512_cmpeq_epi32_mask(lengths, _mm512_set1_epi32(3));
    return _mm512_mask_cmplt_epu32_mask(in_use, lengths, _mm512_set1_epi32(2)) == 0;
}

// Puts the 16-bit lanes of `list`, from the `skip`th on, into the lanes of
// `words` that `where` selects.
CODEPAGE_WIDE __m512i place(__m512i words, __mmask32 where, __m512i list, unsigned skip) {
    __m512i const indexes = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                             12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m512i const from = _mm512_add_epi16(indexes, _mm512_set1_epi16(static_cast<short>(skip)));
    return _mm512_mask_expand_epi16(words, where, _mm512_permutexvar_epi16(from, list));
}

}  // namespace

CODEPAGE_WIDE std::size_t decode_64(Utf8Tables const& table, std::span<const Byte> in, Byte*& w) {
    auto const* const pairs = reinterpret_cast<int const*>(table.pair);
    Byte* out = w;
    std::size_t i = 0;
    while (in.size() - i >= 128) {
        __m512i const v = _mm512_loadu_si512(in.data() + i);
        std::uint64_t const high = _mm512_movepi8_mask(v);
        if (high == 0) {  // all ASCII
            _mm512_storeu_si512(out, v);
            out += 64;
            i += 64;
            continue;
        }
        std::uint64_t const lead_values =
            _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('\x81')), _mm512_set1_epi8(0x1E)) |
            _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('\xE0')), _mm512_set1_epi8(0x1C));
        // Adding its first bit clears a run that starts at an even position.
        std::uint64_t const run_starts = lead_values & ~(lead_values << 1);
        std::uint64_t const even_runs = lead_values & ~(lead_values + (run_starts & even_bytes));
        std::uint64_t leads = (even_runs & even_bytes) | (lead_values & ~even_runs & ~even_bytes);
        std::uint64_t taken = ~std::uint64_t{0};
        if (leads >> 63) leads &= taken >>= 1;  // the next block takes that pair
        std::uint64_t const trails = leads << 1;
        if ((high & ~leads & ~trails & taken) != 0) break;  // a single byte from 0x80 up

        __m512i const lead_bytes = _mm512_maskz_compress_epi8(leads, v);
        __m512i const trail_bytes = _mm512_maskz_compress_epi8(trails, v);
        auto const count = static_cast<unsigned>(std::popcount(leads));
        Utf8Lanes a;
        Utf8Lanes b{_mm256_setzero_si256(), _mm256_setzero_si256(), 0};
        if (!look_up(pairs, _mm512_castsi512_si128(lead_bytes), _mm512_castsi512_si128(trail_bytes), count, a)) break;
        if (count > 16 && !look_up(pairs, _mm512_extracti32x4_epi32(lead_bytes, 1),
                                   _mm512_extracti32x4_epi32(trail_bytes, 1), count - 16, b))
            break;
        __m512i const first_two = _mm512_inserti64x4(_mm512_castsi256_si512(a.first_two), b.first_two, 1);
        __m512i const third = _mm512_inserti64x4(_mm512_castsi256_si512(a.third), b.third, 1);
        // The first output byte of an input byte is kept unless it is a
        // trail byte of a two-byte form; the second only for a lead byte.
        std::uint64_t const firsts = (~trails & taken) | _pdep_u64(a.three | std::uint64_t{b.three} << 16, trails);

        for (int half = 0; half < 2; ++half) {  // 32 input bytes, 64 output bytes
            auto const lanes = [half](std::uint64_t mask) { return static_cast<std::uint32_t>(mask >> 32 * half); };
            auto const before = [half](std::uint64_t mask) {
                return half == 0 ? 0u : static_cast<unsigned>(std::popcount(static_cast<std::uint32_t>(mask)));
            };
            __m256i const bytes = half == 0 ? _mm512_castsi512_si256(v) : _mm512_extracti64x4_epi64(v, 1);
            __m512i words = _mm512_cvtepu8_epi16(bytes);
            words = place(words, lanes(leads), first_two, before(leads));
            words = place(words, lanes(trails), third, before(trails));
            std::uint64_t const keep = _pdep_u64(lanes(firsts), even_bytes) | _pdep_u64(lanes(leads), ~even_bytes);
            _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, words));
            out += std::popcount(keep);
        }
        i += static_cast<std::size_t>(std::popcount(taken));
    }
    w = out;
    return i;
}

}  // namespace codepage::avx512

#undef CODEPAGE_WIDE
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
