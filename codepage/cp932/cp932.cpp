#include "cp932.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "byte_scan.hpp"
#include "codepage/cpu/features.hpp"
#include "decode_kernels.hpp"

namespace codepage {

namespace {

// Stores all four bytes of `c`; the caller has room for them.
Byte* put(Byte* w, Utf8Char c) {
    std::memcpy(w, &c, sizeof c);
    return w + c.length;
}

// The portable variant's kernel takes nothing. (A null kernel tested with
// if constexpr is no constant expression to g++ under the sanitizers.)
std::size_t no_kernel(Utf8Tables const&, std::span<const Byte>, Byte*&) { return 0; }

// The shared loop; `Kernel` first takes what it can of the text at hand,
// the portable code the rest.
template <std::size_t (*Kernel)(Utf8Tables const&, std::span<const Byte>, Byte*&)>
std::size_t decode_with(Decoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out) {
    Utf8Tables const& table = cp932::utf8;
    constexpr Utf8Char replacement = utf8_char(replacement_character);
    Byte* const begin = out.data();
    Byte* w = begin;
    std::size_t i = 0;
    if (decoder.pending_lead >= 0 && !in.empty()) {
        auto const lead = static_cast<Byte>(decoder.pending_lead);
        Utf8Char const pair = table.pair[pair_index(lead, in[0])];
        decoder.pending_lead = -1;
        w = put(w, pair.length != 0 ? pair : replacement);
        if (takes_next(lead, in[0])) i = 1;
    }
    // Room: after i input bytes at most 3 * i + 3 bytes are written (three
    // for each byte, the U+FFFD of a pending lead byte besides), so at least
    // 3 * (n - i) + 1 of the 3 * n + 4 stay free. The four-byte stores of
    // put(), the 16-byte stores of copy_ascii_run() with 16 bytes of input
    // left and those of decode_64(), which end at most 112 bytes past
    // the output of a block, with 128 bytes left, fit in that; so does the
    // U+FFFD put at the end for a last lead byte, which wrote nothing itself.
    std::size_t const n = in.size();
    while (i < n) {
        i += Kernel(table, in.subspan(i), w);
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
            i += next_char(in.subspan(i));
        }
    }
    if (last && decoder.pending_lead >= 0) {
        decoder.pending_lead = -1;
        w = put(w, replacement);
    }
    return static_cast<std::size_t>(w - begin);
}

constexpr cpu::Variant<DecodeFunction> variants[] = {
    {"portable", 0, decode_with<no_kernel>},
#ifdef CODEPAGE_HAVE_AVX512_DECODER
    {"avx512vbmi2", cpu::avx512_vbmi2, decode_with<avx512::decode_64>},
#endif
};

DecodeFunction* const chosen_decoder = cpu::fastest<DecodeFunction>(variants, cpu::features()).function;

}  // namespace

std::span<const cpu::Variant<DecodeFunction>> decoder_variants() { return variants; }

std::size_t decode_to_utf8(Decoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out) {
    return chosen_decoder(decoder, in, last, out);
}

}  // namespace codepage
