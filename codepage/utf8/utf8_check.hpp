// Whether a text is valid UTF-8 (the Unicode standard's well-formed
// sequences: no overlong forms, no surrogates, nothing past U+10FFFF) and
// holds a character beyond ASCII. Text in code page 932 with any Japanese
// in it practically never is.
#pragma once

#include <array>
#include <span>

#include "codepage/cp932/byte.hpp"

namespace codepage {

// The UTF-8 byte-order mark: what txtconv writes first, and what marks a
// file as UTF-8 already.
inline constexpr std::array<Byte, 3> utf8_byte_order_mark = {0xEF, 0xBB, 0xBF};

// The check of a text fed to it block by block. Once the text is found
// invalid the rest is not looked at.
struct Utf8Check {
    bool valid = true;
    bool multibyte = false;  // a sequence of two bytes or more was seen
    int continuations = 0;   // bytes still to come of the current sequence
    Byte lowest = 0x80;      // the range of the next of them
    Byte highest = 0xBF;
};

// Checks the next block of the text; `last` marks its end, where a sequence
// cut short makes the text invalid.
void check_utf8(Utf8Check& check, std::span<const Byte> block, bool last);

// After the last block: the text is UTF-8 and not only ASCII.
inline bool is_multibyte_utf8(Utf8Check const& check) { return check.valid && check.multibyte; }

}  // namespace codepage
