#include "escape_chunk.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <string_view>

#include "codepage/cp932/byte_scan.hpp"
#include "codepage/cp932/cp932.hpp"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

namespace litconv {

namespace {

using codepage::is_lead_byte;
using codepage::Utf8Char;
using codepage::Utf8Tables;

constexpr bool is_hex_digit(Byte b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f');
}

constexpr bool is_half_width_katakana(Byte b) { return b >= 0xA1 && b <= 0xDF; }

// The escape \xHH of every byte, to be stored four bytes at once.
constexpr std::array<std::array<Byte, 4>, 256> hex_escapes = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<Byte, 4>, 256> escapes{};
    for (int b = 0; b < 256; ++b)
        escapes[b] = {'\\', 'x', static_cast<Byte>(digits[b >> 4]), static_cast<Byte>(digits[b & 0xF])};
    return escapes;
}();

// One character of the input: a mapped pair, or one byte. (Whole words, not
// bytes: a struct of bytes put together and read back as one word costs a
// stall on every character.)
struct Char {
    Byte const* text;  // in the input
    std::size_t size;
    // What it becomes in a narrow literal, its UTF-8 form or the byte of a
    // stray lead byte; length 0 when it stays as it is (ASCII, 80, A0, FD-FF).
    Utf8Char escaped;

    // What the lexer sees of it.
    Byte lexeme() const { return size == 1 && text[0] < 0x80 ? text[0] : non_ascii; }
};

// The one or two bytes at `in` (a mapped pair if `pair` is its UTF-8 form).
// A lead byte that begins no mapped pair keeps its value as an escape in a
// narrow literal: copied, it would make a character of the backslash of an
// escape that follows (81 5C is one), and the compiler would lose that
// escape.
Char character(Utf8Tables const& table, Byte const* in, Utf8Char pair) {
    if (pair.length != 0) return {in, 2, pair};
    Byte const b = in[0];
    if (is_half_width_katakana(b)) return {in, 1, table.single[b]};
    if (is_lead_byte(b)) return {in, 1, {{b, 0, 0}, 1}};
    return {in, 1, {}};
}

constexpr Byte backslash_byte = '\\';
constexpr Byte cr_byte = '\r';

// Writes to the output buffer, which has room for everything the chunk can
// give (max_escaped_length): after i input bytes at most 36 * i + 36 bytes
// are written, so with k bytes of input left 36 * k bytes stay free.
struct Writer {
    Byte* next;

    void copy(Byte b) { *next++ = b; }

    void copy(Char const& c) {
        next[0] = c.text[0];
        if (c.size == 2) next[1] = c.text[1];
        next += c.size;
    }

    void copy(std::string_view text) {
        std::memcpy(next, text.data(), text.size());
        next += text.size();
    }

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

    // R"x(2\d+年)x" becomes R"x(2\d+)x" "\xE5\xB9\xB4" R"x()x": adjacent
    // literals make one array, so the raw literal keeps its value while its
    // characters become escapes, which a raw literal cannot hold.
    void close_raw(LexState const& lex) {
        copy(')');
        copy(delimiter(lex));
        copy(lex.u8 ? "\" u8\"" : "\" \"");
    }

    void reopen_raw(LexState const& lex) {
        copy(lex.u8 ? "\" u8R\"" : "\" R\"");
        copy(delimiter(lex));
        copy('(');
    }

