// One block's scan, as escape_chunk runs it: the state it works on, where
// the bytes it reads lie in the whole input, and where its output begins,
// for the held chain of literals (held_chain.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "codepage/cp932/ascii_run_kernels.hpp"
#include "codepage/cp932/cp932_table.hpp"
#include "escape_chunk.hpp"
#include "writer.hpp"

namespace litconv {

struct Scan {
    ScanState state;  // a copy of the escaper's: as far as the compiler knows, that one may lie among the bytes written
    Escaper& escaper;
    codepage::CopyToPairFunction* kernel;
    Utf8Tables const& table;
    Byte* out_start;                 // of the block's output
    std::span<const Byte> block;     // the block's input
    std::uint64_t block_start = 0;   // and its offset in the whole input
    std::uint64_t block_end = 0;
    // The bytes being scanned, and the input offset of their first.
    Byte const* base = nullptr;
    std::uint64_t base_offset = 0;

    std::uint64_t offset_of(Byte const* p) const { return base_offset + static_cast<std::uint64_t>(p - base); }
    std::size_t written(Writer const& out) const { return static_cast<std::size_t>(out.next - out_start); }
};

// Scans the bytes in[0, end) at input offset `offset` into `out`. The bytes
// after `end` are looked at only to tell where a character that begins
// before it ends; without them, a lead byte at the end waits for the next
// block unless `last`.
void scan_span(Scan& scan, std::span<const Byte> in, std::size_t end, bool last, Writer& out, std::uint64_t offset);

}  // namespace litconv
