// The decoder's processor kernels, each run from the shared loop of
// decode_to_utf8 (cp932.cpp) on the blocks it can take.
#pragma once

#include <cstddef>
#include <span>

#include "byte.hpp"
#include "cp932_table.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CODEPAGE_HAVE_AVX512_DECODER 1
#endif

namespace codepage::avx512 {

#ifdef CODEPAGE_HAVE_AVX512_DECODER
// Japanese text switches between ASCII and pairs every few characters, and
// the portable loop of decode_to_utf8 pays a mispredicted branch at each
// switch. With AVX-512 and VBMI2, 64 bytes at a time take the same
// instructions whatever they hold:
//  - the lead bytes are found with mask arithmetic: in a run of lead-byte
//    values every other byte from the first is a lead byte;
//  - the pairs' UTF-8 forms are looked up at once (a gather);
//  - each input byte gets two output bytes, an ASCII byte the first, a lead
//    byte the first two of its character and its trail byte the third, so
//    that all characters' bytes lie in order; a byte compress packs them.
// Anything else (a single byte from 0x80 up, a pair that is not mapped)
// leaves the block to the portable loop.
//
// Decodes 64-byte blocks from the start of `in` while 128 bytes are left,
// which leaves room for the stores (see decode_to_utf8), and returns the
// number of bytes decoded; `w` moves past their UTF-8. Only for a processor
// with cpu::avx512_vbmi2.
std::size_t decode_64(Utf8Tables const& table, std::span<const Byte> in, Byte*& w);
#endif

}  // namespace codepage::avx512