    static std::string_view delimiter(LexState const& lex) {
        return {lex.delimiter.text.data(), lex.delimiter.size};
    }
};

void write(ScanState& state, Role role, Char const& c, Writer& out) {
    switch (role) {
        case Role::copy:
            // A line end after the backslash of an escape, where a raw
            // literal's delimiter failed: no splice there.
            if (state.escape_held) out.copy('\\');
            state.escape_held = false;
            out.copy(c);
            state.after_escape = false;
            return;
        case Role::narrow_escape:
            // Written with what it escapes: a compiler reads \表 as 表
            // alone, which its escapes keep without the backslash.
            state.escape_held = true;
            state.after_escape = false;
            return;
        case Role::narrow:
            if (c.escaped.length != 0) {
                out.escape_character(c.escaped);
                state.escape_held = false;
                state.after_escape = true;
                return;
            }
            if (state.escape_held) {
                out.copy('\\');
                state.escape_held = false;
            }
            if (state.after_escape && c.size == 1 && is_hex_digit(c.text[0])) {
                out.escape(c.text[0]);
                return;
            }
            out.copy(c);
            state.after_escape = false;
            return;
        case Role::narrow_raw:
            if (c.escaped.length != 0) {
                if (!state.raw_piece) out.close_raw(state.lex);
                state.raw_piece = true;
                out.escape_character(c.escaped);
                return;
            }
            if (state.raw_piece) out.reopen_raw(state.lex);
            state.raw_piece = false;
            out.copy(c);
            return;
    }
}

void lex_and_write(ScanState& state, Char const& c, Writer& out) {
    Role const role = lex(state.lex, c.lexeme());
    write(state, role, c, out);
}

// The held backslash (and CR) turned out to be no splice: they are
// characters like any other.
void release_held(ScanState& state, Writer& out) {
    Held const held = state.held;
    state.held = Held::nothing;
    lex_and_write(state, {&backslash_byte, 1, {}}, out);
    if (held == Held::backslash_cr) lex_and_write(state, {&cr_byte, 1, {}}, out);
}

// One character, splices first: a backslash right before a line end (LF or
// CR LF) joins the lines before any token is read, so the lexer sees
// neither, and they are copied.
void step(ScanState& state, Char const& c, Writer& out) {
    Byte const b = c.lexeme();
    if (state.held != Held::nothing) {
        if (b == '\n') {
            // The backslash of an escape goes before the splice: moved past
            // it, it would make a splice of its own with a line end that
            // follows.
            if (state.escape_held) out.copy('\\');
            state.escape_held = false;
            out.copy('\\');
            if (state.held == Held::backslash_cr) out.copy('\r');
            out.copy('\n');
            state.held = Held::nothing;
            return;
        }
        if (b == '\r' && state.held == Held::backslash) {
            state.held = Held::backslash_cr;
            return;
        }
        release_held(state, out);
    }
    if (b == '\\' && splices_apply(state.lex)) {
        state.held = Held::backslash;
        return;
    }
    lex_and_write(state, c, out);
}

// Copies the bytes at the start of `in` that are ASCII and none of
// `specials` to `out` and returns their count; up to 16 bytes past them are
// written as well.
template <Byte... specials>
std::size_t copy_plain(std::span<const Byte> in, Byte* out) {
    // 16 bytes at a time while 16 are left, copied as they are checked.
    std::size_t n = codepage::copy_plain_run<specials...>(in.data(), in.data() + in.size(), out);
    // The simple form, for the rest.
    while (n < in.size() && in[n] < 0x80 && ((in[n] != specials) && ...)) {
        out[n] = in[n];
        ++n;
    }
    return n;
}

// Copies the characters from 0x80 up at the start of `in`, pairs whole, so
// that a trail byte 5C is never read as a backslash, and returns their
// length; a lead byte at the end is left to the caller, whose next chunk
// may complete it.
std::size_t copy_high(Utf8Tables const& table, std::span<const Byte> in, Byte* out) {
    std::size_t i = 0;
    while (i < in.size() && in[i] >= 0x80) {
        std::size_t length = 1;
        if (is_lead_byte(in[i])) {
            if (i + 1 == in.size()) break;
            if (table.pair[codepage::pair_index(in[i], in[i + 1])].length != 0) length = 2;
        }
        std::memcpy(out + i, in.data() + i, length);
        i += length;
    }
    return i;
}

// Copies the text at the start of `in` that holds none of `specials`, by
// turns a run of ASCII and a run of characters from 0x80 up, and returns its
// length. `seen` learns of each run and whether it is ASCII.
template <Byte... specials, typename Seen>
std::size_t copy_runs(Utf8Tables const& table, std::span<const Byte> in, Byte* out, Seen seen) {
    std::size_t i = 0;
    while (true) {
        std::size_t const ascii = copy_plain<specials...>(in.subspan(i), out + i);
        if (ascii != 0) seen(in.subspan(i, ascii), true);
        i += ascii;
        if (i == in.size() || in[i] < 0x80) return i;
        std::size_t const high = copy_high(table, in.subspan(i), out + i);
        if (high == 0) return i;
        seen(in.subspan(i, high), false);
        i += high;
    }
}

// Copies the text at the start of `in` in which the lexer looks for nothing
// but `specials`, and returns its length: a comment, a wide or a character
// literal, the body of a wide raw literal.
template <Byte... specials>
std::size_t copy_text(Utf8Tables const& table, std::span<const Byte> in, Byte* out) {
    return copy_runs<specials...>(table, in, out, [](std::span<const Byte>, bool) {});
}

// Copies the code at the start of `in` that holds none of the bytes that
// start or end something in code (quotes, /, #, \), and brings `lex` to
// where it stands after it: only the identifier it ends in and whether it
// ends on a line of blanks can differ from before. Characters from 0x80 up
// are identifier characters. Returns its length.
std::size_t copy_code(LexState& lex, Utf8Tables const& table, std::span<const Byte> in, Byte* out) {
    return copy_runs<'"', '\'', '/', '\\', '#'>(table, in, out, [&lex](std::span<const Byte> run, bool ascii) {
        if (!ascii) {  // any such character keeps the word from being a prefix or a name
            lex.word.push(non_ascii);
            lex.line_start = false;
            return;
        }
        std::size_t word = run.size();
        while (word > 0 && is_identifier_byte(run[word - 1])) --word;
        if (word != 0) lex.word = Word{};
        for (Byte b : run.subspan(word)) lex.word.push(b);
        std::size_t blanks = run.size();
        while (blanks > 0 && is_blank(run[blanks - 1])) --blanks;
        if (blanks != 0) lex.line_start = run[blanks - 1] == '\n';
    });
}

// Scans the inside of a narrow literal with no backslash pending, up to and
// including its closing quote, and returns the number of bytes scanned. It
// does what step would do for the bytes that make up nearly all of a
// literal (pairs, plain runs, hex digits after an escape, a backslash and
// the ASCII byte it takes) without going back to the main loop for each:
// the round trips cost more than the bytes. Anything else it leaves to
// step, as it does the last byte of the chunk.
std::size_t scan_narrow_literal(ScanState& state, Utf8Tables const& table, std::span<const Byte> in,
                                Writer& out) {
    Writer writer = out;  // in a register: through the reference it would be stored for every byte
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
        } else if (b < 0x80 && b != '"' && b != '\\' && b != '\n') {
            after_escape = false;
            std::size_t const n = copy_plain<'"', '\\', '\n'>(in.subspan(i), writer.next);
            writer.next += n;
            i += n;
        } else if (b == '\\' && next < 0x80 && next != '\n' && next != '\r' && next != '\\') {
            // An escape whose backslash starts no splice.
            writer.copy(b);
            writer.copy(next);
            after_escape = false;
            i += 2;
        } else if (b == '"') {
            writer.copy(b);
            lex(state.lex, b);
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

// The run of the chunk at `in` that the fast path of the current state
// takes in one go, copied or escaped; 0 where each character must go
// through step.
std::size_t scan_run(ScanState& state, Utf8Tables const& table, std::span<const Byte> in, Writer& out) {
    if (state.held != Held::nothing || state.escape_held) return 0;
    LexState& lex = state.lex;
    std::size_t n = 0;
    switch (lex.mode) {
        case Mode::code:
            if (lex.slash || lex.directive != Directive::none) return 0;
            n = copy_code(lex, table, in, out.next);
            break;
        case Mode::string:
            if (lex.escape) return 0;
            if (!lex.wide) return scan_narrow_literal(state, table, in, out);
            n = copy_text<'"', '\\', '\n'>(table, in, out.next);
            break;
        case Mode::character:
            if (lex.escape) return 0;
            n = copy_text<'\'', '\\', '\n'>(table, in, out.next);
            break;
        case Mode::line_comment:
            n = copy_text<'\\', '\n'>(table, in, out.next);
            break;
        case Mode::block_comment:
            if (lex.star) return 0;
            n = copy_text<'*'>(table, in, out.next);
            break;
        case Mode::raw:
            if (!lex.wide || lex.delimiter.matched != 0) return 0;
            n = copy_text<')'>(table, in, out.next);
            break;
        case Mode::header_name:
        case Mode::raw_delimiter:
            return 0;
    }
    if (n != 0) state.after_escape = false;
    out.next += n;
    return n;
}

// Whether the bytes a, b may carry a state past a line end: a block comment
// (/*), a raw literal (R") or a splice (\ LF, \ CR LF).
constexpr bool carries_state(Byte a, Byte b) {
    return (a == '/' && b == '*') || (a == 'R' && b == '"') || (a == '\\' && (b == '\n' || b == '\r'));
}

constexpr bool may_carry_state(Byte b) { return b == '/' || b == 'R' || b == '\\'; }

#ifdef CODEPAGE_HAVE_SSE2
inline __m128i load_16(Byte const* in) { return _mm_loadu_si128(reinterpret_cast<__m128i const*>(in)); }

inline __m128i equal_16(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

// Bit k for byte k of the 16 at `in` that is from 0x80 up or starts a pair
// with the byte after it that may carry_state. Reads 17 bytes. The second
// bytes of those pairs (* " LF CR) are all below 0x2B: one comparison for
// all four takes less than four would, and the pair is checked later.
// Reading the seconds at in + 1 lines them up with their firsts without
// shifting masks.
inline unsigned stops_16(Byte const* in) {
    __m128i const v = load_16(in);
    __m128i const firsts = _mm_or_si128(_mm_or_si128(equal_16(v, '/'), equal_16(v, 'R')), equal_16(v, '\\'));
    __m128i const seconds = _mm_cmplt_epi8(load_16(in + 1), _mm_set1_epi8(0x2B));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_and_si128(firsts, seconds))));
}

