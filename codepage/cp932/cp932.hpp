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
    int const row = lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31;
    return cp932::double_byte[static_cast<std::size_t>(row) * 256 + trail];
}

// Code point of a byte that stands alone; `b` must not be a lead byte.
inline char16_t decode_single(Byte b) { return cp932::single_byte[b]; }

// Length of the character that begins `text`: 2 for a lead byte followed by
// a byte that completes a mapped pair; -1 for a lead byte that begins no
// mapped pair (also at the end of `text`); 1 for every other byte. 0 when
// `text` is empty.
inline int char_length(std::span<const Byte> text) {
    if (text.empty()) return 0;
    if (!is_lead_byte(text[0])) return 1;
    if (text.size() >= 2 && decode_pair(text[0], text[1]) != 0) return 2;
    return -1;
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
