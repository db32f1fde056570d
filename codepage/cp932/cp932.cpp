#include "cp932.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "byte_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CODEPAGE_HAVE_WIDE_DECODER 1
#endif

namespace codepage {

namespace {

// Stores all four bytes of `c`; the caller has room for them.
Byte* put(Byte* w, Utf8Char c) {
    std::memcpy(w, &c, sizeof c);
    return w + c.length;
}

#ifdef CODEPAGE_HAVE_WIDE_DECODER
// Japanese text switches between ASCII and pairs every few characters, and
// the portable loop of decode_to_utf8 pays a mispredicted branch at each
// switch. Where the processor has AVX-512 with VBMI2 (checked at run time)
// 64 bytes at a time take the same instructions whatever they hold:
//  - the lead bytes are found with mask arithmetic: in a run of lead-byte
//    values every other byte from the first is a lead byte;
//  - the pairs' UTF-8 forms are looked up at once (a gather);
//  - each input byte gets two output bytes, an ASCII byte the first, a lead
//    byte the first two of its character and its trail byte the third, so
//    that all characters' bytes lie in order; a byte compress packs them.
// Anything else (a single byte from 0x80 up, a pair that is not mapped)
// leaves the block to the portable loop.
bool have_wide_decoder() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2");
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push  // GCC 12 warns about the undefined vectors of its own intrinsics
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define CODEPAGE_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

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

// Decodes 64-byte blocks from the start of `in` while 128 bytes are left,
// which leaves room for the stores (see decode_to_utf8), and returns the
// number of bytes decoded; `w` moves past their UTF-8.
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

#undef CODEPAGE_WIDE
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

std::size_t decode_to_utf8(Decoder& decoder, std::span<const Byte> in, bool last,
                           std::span<Byte> out) {
    Utf8Tables const& table = cp932::utf8;
    constexpr Utf8Char replacement = utf8_char(replacement_character);
    Byte* const begin = out.data();
    Byte* w = begin;
    std::size_t i = 0;
    if (decoder.pending_lead >= 0 && !in.empty()) {
        Utf8Char const pair = table.pair[pair_index(static_cast<Byte>(decoder.pending_lead), in[0])];
        decoder.pending_lead = -1;
        w = put(w, pair.length != 0 ? pair : replacement);
        if (pair.length != 0 || in[0] >= 0x80) i = 1;
    }
    // Room: after i input bytes at most 3 * i + 3 bytes are written (three
    // for each byte, the U+FFFD of a pending lead byte besides), so at least
    // 3 * (n - i) + 1 of the 3 * n + 4 stay free. The four-byte stores of
    // put(), the 16-byte stores of copy_ascii_run() with 16 bytes of input
    // left and those of decode_64(), which end at most 112 bytes past
    // the output of a block, with 128 bytes left, fit in that; so does the
    // U+FFFD put at the end for a last lead byte, which wrote nothing itself.
    std::size_t const n = in.size();
#ifdef CODEPAGE_HAVE_WIDE_DECODER
    static bool const wide = have_wide_decoder();
#endif
    while (i < n) {
#ifdef CODEPAGE_HAVE_WIDE_DECODER
        if (wide) i += decode_64(table, in.subspan(i), w);
#endif
        // A run of ASCII, which maps to itself.
        std::size_t const ascii = copy_ascii_run(in.data() + i, in.data() + n, w);
        i += ascii;
        w += ascii;
        // A run of mapped pairs, the bulk of Japanese text: one look-up
        // each, and branches that go the same way until the run ends. Two
        // at a time first, for half the branches.
        while (n - i >= 4) {
            Utf8Char const first = table.pair[pair_index(in[i], in[i + 1])];
            Utf8Char const second = table.pair[pair_index(in[i + 2], in[i + 3])];
            if (first.length == 0 || second.length == 0) break;
            w = put(put(w, first), second);
            i += 4;
        }
        while (i + 1 < n) {
            Utf8Char const pair = table.pair[pair_index(in[i], in[i + 1])];
            if (pair.length == 0) break;  // no lead byte, or no mapped pair
            w = put(w, pair);
            i += 2;
        }
        if (i == n || in[i] < 0x80) continue;
        // Anything else from 0x80 up: a single byte, a lead byte that begins
        // no mapped pair, or one that waits for the next block.
        Byte const b = in[i];
        if (!is_lead_byte(b)) {
            w = put(w, table.single[b]);
            ++i;
        } else if (i + 1 == n) {
            decoder.pending_lead = b;
            ++i;
        } else {
            w = put(w, replacement);
            i += in[i + 1] >= 0x80 ? 2 : 1;
        }
    }
    if (last && decoder.pending_lead >= 0) {
        decoder.pending_lead = -1;
        w = put(w, replacement);
    }
    return static_cast<std::size_t>(w - begin);
}

}  // namespace codepage