// Bit k for byte k of the 16 at `in` that ends a comment's search along its
// line: a byte from 0x80 up, a line feed, */ or R". Reads 17 bytes.
inline unsigned comment_stops_16(Byte const* in) {
    __m128i const v = load_16(in);
    __m128i const next = load_16(in + 1);
    __m128i const pairs = _mm_or_si128(_mm_and_si128(equal_16(v, '*'), equal_16(next, '/')),
                                       _mm_and_si128(equal_16(v, 'R'), equal_16(next, '"')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(v, equal_16(v, '\n')), pairs)));
}
#endif

// Copies the ASCII at `in` to `out` up to a byte from 0x80 up or the first
// byte of what may be a pair that carries_state, and returns its length; up
// to 32 bytes past it are written as well.
std::size_t copy_ascii_to_stop_sse2(std::span<const Byte> in, Byte* out) {
    std::size_t n = 0;
#ifdef CODEPAGE_HAVE_SSE2
    // 32 bytes and the byte after them at a time: one branch for both halves.
    constexpr std::size_t step = 2 * codepage::scan_width;
    while (in.size() - n > step) {
        Byte const* const at = in.data() + n;
        std::memcpy(out + n, at, step);
        if (std::uint32_t const mask = stops_16(at) | stops_16(at + 16) << 16; mask != 0)
            return n + static_cast<std::size_t>(std::countr_zero(mask));
        n += step;
    }
#endif
    while (n < in.size() && in[n] < 0x80 && !may_carry_state(in[n])) {
        out[n] = in[n];
        ++n;
    }
    return n;
}

