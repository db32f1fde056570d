// Copies runs of ordinary bytes 16 at a time. Both kernels copy runs of
// plain ASCII unchanged, and such runs make up most of a source file:
// finding where a run ends 16 bytes at a time (SSE2, which every x86-64
// processor has) instead of byte by byte is what makes them fast. Elsewhere
// two 8-byte words do the same.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define CODEPAGE_HAVE_SSE2 1
#endif

#include "byte.hpp"

namespace codepage {

inline constexpr std::size_t scan_width = 16;

namespace detail {

#ifndef CODEPAGE_HAVE_SSE2
inline constexpr std::uint64_t ones = 0x0101010101010101;
inline constexpr std::uint64_t highs = 0x8080808080808080;

// High bit of each byte of `word` that equals `c`. Both must be ASCII: a
// byte of the difference is then 0 to 7F, and 80 minus it never borrows
// from the next byte.
constexpr std::uint64_t equal_bytes(std::uint64_t word, Byte c) { return (highs - (word ^ (ones * c))) & highs; }

// Bit k set for the first byte k of the 16 at `in` for which `flags`
// (applied to 8 bytes at a time) sets the high bit; 0 when there is none.
template <typename Flags>
unsigned first_flagged(Byte const* in, Flags flags) {
    for (unsigned half = 0; half < scan_width; half += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + half, sizeof word);
        std::uint64_t const flagged = flags(word);
        if (flagged == 0) continue;
        int const bits =
            std::endian::native == std::endian::little ? std::countr_zero(flagged) : std::countl_zero(flagged);
        return 1u << (half + static_cast<unsigned>(bits) / 8);
    }
    return 0;
}
#endif

// Copies 16 bytes and returns the stops among them (see below).
template <Byte... specials>
unsigned copy_16(Byte const* in, Byte* out) {
#ifdef CODEPAGE_HAVE_SSE2
    __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    __m128i stops = v;  // the high bit: a byte from 0x80 up
    ((stops = _mm_or_si128(stops, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(specials))))), ...);
    return static_cast<unsigned>(_mm_movemask_epi8(stops));
#else
    std::memcpy(out, in, scan_width);
    return first_flagged(in, [](std::uint64_t word) {
        // Without their high bits all bytes are ASCII; a byte that had one
        // stops the run whatever it compares equal to.
        [[maybe_unused]] std::uint64_t const low = word & ~highs;
        return ((word & highs) | ... | equal_bytes(low, specials));
    });
#endif
}

}  // namespace detail

// Copies the run of bytes at `in` that are ASCII and none of the (ASCII)
// `specials` to `out`, 16 bytes at a time while at least 16 are left
// (before `end`), and returns its length; the caller copies the rest of a
// run that reaches the last 16 bytes. Up to 16 bytes past the run are
// written too, so `out` needs that much room beyond it.
//
// The next 16 bytes are looked at as soon as the last 16 are found plain:
// their address does not wait for the bit count of the last comparison.
template <Byte... specials>
std::size_t copy_plain_run(Byte const* in, Byte const* end, Byte* out) {
    std::size_t n = 0;
    while (static_cast<std::size_t>(end - in) - n >= scan_width) {
        if (unsigned const stops = detail::copy_16<specials...>(in + n, out + n); stops != 0)
            return n + static_cast<std::size_t>(std::countr_zero(stops));
        n += scan_width;
    }
    return n;
}

// Copies the whole run of ASCII at `in` (before `end`) to `out` and returns
// its length: 16 bytes at a time, then the rest of a run that reaches the
// last 16 bytes one by one. Up to 16 bytes past the run are written too.
inline std::size_t copy_ascii_run(Byte const* in, Byte const* end, Byte* out) {
    std::size_t n = copy_plain_run<>(in, end, out);
    while (in + n < end && in[n] < 0x80) {
        out[n] = in[n];
        ++n;
    }
    return n;
}

