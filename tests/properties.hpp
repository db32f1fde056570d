// Runs litconv's scanner and txtconv's decoder over a text cut into blocks,
// as the programs feed them, and checks what they write against the
// references in reference.hpp. Shared by the unit tests and the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codepage/cp932/ascii_run_kernels.hpp"
#include "codepage/cp932/cp932.hpp"

namespace properties {

// Every variant of a kernel that the processor supports, the portable one
// always, by name: the sweep kernels that litconv's scanner runs, and
// txtconv's decoders.
template <typename Function>
struct Named {
    std::string_view name;
    Function* function;
};
std::vector<Named<codepage::CopyToPairFunction>> sweep_kernels();
std::vector<Named<codepage::DecodeFunction>> decoders();

// Sizes of the blocks to cut `total` bytes into, drawn from `seed`: all
// single bytes, all 64 KiB blocks, or a mix of those with short pieces and
// empty blocks. The input may end with an empty block of its own.
std::vector<std::size_t> block_sizes(std::uint64_t seed, std::size_t total);

// The output of a kernel fed `text` in blocks of `sizes`, or what it did
// wrong: writing more than its bound promises.
struct Run {
    std::string output;
    std::string fault;
};

Run escape_in_blocks(codepage::CopyToPairFunction* kernel, std::string_view text, std::span<const std::size_t> sizes,
                     bool cr_in_splice = true);
Run decode_in_blocks(codepage::DecodeFunction* decoder, std::string_view text, std::span<const std::size_t> sizes);

// What litconv's scanner gets wrong on `text` cut as `seed` says, empty when
// nothing: its output must be the reference's; escaping that output again
// must change nothing; and when `text` holds only mapped characters, every
// narrow literal of the output must be ASCII. With sweep kernel `kernel`,
// the text read as it is and as Windows' text mode hands it over.
std::string escape_faults(codepage::CopyToPairFunction* kernel, std::string_view text, std::uint64_t seed);

// What txtconv's decoder gets wrong on `text` cut as `seed` says, empty when
// nothing: its output must be the reference's, and the byte-order mark
// followed by it well-formed UTF-8. With decoder variant `decoder`.
std::string decode_faults(codepage::DecodeFunction* decoder, std::string_view text, std::uint64_t seed);

}  // namespace properties