#if defined(CODEPAGE_HAVE_SSE2) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define LITCONV_AVX2_AT_RUN_TIME 1
// The same with AVX2, where the processor has it: the checks of stops_16,
// 32 bytes to an instruction, take a fifth off the scanner's time on ASCII
// C source (a few percent on C source with Japanese in it).
__attribute__((target("avx2"))) std::size_t copy_ascii_to_stop_avx2(std::span<const Byte> in, Byte* out) {
    std::size_t n = 0;
    constexpr std::size_t step = 32;
    while (in.size() - n > step) {
        Byte const* const at = in.data() + n;
        __m256i const v = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), v);
        __m256i const firsts = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('/')),
                                                                _mm256_cmpeq_epi8(v, _mm256_set1_epi8('R'))),
                                               _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
        __m256i const seconds = _mm256_cmpgt_epi8(_mm256_set1_epi8(0x2B),
                                                  _mm256_loadu_si256(reinterpret_cast<__m256i const*>(at + 1)));
        auto const mask = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_or_si256(v, _mm256_and_si256(firsts, seconds))));
        if (mask != 0) return n + static_cast<std::size_t>(std::countr_zero(mask));
        n += step;
    }
    return n + copy_ascii_to_stop_sse2(in.subspan(n), out + n);
}

bool has_avx2() {
    static bool const has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

std::size_t copy_ascii_to_stop(std::span<const Byte> in, Byte* out) {
#ifdef LITCONV_AVX2_AT_RUN_TIME
    if (has_avx2()) return copy_ascii_to_stop_avx2(in, out);
#endif
    return copy_ascii_to_stop_sse2(in, out);
}

// The end of the comment that opens at in[0] (/*) if it closes on its line
// with nothing but ASCII in it, copied to `out`; else 0. Should the /* stand
// in a literal, the */ still ends whatever comment may open among the bytes
// skipped, unless it is the */ of a /*/; and no raw literal opens there.
std::size_t skip_comment_on_its_line(std::span<const Byte> in, Byte* out) {
    std::size_t j = 2;
#ifdef CODEPAGE_HAVE_SSE2
    while (in.size() - j > codepage::scan_width) {
        if (unsigned const stops = comment_stops_16(in.data() + j); stops != 0) {
            j += static_cast<std::size_t>(std::countr_zero(stops));
            break;
        }
        j += codepage::scan_width;
    }
#endif
    for (; j + 1 < in.size(); ++j) {
        Byte const b = in[j];
        if (b >= 0x80 || b == '\n' || (b == 'R' && in[j + 1] == '"')) return 0;
        if (b == '*' && in[j + 1] == '/') {
            if (in[j - 1] == '/') return 0;
            std::memcpy(out, in.data(), j + 2);
            return j + 2;
        }
    }
    return 0;
}

// Copies the ASCII at `in` to `out` up to the first byte from 0x80 up or
// the first pair of bytes that carries_state, but past comments that close
// on their line, and returns its length; up to 32 bytes past it are written
// as well.
std::size_t copy_ascii_within_lines(std::span<const Byte> in, Byte* out) {
    std::size_t n = 0;
    while (true) {
        n += copy_ascii_to_stop(in.subspan(n), out + n);
        // A pair that the next chunk may complete counts as one that carries.
        if (n + 1 >= in.size() || in[n] >= 0x80) return n;
        if (in[n] == '/' && in[n + 1] == '*') {
            std::size_t const comment = skip_comment_on_its_line(in.subspan(n), out + n);
            if (comment == 0) return n;
            n += comment;
        } else if (carries_state(in[n], in[n + 1])) {
            return n;
        } else {
            out[n] = in[n];
            ++n;
        }
    }
}

// From a point in code where nothing is held back, ASCII comes out as it
// is, and a line feed brings back the state a file starts in unless a block
// comment or a raw literal is open or a splice joins the lines. So the
// ASCII up to the last line feed before the next byte from 0x80 up or the
// next pair of bytes that may open one of those can be copied in one sweep,
// as txtconv copies ASCII, and the state machine need not see it. Returns
// what was swept, through that line feed, and how far the search went.
struct Sweep {
    std::size_t swept;
    std::size_t searched;
};

Sweep sweep_ascii_lines(std::span<const Byte> in, Byte* out) {
    std::size_t const ascii = copy_ascii_within_lines(in, out);
    // What was copied past the last line feed is copied again by the state
    // machine.
    return {codepage::through_last_line_feed(in.first(ascii)), ascii};
}

// Whether a sweep may start at `b`: in code, where the run of code stopped,
// unless `b` carries a state with what came before it (R", /*).
bool may_sweep(ScanState const& state, Byte b) {
    LexState const& lex = state.lex;
    Word const& w = lex.word;
    bool const raw_prefix = w.size > 0 && w.size <= 3 && w.text[w.size - 1] == 'R';
    return lex.mode == Mode::code && state.held == Held::nothing && b < 0x80 && !lex.slash &&
           !(b == '"' && raw_prefix);
}

}  // namespace

