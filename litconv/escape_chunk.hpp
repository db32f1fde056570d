// The literal escaper's scanner: rewrites every character of code page 932
// that stands inside a narrow string literal as \x escapes of its UTF-8
// bytes, and escapes a hexadecimal digit that follows such an escape, so
// that the compiler cannot read it as part of the escape. Every other byte
// is copied.
//
// The state lasts for one line, up to and including its line feed, however
// the input is cut into chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codepage/byte.hpp"

namespace litconv {

using codepage::Byte;

enum class Mode : std::uint8_t {
    code,            // outside any literal
    quote_after_apostrophe,  // '" was read: a literal, unless ' follows ('"')
    narrow_literal,  // "...": multibyte characters are escaped
    wide_literal,    // L"...", u"...", U"...": copied unchanged
};

// What the last character outside a literal was, as far as it matters for
// the next double quote.
enum class Previous : std::uint8_t {
    other,
    prefix,                // a token that is exactly L, u or U so far
    identifier,            // any other identifier characters
    apostrophe,            // '
    apostrophe_backslash,  // '\ (as in '\"')
};

struct ScanState {
    Mode mode = Mode::code;
    Previous previous = Previous::other;
    bool after_escape = false;      // the last thing written was an escape
    bool backslash_pending = false;  // in a literal, a backslash takes the next byte
    std::int16_t pending_lead = -1;  // lead byte cut off at the end of the last chunk
};

// The escaped form of n input bytes never exceeds this: a half-width katakana
// byte becomes three escapes of four bytes each.
constexpr std::size_t max_escaped_length(std::size_t n) { return 12 * (n + 1); }

// Escapes `chunk` into `out` (at least max_escaped_length(chunk.size())
// bytes) and returns the number of bytes written. `last` marks the end of the
// input, where a lead byte still waiting for its second byte is copied alone.
std::size_t escape_chunk(ScanState& state, std::span<const Byte> chunk, bool last,
                         std::span<Byte> out);

}  // namespace litconv
