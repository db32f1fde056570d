#include "utf8_check.hpp"

#include <cstddef>

#include "codepage/cp932/byte_scan.hpp"

namespace codepage {

namespace {

// The sequence that the byte `b` begins: how many bytes follow it and the
// range of the first of them (Unicode's table of well-formed sequences);
// false when no sequence begins with `b`.
bool begin_sequence(Utf8Check& check, Byte b) {
    check.lowest = 0x80;
    check.highest = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        check.continuations = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        check.continuations = 2;
        if (b == 0xE0) check.lowest = 0xA0;   // overlong below U+0800
        if (b == 0xED) check.highest = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        check.continuations = 3;
        if (b == 0xF0) check.lowest = 0x90;   // overlong below U+10000
        if (b == 0xF4) check.highest = 0x8F;  // past U+10FFFF
    } else {
        return false;
    }
    check.multibyte = true;
    return true;
}

}  // namespace

void check_utf8(Utf8Check& check, std::span<const Byte> block, bool last) {
    std::size_t i = 0;
    while (check.valid && i < block.size()) {
        if (check.continuations == 0) {
            i += ascii_run_length(block.subspan(i));
            if (i == block.size()) break;
            check.valid = begin_sequence(check, block[i++]);
            continue;
        }
        Byte const b = block[i++];
        check.valid = b >= check.lowest && b <= check.highest;
        check.lowest = 0x80;
        check.highest = 0xBF;
        --check.continuations;
    }
    if (last && check.continuations != 0) check.valid = false;
}

}  // namespace codepage
