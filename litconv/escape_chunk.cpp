#include "escape_chunk.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "codepage/byte_scan.hpp"
#include "codepage/cp932.hpp"

namespace litconv {

namespace {

using codepage::is_lead_byte;
using codepage::Utf8Char;

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
// without looking at each in turn. In code that is every ASCII byte but the
// double quote. The apostrophe and the backslash matter only to `previous`
// (see previous_after), and a line feed in code leaves the state a new line
// starts in, which differs from any state in code only in `previous`.
enum : std::uint8_t { plain_in_code = 1, plain_in_literal = 2 };

constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (int b = 0; b < 0x80; ++b) {
        if (b == '"') continue;
        classes[b] = plain_in_code;
        if (b != '\\' && b != '\n') classes[b] |= plain_in_literal;
    }
    return classes;
}();

// The escape \xHH of every byte, to be stored four bytes at once.
constexpr std::array<std::array<Byte, 4>, 256> hex_escapes = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<Byte, 4>, 256> escapes{};
    for (int b = 0; b < 256; ++b)
        escapes[b] = {'\\', 'x', static_cast<Byte>(digits[b >> 4]), static_cast<Byte>(digits[b & 0xF])};
    return escapes;
}();

// Writes to the output buffer, which has room for everything the chunk can
// give (max_escaped_length): after i input bytes at most 12 * i + 12 bytes
// are written, so with k bytes of input left 12 * k bytes stay free.
struct Writer {
    Byte* next;

    void copy(Byte b) { *next++ = b; }

    void escape(Byte b) {
        std::memcpy(next, hex_escapes[b].data(), 4);
        next += 4;
    }

