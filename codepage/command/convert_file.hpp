// The command both programs share: check the arguments, then stream [in]
// through a block converter into [out], reporting every failure.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "codepage/command/in_place_check.hpp"
#include "codepage/cp932/byte.hpp"
#include "codepage/platform.hpp"

namespace codepage {

// The largest block of input; a smaller file is read in one block of its
// own size.
inline constexpr std::size_t input_block_size = 64 * 1024;

// Converts one block of input into `out`, which holds what `max_output`
// asks for a block of that size, and returns the number of bytes written.
// `last` marks the final block, which may be empty.
using BlockConverter =
    std::function<std::size_t(std::span<const Byte> in, bool last, std::span<Byte> out)>;

struct Conversion {
    std::span<const std::string_view> usage;  // printed line by line
    FileMode mode;
    std::span<const Byte> preamble;  // written before the converted text
    std::size_t (*max_output)(std::size_t block_size);  // room for one converted block
    BlockConverter convert;
    InPlaceRules in_place{};  // what a run that converts [in] onto itself checks first
};

// Runs the command `program [in] [out]` with `arguments` (the program name
// not among them) and returns the exit status.
int run_conversion(std::span<const NativeChar* const> arguments, Conversion const& conversion);

}  // namespace codepage
