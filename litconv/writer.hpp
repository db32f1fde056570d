// The escaper's writer: what each character becomes once the lexer has said
// what it is. It writes escapes, holds the backslash of an escape until the
// character it escapes, and closes and reopens a narrow raw literal around
// each run of characters that it escapes. (Splices are step.hpp's.)
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "codepage/cp932/byte_scan.hpp"
#include "codepage/cp932/cp932.hpp"
#include "escape_chunk.hpp"
#include "lexer.hpp"

namespace litconv {

using codepage::is_lead_byte;
using codepage::Utf8Char;
using codepage::Utf8Tables;

constexpr bool is_hex_digit(Byte b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f');
}

constexpr bool is_half_width_katakana(Byte b) { return b >= 0xA1 && b <= 0xDF; }

// The escape \xHH of every byte, to be stored four bytes at once.
inline constexpr std::array<std::array<Byte, 4>, 256> hex_escapes = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<Byte, 4>, 256> escapes{};
    for (int b = 0; b < 256; ++b)
        escapes[b] = {'\\', 'x', static_cast<Byte>(digits[b >> 4]), static_cast<Byte>(digits[b & 0xF])};
    return escapes;
}();

// One character of the input: a pair (codepage::next_char), or one byte.
// (Whole words, not bytes: a struct of bytes put together and read back as
// one word costs a stall on every character.)
struct Char {
    Byte const* text;  // in the input
    std::size_t size;
    // What it becomes in a narrow literal, its UTF-8 form or the bytes of a
    // lead byte that begins no mapped pair; length 0 when it stays as it is
    // (ASCII, 80, A0, FD-FF).
    Utf8Char escaped;

    // What the lexer sees of it.
    Byte lexeme() const { return size == 1 && text[0] < 0x80 ? text[0] : non_ascii; }
};

// The mapped pair at `in`, whose UTF-8 form is `pair`.
inline Char mapped_pair(Byte const* in, Utf8Char pair) { return {in, 2, pair}; }

// The character at the start of `in` (not empty; a lead byte at its end
// stands alone). A lead byte that begins no mapped pair keeps its value, and
// that of the byte it takes, as escapes in a narrow literal: copied, it
// would make a character of the backslash of an escape that follows (81 5C
// is one), and the compiler would lose that escape.
inline Char character(Utf8Tables const& table, std::span<const Byte> in) {
    Byte const b = in[0];
    if (!is_lead_byte(b)) return {in.data(), 1, is_half_width_katakana(b) ? table.single[b] : Utf8Char{}};
    if (codepage::next_char(in) == 1) return {in.data(), 1, {{b, 0, 0}, 1}};
    if (Utf8Char const pair = table.pair[codepage::pair_index(b, in[1])]; pair.length != 0)
        return mapped_pair(in.data(), pair);
    return {in.data(), 2, {{b, in[1], 0}, 2}};
}

inline constexpr Byte backslash_byte = '\\';
inline constexpr Byte cr_byte = '\r';

// Writes to the output buffer, which has room for everything the chunk can
// give (max_escaped_length): after i input bytes at most 36 * i + 36 bytes
// are written, so with k bytes of input left 36 * k bytes stay free.
struct Writer {
    Byte* next;

    void copy(Byte b) { *next++ = b; }

    void copy(Char const& c) {
        next[0] = c.text[0];
        if (c.size == 2) next[1] = c.text[1];
        next += c.size;
    }

    void copy(std::string_view text) {
        std::memcpy(next, text.data(), text.size());
        next += text.size();
    }

    void escape(Byte b) {
        std::memcpy(next, hex_escapes[b].data(), 4);
        next += 4;
    }

    // Stores the escapes of all four bytes of `c`, whatever its length, and
    // keeps those of its own: no branch on the length. Takes 16 bytes of
    // room, which one input byte left guarantees.
    void escape_character(Utf8Char c) {
        // As one word the character stays in a register (the compiler keeps
        // a small array in memory), the first byte lowest.
        std::uint32_t word;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(&word, &c, sizeof word);
        else
            word = std::uint32_t{c.bytes[0]} | std::uint32_t{c.bytes[1]} << 8 | std::uint32_t{c.bytes[2]} << 16;
#ifdef CODEPAGE_HAVE_SSE2
        // The digits worked out side by side, with no table: each byte's
        // high and low half next to each other, as '0' + n, and 7 more
        // from A up, then "\x" before each pair of them.
        __m128i const bytes = _mm_cvtsi32_si128(static_cast<int>(word));
        __m128i const low_halves = _mm_set1_epi8(0x0F);
        __m128i const halves = _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(bytes, 4), low_halves),
                                                 _mm_and_si128(bytes, low_halves));
        __m128i const letters = _mm_and_si128(_mm_cmpgt_epi8(halves, _mm_set1_epi8(9)), _mm_set1_epi8('A' - '9' - 1));
        __m128i const digits = _mm_add_epi8(_mm_add_epi8(halves, _mm_set1_epi8('0')), letters);
        __m128i const escapes = _mm_unpacklo_epi16(_mm_set1_epi16('\\' | 'x' << 8), digits);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(next), escapes);
#else
        std::memcpy(next, hex_escapes[word & 0xFF].data(), 4);
        std::memcpy(next + 4, hex_escapes[word >> 8 & 0xFF].data(), 4);
        std::memcpy(next + 8, hex_escapes[word >> 16 & 0xFF].data(), 4);
#endif
        next += 4 * std::size_t{c.length};
    }

    // R"x(2\d+年)x" becomes R"x(2\d+)x" "\xE5\xB9\xB4" R"x()x": adjacent
    // literals make one array, so the raw literal keeps its value while its
    // characters become escapes, which a raw literal cannot hold.
    void close_raw(LexState const& lex) {
        copy(')');
        copy(delimiter(lex));
        copy(lex.encoding == Encoding::utf8 ? "\" u8\"" : "\" \"");
    }

    void reopen_raw(LexState const& lex) {
        copy(lex.encoding == Encoding::utf8 ? "\" u8R\"" : "\" R\"");
        copy(delimiter(lex));
        copy('(');
    }

    static std::string_view delimiter(LexState const& lex) {
        return {lex.delimiter.text.data(), lex.delimiter.size};
    }
};

inline void write(ScanState& state, Role role, Char const& c, Writer& out) {
    switch (role) {
        case Role::copy:
            // A line end after the backslash of an escape, where a raw
            // literal's delimiter failed: no splice there.
            if (state.escape_held) out.copy('\\');
            state.escape_held = false;
            out.copy(c);
            state.after_escape = false;
            return;
        case Role::narrow_escape:
            // Written with what it escapes: a compiler reads \表 as 表
            // alone, which its escapes keep without the backslash.
            state.escape_held = true;
            state.after_escape = false;
            return;
        case Role::narrow:
            if (c.escaped.length != 0) {
                out.escape_character(c.escaped);
                state.escape_held = false;
                state.after_escape = true;
                return;
            }
            if (state.escape_held) {
                out.copy('\\');
                state.escape_held = false;
            }
            if (state.after_escape && c.size == 1 && is_hex_digit(c.text[0])) {
                out.escape(c.text[0]);
                return;
            }
            out.copy(c);
            state.after_escape = false;
            return;
        case Role::narrow_raw:
            if (c.escaped.length != 0) {
                if (!state.raw_piece) out.close_raw(state.lex);
                state.raw_piece = true;
                out.escape_character(c.escaped);
                return;
            }
            if (state.raw_piece) out.reopen_raw(state.lex);
            state.raw_piece = false;
            out.copy(c);
            return;
    }
}

}  // namespace litconv
