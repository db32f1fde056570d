#include "escape_chunk.hpp"

#include <array>
#include <cstring>

#include "codepage/cp932.hpp"

namespace litconv {

namespace {

using codepage::decode_pair;
using codepage::is_lead_byte;

constexpr bool is_hex_digit(Byte b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f');
}

// Characters of code page 932 count as identifier characters, so that
// 漢L"..." is no L prefix.
constexpr bool is_identifier_byte(Byte b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
           b >= 0x80;
}

constexpr bool is_prefix_letter(Byte b) { return b == 'L' || b == 'u' || b == 'U'; }

constexpr bool is_half_width_katakana(Byte b) { return b >= 0xA1 && b <= 0xDF; }

// Bytes that change nothing but `previous` in code, and nothing at all in a
// literal whose last output was no escape: the scanner copies runs of them
// without looking at each in turn.
enum : std::uint8_t { plain_in_code = 1, plain_in_literal = 2 };

constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (int b = 0; b < 0x80; ++b) {
        if (b == '"' || b == '\\' || b == '\n') continue;
        classes[b] = plain_in_literal;
        if (b != '\'') classes[b] |= plain_in_code;
    }
    return classes;
}();

struct Writer {
    Byte* next;

    void copy(Byte b) { *next++ = b; }

    void copy(std::span<const Byte> bytes) {
        std::memcpy(next, bytes.data(), bytes.size());
        next += bytes.size();
    }

    void escape(Byte b) {
        static constexpr char digits[] = "0123456789ABCDEF";
        next[0] = '\\';
        next[1] = 'x';
        next[2] = static_cast<Byte>(digits[b >> 4]);
        next[3] = static_cast<Byte>(digits[b & 0xF]);
        next += 4;
    }