std::size_t escape_chunk(ScanState& saved_state, std::span<const Byte> chunk, bool last,
                         std::span<Byte> out) {
    // Work on a copy: as far as the compiler knows, the caller's state may
    // lie among the bytes written, and would have to be read again after
    // each of them.
    ScanState state = saved_state;
    Writer writer{out.data()};
    Utf8Tables const& table = codepage::cp932::utf8;
    std::size_t i = 0;
    std::size_t const n = chunk.size();
    if (state.pending_lead >= 0) {
        auto const lead = static_cast<Byte>(state.pending_lead);
        if (n == 0 && !last) return 0;  // nothing changes
        state.pending_lead = -1;
        // The pair's bytes side by side, for the writer to copy.
        std::array<Byte, 2> const bytes{lead, n > 0 ? chunk[0] : Byte{0}};
        Utf8Char const c = n > 0 ? table.pair[codepage::pair_index(lead, chunk[0])] : Utf8Char{};
        step(state, character(table, bytes.data(), c), writer);
        if (c.length != 0) i = 1;
    }
    // A sweep that found no line feed finds none before where it stopped.
    std::size_t no_sweep_before = 0;
    while (i < n) {
        i += scan_run(state, table, chunk.subspan(i), writer);
        if (i == n) break;
        Byte const b = chunk[i];
        if (is_lead_byte(b)) {
            if (i + 1 == n && !last) {  // the next chunk completes the pair
                state.pending_lead = b;
                break;
            }
            if (i + 1 < n) {
                if (Utf8Char const c = table.pair[codepage::pair_index(b, chunk[i + 1])]; c.length != 0) {
                    step(state, character(table, chunk.data() + i, c), writer);
                    i += 2;
                    continue;
                }
            }
        }
        if (i >= no_sweep_before && may_sweep(state, b)) {
            Sweep const sweep = sweep_ascii_lines(chunk.subspan(i), writer.next);
            if (sweep.swept != 0) {
                state.lex = LexState{};
                state.after_escape = false;
                writer.next += sweep.swept;
                i += sweep.swept;
                continue;
            }
            no_sweep_before = i + sweep.searched;
        }
        step(state, character(table, chunk.data() + i, {}), writer);
        ++i;
    }
    if (last) {
        if (state.held != Held::nothing) release_held(state, writer);
        if (state.escape_held) writer.copy('\\');
        state.escape_held = false;
    }
    saved_state = state;
    return static_cast<std::size_t>(writer.next - out.data());
}

}  // namespace litconv
