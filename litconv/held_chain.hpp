// The escape-or-copy decision for narrow literals. A narrow literal is
// escaped unless a Unicode build widens it, which may show only after it: a
// wide literal joined to it later, or TEXT( before a literal joined to it.
// So the escapes of a chain of narrow literals are written as they come but
// held back, from the chain's first escaped character on, until the lexer
// tells the chain's kind (Chain::narrow_held): when the chain ends, they
// stand; when it turns out wide, the output goes back to where they began
// and the input from there is scanned again with its literals copied. The
// escaped form depends only on a literal's own bytes, so what is held is
// input: a chain still open at the end of a block is kept as input and
// scanned again in front of the next one. A chain whose kind has not shown
// max_held bytes after its first escape is copied as it stands, which
// loses nothing.
#pragma once

#include <span>
#include <utility>

#include "scan.hpp"

namespace litconv {

// Whether an escaped character here starts holding its chain: a character
// of a narrow literal (not u8, which is UTF-8 whatever it is joined to)
// whose chain no wide literal has joined so far, and is not held yet.
constexpr bool starts_held_chain(LexState const& lex) {
    return (lex.mode == Mode::string || lex.mode == Mode::raw_delimiter || lex.mode == Mode::raw) && !lex.copied &&
           lex.encoding == Encoding::narrow && lex.chain == Chain::narrow;
}

// What the fast runs may do while a chain is held: end it anywhere where it
// is young (its escapes stand however it ends), but never open a literal,
// which may turn it wide; nothing at all where it is old, so that every
// character is stepped and the bound is kept exactly.
enum class Holding : std::uint8_t { nothing, young_chain, old_chain };

inline Holding holding(Scan const& scan) {
    HeldChain const& held = scan.escaper.chain;
    if (!held.active) return Holding::nothing;
    return held.young ? Holding::young_chain : Holding::old_chain;
}

// Before the escaped character `c`, which starts holding its chain (the
// state is as before the character).
void hold_chain(Scan& scan, Char const& c, Writer& out);

// Whether the held chain has ended: the lexer says so, also where another
// chain has begun since.
inline bool held_chain_ended(LexState& lex) {
    return std::exchange(lex.held_ended, false) || lex.chain != Chain::narrow_held;
}

// Before a step while a chain is held: a fast run may have ended it since,
// and its escapes stand.
inline void settle_ended(Scan& scan) {
    HeldChain& held = scan.escaper.chain;
    if (held.active && held_chain_ended(scan.state.lex)) held.active = false;
}

// After the step over `c`, a character of the block: whether it told the
// held chain's kind, or went past the bound. A chain that turned wide, or
// ends past the bound, is scanned again with its literals copied, and then
// `c`.
void settle(Scan& scan, Char const& c, Writer& out);

// At the end of a block that is not the last: the held chain is kept for
// the next block, unless it ended or went past the bound. Returns how much
// of the output is done.
std::size_t settle_at_block_end(Scan& scan, Writer& out);

// At the end of the input, which ends a held chain.
void settle_at_input_end(Scan& scan, Writer& out);

}  // namespace litconv
