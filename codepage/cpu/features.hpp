// Processor kernels chosen openly. Each function that has accelerated forms
// lists all of them, its portable form first, in a table of variants; the
// program takes the fastest one that the processor supports, once, at
// start-up, and the tests run every one the processor supports.
#pragma once

#include <span>
#include <string_view>

namespace codepage::cpu {

// Instruction-set extensions that a variant may need, as bits.
enum Feature : unsigned {
    sse2 = 1u << 0,
    avx2 = 1u << 1,
    avx512_vbmi2 = 1u << 2,  // with AVX-512 F, BW and VBMI, BMI2 and POPCNT
};

// What this processor has, read once.
unsigned features();

template <typename Function>
struct Variant {
    std::string_view name;
    unsigned needs;  // Feature bits; 0 for the portable variant
    Function* function;
};

template <typename Function>
constexpr bool supported(Variant<Function> const& variant, unsigned have) {
    return (variant.needs & ~have) == 0;
}

// The last variant of `variants` (fastest last) that `have` supports; the
// first, portable, one always is.
template <typename Function>
constexpr Variant<Function> const& fastest(std::span<const Variant<Function>> variants, unsigned have) {
    Variant<Function> const* best = &variants.front();
    for (auto const& variant : variants)
        if (supported(variant, have)) best = &variant;
    return *best;
}

}  // namespace codepage::cpu
