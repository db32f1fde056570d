// litconv's scanner against the reference escaper, fed in blocks, with
// every sweep kernel.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "properties.hpp"

// Every variant the processor supports, the portable one always.
static auto const variants = properties::sweep_kernels();

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (auto const& variant : variants)
        std::fprintf(stderr, "escape_fuzz: variant %.*s\n", static_cast<int>(variant.name.size()), variant.name.data());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint64_t const seed = data[0] | data[1] << 8;
    std::string_view const text(reinterpret_cast<const char*>(data) + 2, size - 2);
    for (auto const& variant : variants) {
        std::string const faults = properties::escape_faults(variant.function, text, seed);
        if (faults.empty()) continue;
        std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(variant.name.size()), variant.name.data(), faults.c_str());
        std::abort();
    }
    return 0;
}
