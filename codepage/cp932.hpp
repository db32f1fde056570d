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
#include "cp932_table.hpp"

namespace codepage {

inline constexpr char32_t replacement_character = 0xFFFD;

constexpr bool is_lead_byte(Byte b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

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

// Writes the UTF-8 form of `cp` (at most 4 bytes) and returns its length.
// Surrogate code points are written as U+FFFD.
std::size_t encode_utf8(char32_t cp, Byte* out);

// A character's UTF-8 form ready to be stored: every character of code page
// 932 is in the Basic Multilingual Plane, so three bytes hold it. The fast
// kernels store all four bytes of the entry at once and advance by
// `length`; what the fourth byte leaves behind is overwritten next.
struct Utf8Char {
    Byte bytes[3];
    Byte length;  // 0: a lead byte (single) or a pair that is not mapped
};

// Index of the two bytes lead+trail in the pair table: any two bytes, so
// that a look-up also tells whether the first is a lead byte at all.
constexpr std::size_t pair_index(Byte lead, Byte trail) { return std::size_t{lead} << 8 | trail; }

// The UTF-8 form of every single byte and every pair: encode_utf8 of
// decode_single and decode_pair, worked out once, on first use, so that a
// character costs one table look-up instead of two and a branchy encoding.
// Of the pair table only the rows of lead bytes are ever written to (60 KiB);
// the rest stays untouched zeroes.
struct Utf8Tables {
    Utf8Char single[256];        // by byte; length 0 for lead bytes
    Utf8Char pair[256 * 256];    // by pair_index; length 0 unless a mapped pair
};
Utf8Tables const& utf8_tables();

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

}  // namespace codepage
