#include "escape_chunk.hpp"

#include <array>

#include "codepage/cp932/cp932.hpp"
#include "fast_runs.hpp"
#include "writer.hpp"

namespace litconv {

namespace {

codepage::CopyToPairFunction* const fastest_sweep =
    codepage::cpu::fastest(codepage::copy_to_pair_variants(), codepage::cpu::features()).function;

}  // namespace

std::size_t escape_chunk_with(codepage::CopyToPairFunction* kernel, ScanState& saved_state,
                              std::span<const Byte> chunk, bool last, std::span<Byte> out) {
    // Work on a copy: as far as the compiler knows, the caller's state may
    // lie among the bytes written, and would have to be read again after
    // each of them.
    ScanState state = saved_state;
    Writer writer{out.data()};
    Utf8Tables const& table = codepage::cp932::utf8;
    std::size_t i = 0;
    std::size_t const n = chunk.size();
    if (state.pending_lead >= 0) {
        auto const lead = static_cast<Byte>(state.pending_lead);
        if (n == 0 && !last) return 0;  // nothing changes
        state.pending_lead = -1;
        // The character's bytes side by side, for the writer to copy.
        std::array<Byte, 2> const bytes{lead, n > 0 ? chunk[0] : Byte{0}};
        Char const c = character(table, std::span(bytes).first(n > 0 ? 2 : 1));
        step(state, c, writer);
        i = c.size - 1;
    }
    // A sweep finds no line feed between the last one it took and where it
    // stopped: another one that starts before there stops there as well,
    // with nothing to take.
    std::size_t no_sweep_before = 0;
    while (i < n) {
        i += scan_run(state, table, chunk.subspan(i), writer);
        if (i == n) break;
        Byte const b = chunk[i];
        if (is_lead_byte(b)) {
            if (i + 1 == n && !last) {  // the next chunk completes the character
                state.pending_lead = b;
                break;
            }
            if (i + 1 < n) {
                if (Utf8Char const c = table.pair[codepage::pair_index(b, chunk[i + 1])]; c.length != 0) {
                    step(state, mapped_pair(chunk.data() + i, c), writer);
                    i += 2;
                    continue;
                }
            }
        }
        if (i >= no_sweep_before && state.held == Held::nothing && sweep_may_start(state.lex, b)) {
            Sweep const sweep = sweep_lines(kernel, table, chunk.subspan(i), writer.next);
            no_sweep_before = i + sweep.searched;
            if (sweep.swept != 0) {
                state.lex = LexState{};
                state.after_escape = false;
                writer.next += sweep.written;
                i += sweep.swept;
                continue;
            }
        }
        Char const c = character(table, chunk.subspan(i));
        step(state, c, writer);
        i += c.size;
    }
    if (last) {
        if (state.held != Held::nothing) release_held(state, writer);
        if (state.escape_held) writer.copy('\\');
        state.escape_held = false;
    }
    saved_state = state;
    return static_cast<std::size_t>(writer.next - out.data());
}

std::size_t escape_chunk(ScanState& state, std::span<const Byte> chunk, bool last, std::span<Byte> out) {
    return escape_chunk_with(fastest_sweep, state, chunk, last, out);
}

}  // namespace litconv
