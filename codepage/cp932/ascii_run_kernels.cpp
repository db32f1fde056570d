#include "ascii_run_kernels.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "byte_scan.hpp"

#if defined(CODEPAGE_HAVE_SSE2) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define CODEPAGE_HAVE_AVX2_KERNELS 1
#endif

namespace codepage {

namespace {

bool is_first(Byte b, PairStops const& stops) {
    return b == stops.firsts[0] || b == stops.firsts[1] || b == stops.firsts[2];
}

// A second byte as the vector kernels compare it: signed, so that a byte
// from 0x80 up counts as below the bound.
bool is_second(Byte b, PairStops const& stops) {
    return static_cast<std::int8_t>(b) < static_cast<std::int8_t>(stops.seconds_below);
}

std::size_t copy_portable(std::span<const Byte> in, Byte* out, PairStops const& stops) {
    std::size_t n = 0;
    for (; n < in.size() && in[n] < 0x80; ++n) {
        if (is_first(in[n], stops) && (n + 1 == in.size() || is_second(in[n + 1], stops))) break;
        out[n] = in[n];
    }
    return n;
}

#ifdef CODEPAGE_HAVE_SSE2
inline __m128i load_16(Byte const* in) { return _mm_loadu_si128(reinterpret_cast<__m128i const*>(in)); }

// Bit k for byte k of the 16 at `in` that is from 0x80 up or starts a pair
// of `stops` with the byte after it. Reads 17 bytes: the seconds, read at
// in + 1, line up with their firsts without shifting masks.
inline unsigned stops_16(Byte const* in, __m128i f0, __m128i f1, __m128i f2, __m128i below) {
    __m128i const v = load_16(in);
    __m128i const firsts =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, f0), _mm_cmpeq_epi8(v, f1)), _mm_cmpeq_epi8(v, f2));
    __m128i const seconds = _mm_cmplt_epi8(load_16(in + 1), below);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_and_si128(firsts, seconds))));
}

std::size_t copy_sse2(std::span<const Byte> in, Byte* out, PairStops const& stops) {
    __m128i const f0 = _mm_set1_epi8(static_cast<char>(stops.firsts[0]));
    __m128i const f1 = _mm_set1_epi8(static_cast<char>(stops.firsts[1]));
    __m128i const f2 = _mm_set1_epi8(static_cast<char>(stops.firsts[2]));
    __m128i const below = _mm_set1_epi8(static_cast<char>(stops.seconds_below));
    std::size_t n = 0;
    // 32 bytes and the byte after them at a time: one branch for both halves.
    constexpr std::size_t step = 2 * scan_width;
    while (in.size() - n > step) {
        Byte const* const at = in.data() + n;
        std::memcpy(out + n, at, step);
        if (std::uint32_t const mask = stops_16(at, f0, f1, f2, below) | stops_16(at + 16, f0, f1, f2, below) << 16;
            mask != 0)
            return n + static_cast<std::size_t>(std::countr_zero(mask));
        n += step;
    }
    return n + copy_portable(in.subspan(n), out + n, stops);
}
#endif

#ifdef CODEPAGE_HAVE_AVX2_KERNELS
// The checks of stops_16 on 32 bytes to an instruction: a fifth off
// litconv's time on ASCII C source. Aligned, like its loop (CMakeLists.txt),
// so that its speed does not depend on what the linker puts before it.
__attribute__((target("avx2"), aligned(64))) std::size_t copy_avx2(std::span<const Byte> in, Byte* out, PairStops const& stops) {
    __m256i const f0 = _mm256_set1_epi8(static_cast<char>(stops.firsts[0]));
    __m256i const f1 = _mm256_set1_epi8(static_cast<char>(stops.firsts[1]));
    __m256i const f2 = _mm256_set1_epi8(static_cast<char>(stops.firsts[2]));
    __m256i const below = _mm256_set1_epi8(static_cast<char>(stops.seconds_below));
    std::size_t n = 0;
    constexpr std::size_t step = 32;
    while (in.size() - n > step) {
        Byte const* const at = in.data() + n;
        __m256i const v = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), v);
        __m256i const firsts = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, f0), _mm256_cmpeq_epi8(v, f1)),
                                               _mm256_cmpeq_epi8(v, f2));
        __m256i const seconds =
            _mm256_cmpgt_epi8(below, _mm256_loadu_si256(reinterpret_cast<__m256i const*>(at + 1)));
        auto const mask = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_or_si256(v, _mm256_and_si256(firsts, seconds))));
        if (mask != 0) return n + static_cast<std::size_t>(std::countr_zero(mask));
        n += step;
    }
    return n + copy_portable(in.subspan(n), out + n, stops);
}
#endif

constexpr cpu::Variant<CopyToPairFunction> variants[] = {
    {"portable", 0, copy_portable},
#ifdef CODEPAGE_HAVE_SSE2
    {"sse2", cpu::sse2, copy_sse2},
#endif
#ifdef CODEPAGE_HAVE_AVX2_KERNELS
    {"avx2", cpu::avx2, copy_avx2},
#endif
};

}  // namespace

std::span<const cpu::Variant<CopyToPairFunction>> copy_to_pair_variants() { return variants; }

}  // namespace codepage