#ifdef CODEPAGE_HAVE_SSE2
namespace detail {

// Bit k for byte k of the 16 in `v` that is one of the `specials`.
template <Byte... specials>
unsigned specials_in_16(__m128i v) {
    __m128i found = _mm_setzero_si128();
    ((found = _mm_or_si128(found, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(specials))))), ...);
    return static_cast<unsigned>(_mm_movemask_epi8(found));
}

}  // namespace detail
#endif

// Bit k for in[k], of the 64 bytes at `in`, that is one of the (ASCII)
// `specials`, whatever the other bytes are.
template <Byte... specials>
std::uint64_t specials_in_64(Byte const* in) {
    std::uint64_t mask = 0;
#ifdef CODEPAGE_HAVE_SSE2
    for (std::size_t k = 0; k < 64; k += scan_width) {
        __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(in + k));
        mask |= static_cast<std::uint64_t>(detail::specials_in_16<specials...>(v)) << k;
    }
#else
    for (std::size_t k = 0; k < 64; ++k)
        if (((in[k] == specials) || ...)) mask |= std::uint64_t{1} << k;
#endif
    return mask;
}

// Copies the bytes at `in` (before `end`) up to the first of the (ASCII)
// `specials` to `out`, whatever the other bytes are, and returns their
// count: all of them when none is a special. 16 bytes at a time while 16
// are left, which writes up to 16 bytes past the run.
template <Byte... specials>
std::size_t copy_to_any(Byte const* in, Byte const* end, Byte* out) {
    std::size_t n = 0;
    auto const size = static_cast<std::size_t>(end - in);
#ifdef CODEPAGE_HAVE_SSE2
    while (size - n >= scan_width) {
        __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(in + n));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
        if (unsigned const mask = detail::specials_in_16<specials...>(v); mask != 0)
            return n + static_cast<std::size_t>(std::countr_zero(mask));
        n += scan_width;
    }
#endif
    while (n < size && ((in[n] != specials) && ...)) {
        out[n] = in[n];
        ++n;
    }
    return n;
}

// The length of `text` up to and including its last line feed; 0 if it has
// none. Lines are short: the search goes back from the end, 16 bytes at a
// time.
inline std::size_t through_last_line_feed(std::span<const Byte> text) {
    std::size_t n = text.size();
#ifdef CODEPAGE_HAVE_SSE2
    for (; n >= scan_width; n -= scan_width) {
        __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(text.data() + n - scan_width));
        auto const line_feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        // Bit k stands for byte n - 16 + k; the highest set bit is the last.
        if (line_feeds != 0) return n + scan_width - static_cast<std::size_t>(std::countl_zero(line_feeds));
    }
#endif
    while (n > 0 && text[n - 1] != '\n') --n;
    return n;
}

// The length of the run of spaces and tabs that begins `text`, 16 bytes at
// a time: code is indented by a varying number of them, whose byte-by-byte
// count the branches would guess wrong.
inline std::size_t spaces_and_tabs_length(std::span<const Byte> text) {
    std::size_t n = 0;
#ifdef CODEPAGE_HAVE_SSE2
    for (; text.size() - n >= scan_width; n += scan_width) {
        __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(text.data() + n));
        auto const blanks = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')))));
        if (blanks != 0xFFFF) return n + static_cast<std::size_t>(std::countr_one(blanks));
    }
#endif
    while (n < text.size() && (text[n] == ' ' || text[n] == '\t')) ++n;
    return n;
}

// The length of the run of ASCII that begins `text`, found 16 bytes at a
// time: the checks of a whole file pass over plain text at that pace.
inline std::size_t ascii_run_length(std::span<const Byte> text) {
    std::size_t n = 0;
#ifdef CODEPAGE_HAVE_SSE2
    for (; text.size() - n >= scan_width; n += scan_width) {
        __m128i const v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(text.data() + n));
        if (auto const high = static_cast<unsigned>(_mm_movemask_epi8(v)); high != 0)
            return n + static_cast<std::size_t>(std::countr_zero(high));
    }
#else
    for (; text.size() - n >= 8; n += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + n, sizeof word);
        if ((word & detail::highs) != 0) break;
    }
#endif
    while (n < text.size() && text[n] < 0x80) ++n;
    return n;
}

}  // namespace codepage
