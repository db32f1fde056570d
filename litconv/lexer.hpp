// Which token of C or C++ the scanner is in, as a compiler reads the source
// after it has joined spliced lines: code, a comment, a character literal, a
// string literal (narrow, wide or raw), or a header name. The lexer sees one
// character at a time and says what role it plays; what gets written for it
// is escape_chunk's business.
//
// Splices are not the lexer's: the caller removes every backslash that
// stands right before a line end (where splices_apply says they exist), and
// the lexer never sees it or that line end.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "codepage/cp932/byte.hpp"

namespace litconv {

using codepage::Byte;

// Stands for any character that is not ASCII: a two-byte character or a
// byte from 0x80 up. Only ASCII decides anything; such characters are
// identifier characters in code and plain text everywhere else.
inline constexpr Byte non_ascii = 0x80;

enum class Mode : std::uint8_t {
    code,
    line_comment,   // from // to the end of the line
    block_comment,  // from /* to */
    character,      // '...' (its prefix stays in code)
    string,         // "...", narrow or wide
    header_name,    // "..." or <...> after #include, #include_next, #import or __has_include(
    raw_delimiter,  // R"delim, up to its (
    raw,            // R"delim(..., up to )delim"
};

// Where code stands in a preprocessing directive, for header names.
enum class Directive : std::uint8_t {
    none,
    name,         // # was read at the start of a line: its name follows
    header,       // a header name may come next
    condition,    // the rest of #if or #elif, where __has_include may stand
    has_include,  // __has_include was read in a condition: ( follows
};

inline constexpr std::size_t max_delimiter = 16;

// The identifier or number that code is reading, as far as its first 13
// characters: enough to tell a prefix or a directive's name.
struct Word {
    std::array<char, 13> text{};
    std::uint8_t size = 0;  // stops growing at 255

    void push(Byte c) {
        if (size < text.size()) text[size] = static_cast<char>(c);
        if (size < 255) ++size;
    }
    bool is(std::string_view name) const {
        return size == name.size() && std::string_view(text.data(), size) == name;
    }
    bool is_number() const { return size > 0 && text[0] >= '0' && text[0] <= '9'; }
};

struct Delimiter {
    std::array<char, max_delimiter> text{};
    std::uint8_t size = 0;
    std::uint8_t matched = 0;  // in the body: how much of )delim was just read
};

struct LexState {
    Mode mode = Mode::code;
    bool wide = false;        // string, raw: prefix L, u or U
    bool u8 = false;          // raw: prefix u8R
    bool escape = false;      // string, character: a backslash takes the next character
    bool star = false;        // block comment: the last character was *
    bool slash = false;       // code: the last character was /
    bool line_start = true;   // code: only blanks so far on this line
    Byte closer = 0;          // header name: " or >
    Directive directive = Directive::none;
    Word word;                // code: the identifier or number just read
    Delimiter delimiter;      // raw delimiter and body
};

// What a character is to the writer.
enum class Role : std::uint8_t {
    copy,           // written as it is: code, comments, wide and character literals, header names
    narrow,         // inside a narrow string literal
    narrow_escape,  // the backslash of an escape in a narrow string literal
    narrow_raw,     // inside a narrow raw literal, its closing )delim included
};

// Moves `state` on by one character: an ASCII byte, or non_ascii.
Role lex(LexState& state, Byte c);

// Whether a backslash before a line end is a splice here: everywhere but
// between the quotes of a raw literal.
constexpr bool splices_apply(LexState const& state) {
    return state.mode != Mode::raw_delimiter && state.mode != Mode::raw;
}

constexpr bool is_identifier_byte(Byte b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
           b >= 0x80;
}

constexpr bool is_blank(Byte b) { return b == ' ' || b == '\t' || b == '\r' || b == '\v' || b == '\f'; }

}  // namespace litconv