    void escape_character(char16_t cp) {
        Byte utf8[4];
        std::size_t const n = codepage::encode_utf8(cp, utf8);
        for (std::size_t k = 0; k < n; ++k) escape(utf8[k]);
    }
};

Previous previous_after_identifier_byte(Previous previous, Byte b) {
    if (previous == Previous::prefix || previous == Previous::identifier) return Previous::identifier;
    return is_prefix_letter(b) ? Previous::prefix : Previous::identifier;
}

void scan_code_byte(ScanState& state, Byte b, Writer& out) {
    out.copy(b);
    switch (b) {
        case '"':
            switch (state.previous) {
                case Previous::apostrophe_backslash:  // '\"'
                    break;
                case Previous::apostrophe:
                    state.mode = Mode::quote_after_apostrophe;
                    break;
                case Previous::prefix:
                    state.mode = Mode::wide_literal;
                    break;
                default:
                    state.mode = Mode::narrow_literal;
            }
            state.previous = Previous::other;
            return;
        case '\'':
            state.previous = Previous::apostrophe;
            return;
        case '\\':
            state.previous =
                state.previous == Previous::apostrophe ? Previous::apostrophe_backslash : Previous::other;
            return;
        default:
            state.previous = is_identifier_byte(b) ? previous_after_identifier_byte(state.previous, b)
                                                   : Previous::other;
    }
}

void scan_literal_byte(ScanState& state, Byte b, Writer& out) {
    bool const narrow = state.mode == Mode::narrow_literal;
    if (state.backslash_pending) {
        state.backslash_pending = false;
    } else if (b == '"') {
        out.copy(b);
        state.mode = Mode::code;
        state.previous = Previous::other;
        state.after_escape = false;
        return;
    } else if (b == '\\') {
        out.copy(b);
        state.backslash_pending = true;
        state.after_escape = false;
        return;
    } else if (narrow && state.after_escape && is_hex_digit(b)) {
        out.escape(b);
        return;
    }
    if (narrow && is_half_width_katakana(b)) {
        out.escape_character(codepage::decode_single(b));
        state.after_escape = true;
        return;
    }
    out.copy(b);
    state.after_escape = false;
}

// One byte taken alone: any byte but the lead byte of a mapped pair.
void scan_byte(ScanState& state, Byte b, Writer& out) {
    if (b == '\n') {
        out.copy(b);
        state = ScanState{};
        return;
    }
    switch (state.mode) {
        case Mode::code:
            scan_code_byte(state, b, out);
            return;
        case Mode::quote_after_apostrophe:
            if (b == '\'') {  // '"'
                out.copy(b);
                state.mode = Mode::code;
                state.previous = Previous::other;
                return;
            }
            state.mode = Mode::narrow_literal;
            break;
        case Mode::narrow_literal:
        case Mode::wide_literal:
            break;
    }
    scan_literal_byte(state, b, out);
}

// A mapped two-byte character.
void scan_pair(ScanState& state, Byte lead, Byte trail, char16_t cp, Writer& out) {
    switch (state.mode) {
        case Mode::code:
            out.copy(lead);
            out.copy(trail);
            state.previous = Previous::identifier;
            return;
        case Mode::quote_after_apostrophe:
            state.mode = Mode::narrow_literal;
            [[fallthrough]];
        case Mode::narrow_literal:
            out.escape_character(cp);
            state.after_escape = true;
            state.backslash_pending = false;
            return;
        case Mode::wide_literal:
            out.copy(lead);
            out.copy(trail);
            state.backslash_pending = false;
            return;
    }
}

// Copies the run of plain bytes that starts at `in`, if the state lets it
// through unchanged, and returns its length.
std::size_t copy_plain_run(ScanState& state, std::span<const Byte> in, Writer& out) {
    std::uint8_t plain;
    if (state.mode == Mode::code) {
        plain = plain_in_code;
    } else if ((state.mode == Mode::wide_literal ||
                (state.mode == Mode::narrow_literal && !state.after_escape)) &&
               !state.backslash_pending) {
        plain = plain_in_literal;
    } else {
        return 0;
    }
    std::size_t n = 0;
    while (n < in.size() && (byte_classes[in[n]] & plain)) ++n;
    if (n < 2) return 0;  // a lone byte may be the second of an L"
    out.copy(in.first(n));
    if (state.mode == Mode::code) {
        Byte const b = in[n - 1];
        state.previous = !is_identifier_byte(b)          ? Previous::other
                         : is_identifier_byte(in[n - 2]) ? Previous::identifier
                         : is_prefix_letter(b)           ? Previous::prefix
                                                         : Previous::identifier;
    }
    return n;
}

}  // namespace

std::size_t escape_chunk(ScanState& state, std::span<const Byte> chunk, bool last,
                         std::span<Byte> out) {
    Writer writer{out.data()};
    std::size_t i = 0;
    std::size_t const n = chunk.size();
    if (state.pending_lead >= 0) {
        auto const lead = static_cast<Byte>(state.pending_lead);
        if (n == 0 && !last) return 0;
        state.pending_lead = -1;
        char16_t const cp = n > 0 ? decode_pair(lead, chunk[0]) : 0;
        if (cp != 0) {
            scan_pair(state, lead, chunk[0], cp, writer);
            i = 1;
        } else {
            scan_byte(state, lead, writer);
        }
    }
    while (i < n) {
        i += copy_plain_run(state, chunk.subspan(i), writer);
        if (i == n) break;
        Byte const b = chunk[i];
        if (is_lead_byte(b)) {
            if (i + 1 == n && !last) {
                state.pending_lead = b;
                break;
            }
            char16_t const cp = i + 1 < n ? decode_pair(b, chunk[i + 1]) : 0;
            if (cp != 0) {
                scan_pair(state, b, chunk[i + 1], cp, writer);
                i += 2;
                continue;
            }
        }
        scan_byte(state, b, writer);
        ++i;
    }
    return static_cast<std::size_t>(writer.next - out.data());
}

}  // namespace litconv
