#include "held_chain.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "step.hpp"

namespace litconv {

void hold_chain(Scan& scan, Char const& c, Writer& out) {
    HeldChain& held = scan.escaper.chain;
    // A chain held before has ended since, or this one would be held already.
    std::uint64_t const at = scan.offset_of(c.text);
    held = {.active = true,
            .escaped_at = at,
            .from = at,
            .written = scan.written(out),
            .before = scan.state,
            .young = at + max_held >= scan.block_end};
    held.before.lex.held_ended = false;
    scan.state.lex.chain = Chain::narrow_held;
    scan.state.lex.held_ended = false;
}

namespace {

// The held chain is wide after all: the output goes back to where its
// escapes began, and the input from there up to the input offset `upto` is
// scanned again with the literal it began in, and the chain's others,
// copied. That input may begin in what the last block kept, and end there
// too: a chain may begin and end in kept input that was not escaped yet.
void copy_held(Scan& scan, std::uint64_t upto, Writer& out) {
    HeldChain& held = scan.escaper.chain;
    held.active = false;
    out.next = scan.out_start + held.written;
    scan.state = held.before;
    scan.state.lex.chain = Chain::wide;
    scan.state.lex.copied = true;
    Byte const* const base = scan.base;
    std::uint64_t const base_offset = scan.base_offset;
    Escaper const& escaper = scan.escaper;
    if (held.from < scan.block_start) {  // in the input the last block kept
        auto const kept = std::span(escaper.kept.get(), escaper.kept_size)
                              .subspan(static_cast<std::size_t>(held.from - escaper.kept_from));
        scan_span(scan, kept, static_cast<std::size_t>(std::min(upto, scan.block_start) - held.from), false, out,
                  held.from);
    }
    if (upto > scan.block_start) {
        std::uint64_t const from = std::max(held.from, scan.block_start);
        auto const from_in_block = static_cast<std::size_t>(from - scan.block_start);
        scan_span(scan, scan.block.subspan(from_in_block), static_cast<std::size_t>(upto - from), false, out, from);
    }
    scan.base = base;
    scan.base_offset = base_offset;
}

}  // namespace

void settle(Scan& scan, Char const& c, Writer& out) {
    HeldChain& held = scan.escaper.chain;
    if (!held.active) return;
    // The chain may have ended, and another begun as wide, at one step.
    bool const wide = scan.state.lex.chain == Chain::wide && !scan.state.lex.held_ended;
    bool const ended = held_chain_ended(scan.state.lex);
    bool const within = scan.offset_of(c.text) - held.escaped_at <= max_held;
    if (!ended && within) return;  // not told yet
    if (!wide && within) {  // ended: the escapes stand
        held.active = false;
        return;
    }
    copy_held(scan, scan.offset_of(c.text), out);
    step(scan, c, out);
}

std::size_t settle_at_block_end(Scan& scan, Writer& out) {
    HeldChain& held = scan.escaper.chain;
    Escaper& escaper = scan.escaper;
    if (held.active && held_chain_ended(scan.state.lex)) held.active = false;
    if (held.active && scan.block_end - held.escaped_at > max_held) copy_held(scan, scan.block_end, out);
    if (!held.active) {
        escaper.kept_size = 0;
        return scan.written(out);
    }
    // Kept for the next block, as input, and scanned again from its start.
    if (held.from < scan.block_start) {  // the kept input goes on, from where the chain began in it
        auto const skip = static_cast<std::size_t>(held.from - escaper.kept_from);
        std::memmove(escaper.kept.get(), escaper.kept.get() + skip, escaper.kept_size - skip);
        escaper.kept_size -= skip;
        escaper.kept_from = held.from;
        std::memcpy(escaper.kept.get() + escaper.kept_size, scan.block.data(), scan.block.size());
        escaper.kept_size += scan.block.size();
    } else {
        std::size_t const from = static_cast<std::size_t>(held.from - scan.block_start);
        std::memcpy(escaper.kept.get(), scan.block.data() + from, scan.block.size() - from);
        escaper.kept_size = scan.block.size() - from;
        escaper.kept_from = held.from;
    }
    held.active = false;
    scan.state = held.before;
    return held.written;
}

void settle_at_input_end(Scan& scan, Writer& out) {
    HeldChain& held = scan.escaper.chain;
    if (held.active && !held_chain_ended(scan.state.lex) && scan.block_end - held.escaped_at > max_held)
        copy_held(scan, scan.block_end, out);
    held.active = false;
    scan.escaper.kept_size = 0;
}

}  // namespace litconv
