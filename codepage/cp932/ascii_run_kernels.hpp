// Copying a run of ASCII up to the first pair of bytes that may matter,
// in each of its forms: the portable one, SSE2 (16 bytes at a time) and
// AVX2 (32). litconv's sweep copies lines of code this way; which pairs
// matter is the caller's to say.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "byte.hpp"
#include "codepage/cpu/features.hpp"

namespace codepage {

// The pairs a run stops before: a byte among `firsts` followed by one below
// `seconds_below` (or from 0x80 up, or none: the end of the text).
struct PairStops {
    std::array<Byte, 3> firsts;
    Byte seconds_below;
};

// Copies the ASCII at the start of `in` to `out` up to the first byte from
// 0x80 up or the first byte of a pair of `stops`, and returns its length.
// Up to 32 bytes past it are written as well. Every variant stops at the
// same byte.
using CopyToPairFunction = std::size_t(std::span<const Byte> in, Byte* out, PairStops const& stops);

// The variants, the portable one first: the program runs the fastest that
// the processor supports, the tests every one.
std::span<const cpu::Variant<CopyToPairFunction>> copy_to_pair_variants();

}  // namespace codepage