    // Stores the escapes of all three bytes of `c`, whatever its length, and
    // keeps those of its own: no branch on the length. Takes 12 bytes of
    // room, which one input byte left guarantees.
    void escape_character(Utf8Char c) {
        // As one word the character stays in a register (the compiler keeps
        // a small array in memory), the first byte lowest.
        std::uint32_t word;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(&word, &c, sizeof word);
        else
            word = std::uint32_t{c.bytes[0]} | std::uint32_t{c.bytes[1]} << 8 | std::uint32_t{c.bytes[2]} << 16;
        std::memcpy(next, hex_escapes[word & 0xFF].data(), 4);
        std::memcpy(next + 4, hex_escapes[word >> 8 & 0xFF].data(), 4);
        std::memcpy(next + 8, hex_escapes[word >> 16 & 0xFF].data(), 4);
        next += 4 * std::size_t{c.length};
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
    bool const after_backslash = state.backslash_pending;
    if (after_backslash) {
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
        out.escape_character(codepage::cp932::utf8.single[b]);
        state.after_escape = true;
        return;
    }
    if (narrow && is_lead_byte(b) && !after_backslash) {
        // A lead byte that begins no mapped pair keeps its value as an
        // escape: copied, it would make a character of the backslash of an
        // escape that follows (81 5C is one), and the compiler would lose
        // that escape.
        out.escape(b);
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

// A mapped two-byte character, `c` its UTF-8 form.
void scan_pair(ScanState& state, Byte lead, Byte trail, Utf8Char c, Writer& out) {
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
            out.escape_character(c);
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

// What `previous` is after a run of plain bytes in code, of which `x` and
// `y` are the last two: what a byte makes of `previous` depends on no more
// than the byte before it.
Previous previous_after(Byte x, Byte y) {
    switch (y) {
        case '\'':
            return Previous::apostrophe;
        case '\\':
            return x == '\'' ? Previous::apostrophe_backslash : Previous::other;
        default:
            if (!is_identifier_byte(y)) return Previous::other;
            if (is_identifier_byte(x)) return Previous::identifier;
            return is_prefix_letter(y) ? Previous::prefix : Previous::identifier;
    }
}

// Copies the bytes of class `plain` at the start of `in` to `out` and
// returns their count; up to 16 bytes past them are written as well.
template <std::uint8_t plain>
std::size_t copy_plain(std::span<const Byte> in, Byte* out) {
    // 16 bytes at a time while 16 are left, copied as they are checked.
    Byte const* const end = in.data() + in.size();
    std::size_t n;
    if constexpr (plain == plain_in_code)
        n = codepage::copy_plain_run<'"'>(in.data(), end, out);
    else
        n = codepage::copy_plain_run<'"', '\\', '\n'>(in.data(), end, out);
    // The simple form, for the rest.
    while (n < in.size() && (byte_classes[in[n]] & plain)) {
        out[n] = in[n];
        ++n;
    }
    return n;
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
    std::size_t const n =
        plain == plain_in_code ? copy_plain<plain_in_code>(in, out.next) : copy_plain<plain_in_literal>(in, out.next);
    if (plain == plain_in_literal) {
        out.next += n;
        return n;
    }
    if (n < 2) return 0;  // a lone byte may be the second of an L"
    out.next += n;
    state.previous = previous_after(in[n - 2], in[n - 1]);
    return n;
}

// Scans the run of mapped pairs that starts at `in` (Japanese text in a
// comment or a literal) and returns its length. Pairs come one after the
// other in such text, so the loop's branches keep going the same way. The
// state and the writer are copied into locals the compiler can keep in
// registers: through the references they would be stored and loaded again
// for every pair.
std::size_t scan_pairs(ScanState& state, codepage::Utf8Tables const& table, std::span<const Byte> in,
                       Writer& out) {
    ScanState local = state;
    Writer writer = out;
    std::size_t i = 0;
    while (i + 1 < in.size()) {
        Utf8Char const c = table.pair[codepage::pair_index(in[i], in[i + 1])];
        if (c.length == 0) break;  // no lead byte, or no mapped pair
        scan_pair(local, in[i], in[i + 1], c, writer);
        i += 2;
    }
    state = local;
    out = writer;
    return i;
}

// Scans the inside of a narrow literal with no backslash pending, up to and
// including its closing quote, and returns the number of bytes scanned. It
// does what scan_pair and scan_byte would do for the bytes that make up
// nearly all of a literal (pairs, plain runs, hex digits after an escape,
// a backslash and the ASCII byte it takes) without going back to the main
// loop for each: the round trips cost more than the bytes. Anything else it
// leaves to them, as it does the last byte of the chunk.
std::size_t scan_narrow_literal(ScanState& state, codepage::Utf8Tables const& table, std::span<const Byte> in,
                                Writer& out) {
    Writer writer = out;  // in a register, as in scan_pairs
    bool after_escape = state.after_escape;
    std::size_t i = 0;
    while (i + 1 < in.size()) {
        Byte const b = in[i];
        Byte const next = in[i + 1];
        if (Utf8Char const c = table.pair[codepage::pair_index(b, next)]; c.length != 0) {
            writer.escape_character(c);
            after_escape = true;
            i += 2;
        } else if (after_escape && is_hex_digit(b)) {
            writer.escape(b);
            ++i;
        } else if (byte_classes[b] & plain_in_literal) {
            after_escape = false;
            std::size_t const n = copy_plain<plain_in_literal>(in.subspan(i), writer.next);
            writer.next += n;
            i += n;
        } else if (b == '\\' && next < 0x80 && next != '\n') {
            writer.copy(b);
            writer.copy(next);
            after_escape = false;
            i += 2;
        } else if (b == '"') {
            writer.copy(b);
            state.mode = Mode::code;
            state.previous = Previous::other;
            after_escape = false;
            ++i;
            break;
        } else {
            break;
        }
    }
    state.after_escape = after_escape;
    out = writer;
    return i;
}

// ASCII comes out as it is unless an escape was just written (a hex digit
// after one is escaped too), and a line feed leaves the state a new line
// starts in, whatever the state before. So from a point where no escape was
// just written, the ASCII up to the line of the next byte from 0x80 up can
// be copied in one sweep that looks for nothing else, as txtconv copies
// ASCII, and the state machine need not see it. Returns the number of bytes
// swept, through the last line feed; 0 if there is none before that byte,
// which is then seldom far: the sweep has cost little.
std::size_t sweep_ascii_lines(std::span<const Byte> in, Byte* out) {
    std::size_t const ascii = codepage::copy_ascii_run(in.data(), in.data() + in.size(), out);
    // What was copied past the last line feed is copied again by the state
    // machine.
    return codepage::through_last_line_feed(in.first(ascii));
}

}  // namespace

std::size_t escape_chunk(ScanState& saved_state, std::span<const Byte> chunk, bool last,
                         std::span<Byte> out) {
    // Work on a copy: as far as the compiler knows, the caller's state may
    // lie among the bytes written, and would have to be read again after
    // each of them.
    ScanState state = saved_state;
    Writer writer{out.data()};
    codepage::Utf8Tables const& table = codepage::cp932::utf8;
    std::size_t i = 0;
    std::size_t const n = chunk.size();
    if (state.pending_lead >= 0) {
        auto const lead = static_cast<Byte>(state.pending_lead);
        if (n == 0 && !last) return 0;  // nothing changes
        state.pending_lead = -1;
        Utf8Char const c = n > 0 ? table.pair[codepage::pair_index(lead, chunk[0])] : Utf8Char{};
        if (c.length != 0) {
            scan_pair(state, lead, chunk[0], c, writer);
            i = 1;
        } else {
            scan_byte(state, lead, writer);
        }
    }
    while (i < n) {
        if (state.mode == Mode::narrow_literal && !state.backslash_pending)
            i += scan_narrow_literal(state, table, chunk.subspan(i), writer);
        i += copy_plain_run(state, chunk.subspan(i), writer);
        if (i == n) break;
        Byte const b = chunk[i];
        if (is_lead_byte(b)) {
            if (std::size_t const pairs = scan_pairs(state, table, chunk.subspan(i), writer); pairs != 0) {
                i += pairs;
                continue;
            }
            if (i + 1 == n && !last) {  // the next chunk completes the pair
                state.pending_lead = b;
                break;
            }
        }
        // Literals are where the state machine spends most on lines of
        // ASCII, and it goes through a run in code quickly: a literal is
        // where to try a sweep.
        if (b == '"' && state.mode == Mode::code) {
            if (std::size_t const swept = sweep_ascii_lines(chunk.subspan(i), writer.next); swept != 0) {
                state = ScanState{};
                writer.next += swept;
                i += swept;
                continue;
            }
        }
        // A byte on its own: a special or high byte, or a lead byte that
        // begins no mapped pair.
        scan_byte(state, b, writer);
        ++i;
    }
    saved_state = state;
    return static_cast<std::size_t>(writer.next - out.data());
}

}  // namespace litconv
