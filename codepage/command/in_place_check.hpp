// What an in-place run may do with its file. In place the old content is
// the only copy of the text, and a tree is converted again and again: a
// file that is already UTF-8 (converted before, or never code page 932)
// must not be converted as if it were code page 932, nor a UTF-16 file
// (as Visual Studio's resource editor writes them), nor a file whose
// conversion would lose bytes.
#pragma once

#include <span>

#include "codepage/cp932/byte.hpp"
#include "codepage/cp932/cp932_check.hpp"
#include "codepage/utf8/utf8_check.hpp"

namespace codepage {

// Each program's rules.
struct InPlaceRules {
    // A file that begins with the byte-order mark EF BB BF is the program's
    // own output, left as it is (else it is refused as UTF-8).
    bool marked_file_is_output = false;
    // A byte sequence that is no character of code page 932 would be lost:
    // such a file is refused (else its bytes are kept as they are).
    bool needs_code_page_932 = false;
};

struct InPlaceVerdict {
    enum Kind {
        undecided,          // convert this block; the next ones decide
        convert,            // convert the whole file, nothing more to check
        leave_as_it_is,     // status 0, nothing written
        already_utf8,       // refused
        utf16,              // refused: the file begins with FF FE or FE FF
        not_code_page_932,  // refused; `line` holds the first offending byte
    } kind = undecided;
    unsigned long long line = 0;
};

// The state of the checks over the blocks read so far.
struct InPlaceCheck {
    InPlaceRules rules;
    bool at_start = true;
    Utf8Check utf8;
    Cp932Check cp932;
};

// Checks the next block of the file before it is converted; `last` marks
// the end of the file, where the verdict is never `undecided`.
InPlaceVerdict check_block(InPlaceCheck& check, std::span<const Byte> block, bool last);

}  // namespace codepage
