// The literal escaper's scanner: rewrites every character of code page 932
// that stands inside a narrow string literal as \x escapes of its UTF-8
// bytes, and escapes a hexadecimal digit that follows such an escape, so
// that the compiler cannot read it as part of the escape. A narrow raw
// literal is closed around each run of such characters, which stand in an
// ordinary literal between its pieces. Every other byte is copied.
//
// Which token a character stands in is the lexer's to say (lexer.hpp); the
// state carries on from one chunk to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codepage/cp932/ascii_run_kernels.hpp"
#include "codepage/cp932/byte.hpp"
#include "lexer.hpp"

namespace litconv {

using codepage::Byte;

// A backslash, and the CR after it, that the next byte shows to be a splice
// or not.
enum class Held : std::uint8_t { nothing, backslash, backslash_cr };

struct ScanState {
    LexState lex;
    // Whether a CR between a backslash and a line feed belongs to the splice.
    // It does where the input is read as it is; after a text mode that reads
    // CR LF as LF (Windows), a CR that is left is a character of its own,
    // and only a backslash right before a line feed is a splice.
    bool cr_in_splice = true;
    Held held = Held::nothing;
    bool escape_held = false;        // narrow literal: the backslash of an escape, not yet written
    bool after_escape = false;       // the last thing written was an escape
    bool raw_piece = false;          // narrow raw literal: closed for a piece of escapes
    std::int16_t pending_lead = -1;  // lead byte cut off at the end of the last chunk
};

// The most one input byte makes: a half-width katakana byte in a narrow raw
// literal closes it (a parenthesis, 16 characters of delimiter, a quote, a
// blank and u8") and becomes three escapes of four bytes each.
inline constexpr std::size_t max_written_per_byte = 36;

// Four bytes more: a character's escapes are stored 16 bytes at once, of
// which 12 at most are kept.
constexpr std::size_t max_escaped_length(std::size_t n) { return max_written_per_byte * (n + 1) + 4; }

// Escapes `chunk` into `out` (at least max_escaped_length(chunk.size())
// bytes) and returns the number of bytes written. `last` marks the end of the
// input, where whatever is still held back is written as it stands.
std::size_t escape_chunk(ScanState& state, std::span<const Byte> chunk, bool last,
                         std::span<Byte> out);

// The same with the sweep's kernel `sweep`, one of
// codepage::copy_to_pair_variants(); escape_chunk runs the fastest one the
// processor supports, the tests every one. All write the same bytes.
std::size_t escape_chunk_with(codepage::CopyToPairFunction* sweep, ScanState& state, std::span<const Byte> chunk,
                              bool last, std::span<Byte> out);

}  // namespace litconv
