// Plain references for litconv's scanner and txtconv's decoder: they read
// the whole text at once, one character at a time, with none of the block
// handling or fast paths of the real code, which the tests compare with them.
// Characters are looked up with codepage::decode_pair and decode_single.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace reference {

// Where a character stands. `copied` is everything else litconv leaves as
// it is: code, comments, wide and character literals, header names, the
// quotes and delimiters of literals.
enum class Context { copied, splice, narrow, narrow_raw };

// One character of code page 932 (a mapped pair or a single byte) and where
// it stands.
struct Piece {
    std::string_view text;
    Context context;
    bool escape_backslash = false;  // narrow: the backslash that begins an escape
    std::string_view delimiter{};   // narrow_raw: the literal's delimiter
    bool u8 = false;                // narrow_raw: the prefix is u8R
};

// How far past its first escaped character litconv reads a narrow literal,
// and the literals joined to it, to tell whether a Unicode build widens
// them; where that shows only later, it copies them.
inline constexpr std::size_t max_held = 64 * 1024;

// Cuts `text` into characters and tells which literal each stands in.
// `cr_in_splice` false reads it as Windows' text mode hands it over: only a
// backslash right before a line feed is a splice.
std::vector<Piece> scan(std::string_view text, bool cr_in_splice = true);

// What litconv writes for `text`.
std::string escape(std::string_view text, bool cr_in_splice = true);

// What txtconv writes for `text`, without the byte-order mark.
std::string decode(std::string_view text);

// Whether every byte from 0x80 up in `text` is half-width katakana or part
// of a mapped pair: no stray lead byte, no 80, A0 or FD-FF.
bool only_mapped_characters(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace reference
