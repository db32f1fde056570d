#include "escape_chunk.hpp"

#include <cstring>

#include <array>

#include "codepage/cp932/cp932.hpp"
#include "fast_runs.hpp"
#include "held_chain.hpp"
#include "scan.hpp"
#include "step.hpp"

namespace litconv {

namespace {

codepage::CopyToPairFunction* const fastest_sweep =
    codepage::cpu::fastest(codepage::copy_to_pair_variants(), codepage::cpu::features()).function;

// A step of the main loop over `c`, with what it tells the held chain.
void step_and_settle(Scan& scan, Char const& c, Writer& out) {
    if (scan.escaper.chain.active) settle_ended(scan);
    step(scan, c, out);
    if (scan.escaper.chain.active) settle(scan, c, out);
}

}  // namespace

void scan_span(Scan& scan, std::span<const Byte> in, std::size_t n, bool last, Writer& writer, std::uint64_t offset) {
    ScanState& state = scan.state;
    HeldChain& held = scan.escaper.chain;
    scan.base = in.data();
    scan.base_offset = offset;
    std::size_t i = 0;
    if (state.pending_lead >= 0) {
        auto const lead = static_cast<Byte>(state.pending_lead);
        if (n == 0 && !last) return;  // nothing changes
        ScanState const at_start = state;
        std::size_t const written_at_start = scan.written(writer);
        state.pending_lead = -1;
        // The character's bytes side by side, for the writer to copy.
        std::array<Byte, 2> const bytes{lead, n > 0 ? in[0] : Byte{0}};
        Char const c = character(scan.table, std::span(bytes).first(n > 0 ? 2 : 1));
        scan.base = bytes.data();
        scan.base_offset = offset - 1;
        step(scan, c, writer);
        // A chain held from here is scanned again from the start of this
        // input, with the lead byte pending as it was.
        if (held.active && held.escaped_at == offset - 1) {
            held.from = offset;
            held.before = at_start;
            held.written = written_at_start;
        }
        scan.base = in.data();
        scan.base_offset = offset;
        i = c.size - 1;
    }
    // A sweep finds no line feed between the last one it took and where it
    // stopped: another one that starts before there stops there as well,
    // with nothing to take.
    std::size_t no_sweep_before = 0;
    while (i < n) {
        i += scan_run(state, scan.table, in.subspan(i, n - i), writer, holding(scan));
        if (i == n) break;
        Byte const b = in[i];
        if (is_lead_byte(b)) {
            if (i + 1 == in.size() && !last) {  // the next block completes the character
                state.pending_lead = b;
                break;
            }
            if (i + 1 < in.size()) {
                if (Utf8Char const c = scan.table.pair[codepage::pair_index(b, in[i + 1])]; c.length != 0) {
                    step_and_settle(scan, mapped_pair(in.data() + i, c), writer);
                    i += 2;
                    continue;
                }
            }
        }
        if (i >= no_sweep_before && state.held == Held::nothing && sweep_may_start(state.lex, b)) {
            settle_ended(scan);
            Sweep const sweep = sweep_lines(scan.kernel, scan.table, state.lex, in.subspan(i, n - i), writer.next);
            no_sweep_before = i + sweep.searched;
            if (sweep.swept != 0) {
                state.lex = LexState{};
                state.lex.chain = sweep.chain;
                state.lex.call = sweep.call;
                state.after_escape = false;
                writer.next += sweep.written;
                i += sweep.swept;
                continue;
            }
        }
        Char const c = character(scan.table, in.subspan(i));
        step_and_settle(scan, c, writer);
        i += c.size;
    }
}

std::size_t escape_chunk_with(codepage::CopyToPairFunction* kernel, Escaper& escaper, std::span<const Byte> chunk,
                              bool last, std::span<Byte> out) {
    // The chain the last block left undecided takes small blocks as they
    // come, without escaping the kept input again for each: it is escaped
    // again once enough has come to tell more, or when the input ends, or
    // the kept input is full. Its escapes are held back meanwhile anyway,
    // so only when they come out changes.
    constexpr std::size_t rescan_after = 4096;
    if (escaper.kept_size != 0 && !last && escaper.kept_unscanned + chunk.size() < rescan_after &&
        escaper.kept_size + chunk.size() <= max_held) {
        std::memcpy(escaper.kept.get() + escaper.kept_size, chunk.data(), chunk.size());
        escaper.kept_size += chunk.size();
        escaper.kept_unscanned += chunk.size();
        escaper.offset += chunk.size();
        return 0;
    }
    escaper.kept_unscanned = 0;
    Writer writer{out.data()};
    Scan scan{.state = escaper.state,
              .escaper = escaper,
              .kernel = kernel,
              .table = codepage::cp932::utf8,
              .out_start = out.data(),
              .block = chunk,
              .block_start = escaper.offset,
              .block_end = escaper.offset + chunk.size()};
    // The chain the last block left undecided, escaped again in front.
    if (escaper.kept_size != 0)
        scan_span(scan, std::span(escaper.kept.get(), escaper.kept_size), escaper.kept_size, false, writer,
                  escaper.kept_from);
    scan_span(scan, chunk, chunk.size(), last, writer, escaper.offset);
    std::size_t written;
    if (last) {
        settle_at_input_end(scan, writer);
        ScanState& state = scan.state;
        if (state.held != Held::nothing) release_held(scan, writer);
        if (state.escape_held) writer.copy('\\');
        state.escape_held = false;
        written = scan.written(writer);
    } else {
        written = settle_at_block_end(scan, writer);
    }
    escaper.state = scan.state;
    escaper.offset += chunk.size();
    return written;
}

std::size_t escape_chunk(Escaper& escaper, std::span<const Byte> chunk, bool last, std::span<Byte> out) {
    return escape_chunk_with(fastest_sweep, escaper, chunk, last, out);
}

}  // namespace litconv
