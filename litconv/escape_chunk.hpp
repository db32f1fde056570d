// The literal escaper's scanner: rewrites every character of code page 932
// that stands inside a narrow string literal as \x escapes of its UTF-8
// bytes, and escapes a hexadecimal digit that follows such an escape, so
// that the compiler cannot read it as part of the escape. A narrow raw
// literal is closed around each run of such characters, which stand in an
// ordinary literal between its pieces. A narrow literal that a Unicode build
// widens (one joined to a wide literal, or the argument of TEXT()) is
// copied, as a wide one is. Every other byte is copied.
//
// Which token a character stands in is the lexer's to say (lexer.hpp); the
// state carries on from one block to the next. Whether a narrow literal is
// joined to a wide one may show only after it, so the escapes of a chain
// of literals are held back until its kind is known (held_chain.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    std::int16_t pending_lead = -1;  // lead byte cut off at the end of the last block
};

// How far the input may go past the first escape of a chain of literals
// before its kind must show: further on, its literals are copied as they
// stand, which loses nothing. The longest literal MSVC takes is 64 KiB.
inline constexpr std::size_t max_held = 64 * 1024;

// The chain whose escapes wait for its kind, from its first escaped
// character on (Chain::narrow_held).
struct HeldChain {
    bool active = false;
    std::uint64_t escaped_at = 0;  // in the input: the first escaped character, from which the bound counts
    std::uint64_t from = 0;   // in the input: where the replay starts
    std::size_t written = 0;  // in the block's output: what `from` became
    ScanState before;         // the state at `from`
    // Whether every token of the block lies within max_held of escaped_at, so
    // that however it ends the chain, its escapes stand: the fast runs may
    // then end it without saying where.
    bool young = false;
};

// Everything litconv's scanner carries from one block to the next.
struct Escaper {
    ScanState state;
    HeldChain chain;
    std::uint64_t offset = 0;  // the input bytes of the blocks before
    // The input from chain.from to the end of the last block, for a chain
    // the last block left undecided: it is escaped again in front of the
    // next one. Then `state` is the state at its start.
    std::unique_ptr<Byte[]> kept = std::unique_ptr<Byte[]>(new Byte[max_held]);
    std::size_t kept_size = 0;
    std::uint64_t kept_from = 0;  // the input offset of kept[0]
    std::size_t kept_unscanned = 0;  // of kept_size, what came since it was last escaped again
};

// The most one input byte makes: a half-width katakana byte in a narrow raw
// literal closes it (a parenthesis, 16 characters of delimiter, a quote, a
// blank and u8") and becomes three escapes of four bytes each.
inline constexpr std::size_t max_written_per_byte = 36;

// Room for the output of a block of `n` bytes after the kept input of
// `escaper`, which comes out in front of it: every input byte makes at most
// max_written_per_byte, and four bytes more are stored (a character's
// escapes are stored 16 bytes at once, of which 12 at most are kept).
// Copying a held chain instead of escaping it never writes more.
constexpr std::size_t max_escaped_length(std::size_t n, std::size_t kept) {
    return max_written_per_byte * (n + kept + 1) + 4;
}
// The same for any state: a block keeps at most max_held bytes.
constexpr std::size_t max_escaped_length(std::size_t n) { return max_escaped_length(n, max_held); }
inline std::size_t max_escaped_length(Escaper const& escaper, std::size_t n) {
    return max_escaped_length(n, escaper.kept_size);
}

// Escapes `chunk` into `out` (at least max_escaped_length(escaper, chunk.size())
// bytes) and returns the number of bytes written. `last` marks the end of the
// input, where whatever is still held back is written as it stands.
std::size_t escape_chunk(Escaper& escaper, std::span<const Byte> chunk, bool last, std::span<Byte> out);

// The same with the sweep's kernel `sweep`, one of
// codepage::copy_to_pair_variants(); escape_chunk runs the fastest one the
// processor supports, the tests every one. All write the same bytes.
std::size_t escape_chunk_with(codepage::CopyToPairFunction* sweep, Escaper& escaper, std::span<const Byte> chunk,
                              bool last, std::span<Byte> out);

}  // namespace litconv
