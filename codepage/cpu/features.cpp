#include "features.hpp"

namespace codepage::cpu {

namespace {

unsigned read_features() {
    unsigned have = 0;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    have |= sse2;  // every x86-64 processor has it
    if (__builtin_cpu_supports("avx2")) have |= avx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt"))
        have |= avx512_vbmi2;
#elif defined(_M_X64)
    have |= sse2;
#endif
    return have;
}

}  // namespace

unsigned features() {
    static unsigned const have = read_features();
    return have;
}

}  // namespace codepage::cpu
