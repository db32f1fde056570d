// The state machine's step over one character: splices first, then the
// lexer's word on it, then what the writer makes of it. A backslash is held
// back until the next character shows whether it starts a splice, which
// joins two lines before any token is read, so that the lexer sees neither
// it nor the line end.
#pragma once

#include "held_chain.hpp"
#include "scan.hpp"
#include "writer.hpp"

namespace litconv {

inline void lex_and_write(Scan& scan, Char const& c, Writer& out) {
    if (c.escaped.length != 0 && starts_held_chain(scan.state.lex)) hold_chain(scan, c, out);
    Role const role = lex(scan.state.lex, c.lexeme());
    write(scan.state, role, c, out);
}

// The held backslash (and CR) turned out to be no splice: they are
// characters like any other.
inline void release_held(Scan& scan, Writer& out) {
    Held const held = scan.state.held;
    scan.state.held = Held::nothing;
    lex_and_write(scan, {&backslash_byte, 1, {}}, out);
    if (held == Held::backslash_cr) lex_and_write(scan, {&cr_byte, 1, {}}, out);
}

// One character: a backslash right before a line end (LF, or CR LF where
// ScanState::cr_in_splice) joins the lines, so the lexer sees neither, and
// they are copied.
inline void step(Scan& scan, Char const& c, Writer& out) {
    ScanState& state = scan.state;
    Byte const b = c.lexeme();
    if (state.held != Held::nothing) {
        if (b == '\n') {
            // The backslash of an escape goes before the splice: moved past
            // it, it would make a splice of its own with a line end that
            // follows.
            if (state.escape_held) out.copy('\\');
            state.escape_held = false;
            out.copy('\\');
            if (state.held == Held::backslash_cr) out.copy('\r');
            out.copy('\n');
            state.held = Held::nothing;
            return;
        }
        if (b == '\r' && state.held == Held::backslash && state.cr_in_splice) {
            state.held = Held::backslash_cr;
            return;
        }
        release_held(scan, out);
    }
    if (b == '\\' && splices_apply(state.lex)) {
        state.held = Held::backslash;
        return;
    }
    lex_and_write(scan, c, out);
}

}  // namespace litconv
