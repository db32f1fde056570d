// The escaper's fast runs: where the lexer says a run of bytes changes
// nothing but what pass_plain tracks (lexer.hpp), such runs are copied, or
// escaped in a narrow literal, without a round trip through lex and the
// writer for each character; and from code, whole lines of ASCII are swept
// through at once.
#pragma once

#include <cstddef>
#include <span>

#include "codepage/cp932/ascii_run_kernels.hpp"
#include "codepage/cp932/cp932_table.hpp"
#include "escape_chunk.hpp"
#include "held_chain.hpp"
#include "writer.hpp"

namespace litconv {

// Takes the run at the start of `in` that the fast paths take in one go,
// copied or escaped into `out`, and returns its length; 0 where the next
// character must go through step. On its way it lexes the stops that the
// lexer copies itself (copied_by_lex) and goes on in the mode they leave. A
// run ends on a character's boundary, never on a lead byte that the next
// chunk may complete, nor on a backslash that it may show to start a
// splice. While a chain of literals is held (`holding`), it escapes no
// literal that would start holding one.
std::size_t scan_run(ScanState& state, codepage::Utf8Tables const& table, std::span<const Byte> in, Writer& out,
                     Holding holding);

// From a point in code where nothing is held back, ASCII comes out as it
// is, and a line end brings back the state a file starts in unless
// something carries_state past it. So the ASCII up to the last line feed
// before the next byte from 0x80 up or the next pair that may carry a state
// can be copied in one sweep, as txtconv copies ASCII, and the state machine
// need not see it. After the first line feed the sweep takes simple lines
// (lexer.hpp) whole too, whatever their bytes, with their narrow literals
// escaped where their chains end on them. `swept` is what was taken,
// through that line feed (0 if none), `written` what it became, `searched`
// how far the search went, and `chain` and `call` where the lines taken
// leave them: a chain of literals or a call goes on past a line end.
struct Sweep {
    std::size_t swept;
    std::size_t written;
    std::size_t searched;
    Chain chain = Chain::none;
    Call call = Call::none;
};

// From `start`, the state at in[0], where sweep_may_start.
Sweep sweep_lines(codepage::CopyToPairFunction* kernel, codepage::Utf8Tables const& table, LexState const& start,
                  std::span<const Byte> in, Byte* out);

}  // namespace litconv
