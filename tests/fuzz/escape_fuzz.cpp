// litconv's scanner against the reference escaper, fed in blocks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint64_t const seed = data[0] | data[1] << 8;
    std::string_view const text(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string const faults = properties::escape_faults(text, seed);
    if (faults.empty()) return 0;
    std::fprintf(stderr, "%s\n", faults.c_str());
    std::abort();
}
