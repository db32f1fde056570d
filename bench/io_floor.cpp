// The programs' file handling with nothing to convert: [in] copied to [out]
// behind a byte-order mark through the same blocks, buffers, aligned writes
// and temporary file as txtconv. Next to cp in bench/compare.py it shows
// what the read-convert-write path costs before any converting is done.
#include <array>
#include <cstring>
#include <string_view>

#include "codepage/command/convert_file.hpp"

int codepage::program_main(std::span<const NativeChar* const> arguments) {
    static constexpr std::array<std::string_view, 1> usage = {"io_floor [in] [out]\n"};
    static constexpr std::array<Byte, 3> byte_order_mark = {0xEF, 0xBB, 0xBF};
    Conversion const conversion{
        .usage = usage,
        .mode = FileMode::binary,
        .preamble = byte_order_mark,
        .max_output = [](std::size_t block_size) { return block_size; },
        .convert = [](std::span<const Byte> in, bool, std::span<Byte> out) {
            std::memcpy(out.data(), in.data(), in.size());
            return in.size();
        },
    };
    return run_conversion(arguments, conversion);
}
