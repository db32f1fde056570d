// Code page 932 (Windows Shift JIS): character boundaries and decoding.
//
// Valid bytes decode exactly as Windows decodes them. A lead byte that begins
// no mapped pair decodes to U+FFFD and takes the next byte with it, unless
// that byte is ASCII: then the ASCII byte is decoded on its own, so a stray
// lead byte never swallows a line feed, a quote or a backslash.
#pragma once

#include <cstddef>
#include <span>

#include "byte.hpp"
#include "codepage/cpu/features.hpp"
#include "cp932_table.hpp"

namespace codepage {

// Code point of the pair lead+trail, 0 when the pair is not mapped.
// `lead` must be a lead byte.
inline char16_t decode_pair(Byte lead, Byte trail) {
    return cp932::double_byte[cp932::lead_row(lead) * 256 + trail];
}

// Code point of a byte that stands alone; `b` must not be a lead byte.
inline char16_t decode_single(Byte b) { return cp932::single_byte[b]; }

// Whether lead byte `lead` and the byte after it make one character: a
// mapped pair, or any pair whose second byte is not ASCII (which decodes to
// U+FFFD, as Windows and the Encoding Standard take it). An ASCII byte that
// makes no mapped pair with it is never swallowed: a stray lead byte leaves
// a line feed, a quote or a backslash after it standing.
inline bool takes_next(Byte lead, Byte next) {
    return next >= 0x80 || cp932::utf8.pair[pair_index(lead, next)].length != 0;
}

// Length of the character that begins `text` (not empty): 2 for a lead byte
// that takes_next the byte after it, else 1; a lead byte at the end of
// `text` stands alone.
inline std::size_t next_char(std::span<const Byte> text) {
    return text.size() >= 2 && is_lead_byte(text[0]) && takes_next(text[0], text[1]) ? 2 : 1;
}

// Whether a character of `text` begins at `at` (at most text.size()), given
// that one begins at 0. Only lead bytes can take the byte after them, so
// the characters before `at` need not be read from the start: the run of
// lead bytes right before it is cut into pairs (each takes the next, which
// is not ASCII), and an odd one out before `at` takes text[at] or not.
inline bool starts_character(std::span<const Byte> text, std::size_t at) {
    std::size_t leads = 0;
    while (leads < at && is_lead_byte(text[at - 1 - leads])) ++leads;
    if (leads % 2 == 0) return true;
    return at == text.size() || !takes_next(text[at - 1], text[at]);
}

// Streaming decoder to UTF-8. A lead byte at the end of one block waits for
// the first byte of the next.
struct Decoder {
    int pending_lead = -1;
};

// Upper bound on what decode_to_utf8 writes for `n` input bytes.
constexpr std::size_t max_utf8_length(std::size_t n) { return 3 * n + 4; }

// Decodes `in` and writes UTF-8 to `out`, which must hold at least
// max_utf8_length(in.size()) bytes. With `last` set, a pending lead byte is
// flushed as U+FFFD. Returns the number of bytes written.
std::size_t decode_to_utf8(Decoder& decoder, std::span<const Byte> in, bool last,
                           std::span<Byte> out);

// decode_to_utf8 in each of its forms, the portable one first: the program
// runs the fastest that the processor supports, the tests every one.
using DecodeFunction = std::size_t(Decoder&, std::span<const Byte>, bool, std::span<Byte>);
std::span<const cpu::Variant<DecodeFunction>> decoder_variants();

}  // namespace codepage
