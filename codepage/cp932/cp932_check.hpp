// Whether a text holds only characters of code page 932: ASCII, the mapped
// pairs, and the bytes that stand alone (half-width katakana, 80, A0,
// FD-FF). A lead byte that begins no mapped pair, or ends the text, is no
// character: converting it loses it.
#pragma once

#include <span>

#include "byte.hpp"

namespace codepage {

// The check of a text fed to it block by block.
struct Cp932Check {
    int pending_lead = -1;               // a lead byte that ended the last block
    unsigned long long line_feeds = 0;   // in the blocks before
    // The line (from 1, counted at each LF) of the first byte that begins
    // no character; 0 while there is none. Once one is found the rest of
    // the text is not looked at.
    unsigned long long first_invalid_line = 0;
};

// Checks the next block of the text; `last` marks its end.
void check_cp932(Cp932Check& check, std::span<const Byte> block, bool last);

}  // namespace codepage
