// Which pairs of bytes are characters of code page 932. This is our own
// generated data on every platform, Windows too, where the decoder's tables
// are the system's: a file either holds only characters of code page 932 or
// it does not, whatever a system would substitute for the others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "byte.hpp"
#include "cp932_table.hpp"

namespace codepage {

namespace cp932 {

// Bit t of word 4 * row + t / 64 is set when lead byte `row` (81-9F, then
// E0-FC) and trail byte t form a mapped pair.
extern const std::array<std::uint64_t, lead_count * 4> mapped_pair_bits;

}  // namespace cp932

// `lead` must be a lead byte.
inline bool is_mapped_pair(Byte lead, Byte trail) {
    std::size_t const row = cp932::lead_row(lead);
    return (cp932::mapped_pair_bits[row * 4 + trail / 64u] >> (trail % 64u) & 1) != 0;
}

}  // namespace codepage
