#include "fast_runs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include <utility>

#include "codepage/cp932/byte_scan.hpp"
#include "codepage/cp932/cp932.hpp"

namespace litconv {

namespace {

using codepage::starts_character;

// Copies the bytes at the start of `in` that are ASCII and none of the
// stops to `out` and returns their count; up to 16 bytes past them are
// written as well.
template <Byte... stops>
std::size_t copy_plain(Stops<stops...>, std::span<const Byte> in, Byte* out) {
    // 16 bytes at a time while 16 are left, copied as they are checked.
    std::size_t n = codepage::copy_plain_run<stops...>(in.data(), in.data() + in.size(), out);
    // The simple form, for the rest.
    while (n < in.size() && in[n] < 0x80 && ((in[n] != stops) && ...)) {
        out[n] = in[n];
        ++n;
    }
    return n;
}

// Copies the bytes at the start of `in` up to the first of the stops,
// whatever the others are, and returns their count.
template <Byte... stops>
std::size_t copy_to_stop(Stops<stops...>, std::span<const Byte> in, Byte* out) {
    return codepage::copy_to_any<stops...>(in.data(), in.data() + in.size(), out);
}

// Where a run of `n` bytes from a character's start must end: if it reached
// the end of `in`, before a lead byte that the next chunk may complete.
std::size_t before_cut_lead(std::span<const Byte> in, std::size_t n) {
    bool const cut = n == in.size() && n > 0 && codepage::is_lead_byte(in[n - 1]) && starts_character(in, n - 1);
    return cut ? n - 1 : n;
}

// Copies the characters from 0x80 up at the start of `in`, pairs whole, so
// that a trail byte 5C is never read as a backslash, and returns their
// length; a lead byte at the end is left to the caller, whose next chunk
// may complete it.
std::size_t copy_high(std::span<const Byte> in, Byte* out) {
    std::size_t i = 0;
    while (i < in.size() && in[i] >= 0x80) {
        Byte const b = in[i];
        out[i] = b;
        if (!codepage::is_lead_byte(b)) {
            ++i;
            continue;
        }
        if (i + 1 == in.size()) break;
        out[i + 1] = in[i + 1];  // rewritten next if the lead byte stands alone
        i += codepage::next_char(in.subspan(i));
    }
    return i;
}

// Copies the code at the start of `in` that holds none of the CodeStops, by
// turns a run of ASCII and a run of characters from 0x80 up, and moves `lex`
// past it. Returns its length.
std::size_t copy_code(LexState& lex, std::span<const Byte> in, Byte* out) {
    std::size_t i = 0;
    while (true) {
        std::size_t const ascii = copy_plain(CodeStops{}, in.subspan(i), out + i);
        if (ascii != 0) pass_plain(lex, in.subspan(i, ascii), true);
        i += ascii;
        if (i == in.size() || in[i] < 0x80) return i;
        std::size_t const high = copy_high(in.subspan(i), out + i);
        if (high == 0) return i;
        pass_plain(lex, in.subspan(i, high), false);
        i += high;
    }
}

// Copies the inside of a wide string or a character literal up to a stop:
// its closer, a line end, or a backslash that is a character, not the
// second byte of a pair, unless it takes a plain_after_backslash.
template <typename S>
std::size_t copy_quoted(S stops, std::span<const Byte> in, Byte* out) {
    std::size_t n = 0;
    while (true) {
        n += copy_to_stop(stops, in.subspan(n), out + n);
        if (n == in.size() || in[n] != '\\') return before_cut_lead(in, n);
        std::size_t const length = !starts_character(in, n)                             ? 1  // the 5C of a pair
                                   : n + 1 < in.size() && plain_after_backslash(in[n + 1]) ? 2  // an escape
                                                                                         : 0;
        if (length == 0) return n;
        std::memcpy(out + n, in.data() + n, length);
        n += length;
    }
}

// Whether a splice ends at the line feed at in[lf]: a backslash right
// before it, or before a CR before it where a CR belongs to a splice.
bool splice_before(std::span<const Byte> in, std::size_t lf, bool cr_in_splice) {
    if (lf >= 1 && in[lf - 1] == '\\') return starts_character(in, lf - 1);
    return cr_in_splice && lf >= 2 && in[lf - 1] == '\r' && in[lf - 2] == '\\' && starts_character(in, lf - 2);
}

// Copies a line comment up to the line end that ends it, past those that a
// splice joins to the next line. At the end of `in` it stops before what
// the next chunk may make a splice of, or complete.
std::size_t copy_line_comment(std::span<const Byte> in, Byte* out, bool cr_in_splice) {
    std::size_t n = 0;
    while (true) {
        n += copy_to_stop(LineCommentStops{}, in.subspan(n), out + n);
        if (n == in.size()) break;
        if (!splice_before(in, n, cr_in_splice)) return n;
        out[n++] = '\n';
    }
    if (n >= 1 && in[n - 1] == '\\' && starts_character(in, n - 1)) return n - 1;
    if (cr_in_splice && n >= 2 && in[n - 1] == '\r' && in[n - 2] == '\\' && starts_character(in, n - 2))
        return n - 2;
    return before_cut_lead(in, n);
}

// Scans the inside of a narrow literal with no backslash pending, up to and
// including its closing quote, and returns the number of bytes scanned. It
// does what step would do for the bytes that make up nearly all of a
// literal (pairs, plain runs, hex digits after an escape, a backslash and
// the ASCII byte it takes) without going back to the main loop for each:
// the round trips cost more than the bytes. Anything else it leaves to
// step, as it does the last byte of the chunk, and the first pair it would
// escape unless `may_escape`: its escapes start holding the chain. (A
// parameter of the template, not asked at each pair.)
template <bool may_escape>
std::size_t scan_narrow_literal(ScanState& state, Utf8Tables const& table, std::span<const Byte> in, Writer& out) {
    Writer writer = out;  // in a register: through the reference it would be stored for every byte
    bool after_escape = state.after_escape;
    std::size_t i = 0;
    while (i + 1 < in.size()) {
        Byte const b = in[i];
        Byte const next = in[i + 1];
        if (b >= 0x80) {
            // A pair; anything else from 0x80 up is step's. (ASCII never
            // looks into the pair table, whose rows for it are all zero.)
            Utf8Char const c = table.pair[codepage::pair_index(b, next)];
            if (c.length == 0 || !may_escape) break;
            writer.escape_character(c);
            after_escape = true;
            i += 2;
        } else if (after_escape && is_hex_digit(b)) {
            writer.escape(b);
            ++i;
        } else if (b < 0x80 && !StringStops::contains(b)) {
            after_escape = false;
            std::size_t const n = copy_plain(StringStops{}, in.subspan(i), writer.next);
            writer.next += n;
            i += n;
        } else if (b == '\\' && plain_after_backslash(next)) {
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

}  // namespace

namespace {

// The run of the current mode alone.
std::size_t run_in_mode(ScanState& state, codepage::Utf8Tables const& table, std::span<const Byte> in, Writer& out) {
    LexState& lex = state.lex;
    if (!fast_run_applies(lex)) return 0;
    std::size_t n = 0;
    switch (lex.mode) {
        case Mode::code:
            n = copy_code(lex, in, out.next);
            break;
        case Mode::string:
            if (!lex.copied)
                return lex.chain == Chain::narrow_held || lex.encoding == Encoding::utf8
                           ? scan_narrow_literal<true>(state, table, in, out)
                           : scan_narrow_literal<false>(state, table, in, out);
            n = copy_quoted(StringStops{}, in, out.next);
            break;
        case Mode::character:
            n = copy_quoted(CharacterStops{}, in, out.next);
            break;
        case Mode::line_comment:
            n = copy_line_comment(in, out.next, state.cr_in_splice);
            break;
        // Neither stop is ever a trail byte: the bytes need not be read as characters.
        case Mode::block_comment:
            n = before_cut_lead(in, copy_to_stop(BlockCommentStops{}, in, out.next));
            break;
        case Mode::raw:
            n = before_cut_lead(in, copy_to_stop(RawStops{}, in, out.next));
            break;
        case Mode::header_name:
        case Mode::raw_delimiter:
            return 0;
    }
    if (n != 0) state.after_escape = false;
    out.next += n;
    return n;
}

}  // namespace

std::size_t scan_run(ScanState& state, codepage::Utf8Tables const& table, std::span<const Byte> in, Writer& out,
                     Holding holding) {
    if (state.held != Held::nothing || state.escape_held || holding == Holding::old_chain) return 0;
    std::size_t n = 0;
    while (true) {
        n += run_in_mode(state, table, in.subspan(n), out);
        // A stop that the lexer copies need not go back to the main loop:
        // the end of a comment or a wide literal, what follows a / in code.
        // In code only at a / or a quote, too: elsewhere the main loop may
        // sweep lines of ASCII from there, but Japanese in comments and
        // literals mostly stops a sweep begun at those.
        if (n == in.size()) return n;
        Byte const b = in[n];
        LexState const& lex_state = state.lex;
        // A backslash in code that no line end follows starts no splice:
        // it is a character of its own, as in the \fB of a manual page.
        bool const stray_backslash =
            b == '\\' && lex_state.mode == Mode::code && n + 1 < in.size() && !carries_state(b, in[n + 1]);
        bool const here = lex_state.mode != Mode::code || lex_state.slash || b == '/' || b == '"';
        // A literal that opens may tell a held chain's kind: step's to settle.
        bool const opens_literal = lex_state.mode == Mode::code && b == '"';
        if (!stray_backslash &&
            (!here || !copied_by_lex(lex_state, b) || (opens_literal && holding != Holding::nothing)))
            return n;
        lex(state.lex, b);
        out.copy(b);
        ++n;
        state.after_escape = false;
    }
}

namespace {

#ifdef CODEPAGE_HAVE_SSE2
inline __m128i load_16(Byte const* in) { return _mm_loadu_si128(reinterpret_cast<__m128i const*>(in)); }

inline __m128i equal_16(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

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

// The end of the comment that opens at in[0] (/*) if it closes on its line
// with nothing but ASCII in it, copied to `out`; else 0. Should the /* stand
// in a literal, the */ still ends whatever comment may open among the bytes
// skipped, unless it is the */ of a /*/ or its / starts a /*; and no raw
// literal opens there.
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
            // Its / may open a comment with a * after it, if the /* stood
            // in a literal: '/*' */* is no comment that closes.
            if (in[j - 1] == '/' || j + 2 == in.size() || in[j + 2] == '*') return 0;
            std::memcpy(out, in.data(), j + 2);
            return j + 2;
        }
    }
    return 0;
}

inline constexpr std::size_t window_width = 64;

// Bit k for in[k], of the 64 bytes at `in`, that reading a simple line
// stops at, in every part of it: quotes, the backslash, the / and * of
// comments, #, the line feed. None but the backslash is ever a trail byte,
// so they are found byte by byte.
std::uint64_t line_stops_64(Byte const* in) {
    return codepage::specials_in_64<'"', '\'', '\\', '/', '*', '#', '\n'>(in);
}

// A simple line is read 64 bytes at a time: each window is copied to where
// it goes as it is opened, and its stops are found from one mask, with no
// search whose length the branches must guess.
struct LineWindow {
    std::size_t base = 0;     // in[base] is bit 0
    std::uint64_t stops = 0;  // of in[base] to in[base + 63], or to the end of `in`
};

// Opens the window at in[from], copied to to + from.
LineWindow open_window(std::span<const Byte> in, std::size_t from, Byte* to) {
    std::size_t const left = in.size() - from;
    if (left >= window_width) {
        std::memcpy(to + from, in.data() + from, window_width);
        return {from, line_stops_64(in.data() + from)};
    }
    // The last bytes of `in`, looked at through a copy with room for 64.
    std::array<Byte, window_width> rest{};
    std::memcpy(rest.data(), in.data() + from, left);
    std::memcpy(to + from, in.data() + from, left);
    return {from, line_stops_64(rest.data()) & ((std::uint64_t{1} << left) - 1)};
}

// The next stop at or after in[from], opening the windows after this one
// as the search reaches them, so that every byte is copied; in.size() if
// there is none.
std::size_t next_stop(LineWindow& window, std::span<const Byte> in, std::size_t from, Byte* to) {
    while (true) {
        if (std::size_t const offset = from - window.base; offset < window_width) {
            if (std::uint64_t const ahead = window.stops >> offset; ahead != 0)
                return from + static_cast<std::size_t>(std::countr_zero(ahead));
            from = window.base + window_width;
        }
        std::size_t const next = window.base + window_width;
        if (next >= in.size()) return in.size();
        window = open_window(in, next, to);
    }
}

// The end of the literal that the quote `closer` at in[open] opens, past
// its closing quote, if it closes on its line; else 0. A backslash must be
// the second byte of a pair or escape a plain byte, as in the state
// machine's run through such a literal (copy_quoted).
template <Byte closer>
[[gnu::always_inline]] inline std::size_t close_literal(LineWindow& window, std::span<const Byte> in, std::size_t open, Byte* to) {
    std::size_t from = open + 1;
    while (true) {
        std::size_t const stop = next_stop(window, in, from, to);
        if (stop == in.size() || in[stop] == '\n') return 0;
        if (in[stop] == closer) return stop + 1;
        from = stop + 1;
        if (in[stop] != '\\' || !starts_character(in, stop)) continue;  // a byte of no meaning here, or a 5C of a pair
        if (from == in.size() || !plain_after_backslash(in[from])) return 0;
        ++from;  // an escape
    }
}

// A line that the sweep takes whole (simple_line): `taken` bytes of input,
// through its line feed, which give `written` bytes of output; taken is 0
// when the sweep stops before it.
struct LineCopy {
    std::size_t taken = 0;
    std::size_t written = 0;
    bool untold = false;  // it holds only blanks and comments, which pass on what went before: it was not asked for
};

// The narrow string literal whose quote opens at in[open], escaped into
// `out` as the state machine would (scan_narrow_literal); the length of
// the input it took through its closing quote, or 0 where the state machine
// must take it.
std::size_t escape_narrow_literal(Utf8Tables const& table, std::span<const Byte> in, std::size_t open, Writer& out) {
    // Lexed once: a quote with no word before it opens a narrow literal.
    static ScanState const opened = [] {
        ScanState state;
        lex(state.lex, '"');
        return state;
    }();
    ScanState literal = opened;
    out.copy('"');
    std::size_t const body = scan_narrow_literal<true>(literal, table, in.subspan(open + 1), out);
    return literal.lex.mode == Mode::code ? open + 1 + body : 0;
}

// The end of the block comment that opens at in[open] (/*), past its */,
// if it closes on its line; else 0.
std::size_t close_block_comment(LineWindow& window, std::span<const Byte> in, std::size_t open, Byte* to) {
    std::size_t from = open + 2;
    while (true) {
        std::size_t const stop = next_stop(window, in, from, to);
        if (stop + 1 >= in.size() || in[stop] == '\n') return 0;
        if (in[stop] == '*' && in[stop + 1] == '/') return stop + 2;
        from = stop + 1;
    }
}

// Whether a byte that begins a token in the code between a simple line's
// literals and comments is a punctuator (a / there is an operator).
inline constexpr std::array<bool, 256> punctuators = [] {
    std::array<bool, 256> bytes{};
    for (int b = 0; b < 256; ++b) bytes[b] = !is_identifier_byte(static_cast<Byte>(b)) && !is_blank(static_cast<Byte>(b));
    return bytes;
}();
constexpr bool is_punctuator(Byte b) { return punctuators[b]; }

// Whether the code line[from, to) of a simple line ends in a token that
// ends any chain of literals and any call, whatever came before it: a
// punctuator but a parenthesis, or a ( whose token before it in that code
// is no widening macro's name. Most code before a literal, a comment or
// the line end does, and then nothing before it need be read.
[[gnu::always_inline]] inline bool ends_all_before(std::span<const Byte> line, std::size_t from, std::size_t to) {
    to = before_blanks(line, from, to);
    if (to == from) return false;
    Byte const last = line[to - 1];
    if (!is_punctuator(last) || last == ')') return false;
    // From 0x40 up, it may be the second byte of a pair.
    if (last >= 0x40 && to >= 2 && line[to - 2] >= 0x80) return false;
    if (last != '(') return true;
    to = before_blanks(line, from, to - 1);
    return to > from && !may_end_widening_macro(line[to - 1]);
}

// Moves `context` past the code line[from, to) of a simple line, as the
// lexer would: what ends a literal's suffix, a chain of literals or a call
// is read token by token; after that only a call that it ends in matters.
// False where a character from 0x80 up stands where a token counts, which
// the state machine is left to read.
bool pass_gap(LexState& context, std::span<const Byte> line, std::size_t from, std::size_t to) {
    std::size_t i = from;
    if (std::exchange(context.after_literal, false))
        for (; i < to && is_identifier_byte(line[i]); ++i)
            if (line[i] >= 0x80) return false;
    while (context.chain != Chain::none || context.call != Call::none) {
        i = skip_blanks(line, i, to);
        if (i == to) return true;
        Byte const b = line[i];
        if (b >= 0x80) return false;
        if (is_identifier_byte(b)) {
            std::size_t j = i;
            while (j < to && line[j] < 0x80 && is_identifier_byte(line[j])) ++j;
            if (j < to && line[j] >= 0x80) return false;
            join_word(context, {reinterpret_cast<char const*>(line.data()) + i, j - i});
            i = j;
        } else {
            if (b == '(' || b == ')')
                join_parenthesis(context, b);
            else
                end_chain(context);
            ++i;
        }
    }
    join_call_at_end(context, line, i, to, false);
    return true;
}

// Takes the line at the start of `in` if it is a simple_line, copied to `out`
// with its narrow literals escaped, and moves `context` (the chain and call
// before it) to where the line leaves them. The context is asked of
// `tell_context` only where the line's first token may go on with it: a
// literal, a parenthesis or a widening macro's name. Most tokens end it,
// blanks and comments pass it on, and a line that stops the sweep before its
// first token, as one with a splice or a directive does, costs no look at the
// lines before it. Nor is anything read of the code before a literal, a
// comment or the line end where that code ends all before it
// (ends_all_before), as the ( of f("...") and the ; of a statement do. It
// writes up to 64 bytes past what it takes, also when it stops, but never
// past where in.size() bytes of input would go. It leaves to the state
// machine a line where a narrow literal that it escaped is joined to a wide
// one, or to the next line: only the state machine holds escapes back.
template <typename TellContext>
LineCopy copy_simple_line(Utf8Tables const& table, std::span<const Byte> in, Byte* out, LexState& context,
                          TellContext tell_context) {
    // Where in[j] goes: the line grows at each narrow literal escaped.
    Byte* to = out;
    LineWindow window = open_window(in, 0, to);
    std::size_t n = 0;    // where the search goes on
    std::size_t gap = 0;  // where the code since the last literal or comment begins
    bool escaped = false;  // a narrow literal escaped, whose chain has not ended
    bool told = false;     // the context, since the line's first token came
    // The code in[gap, end) comes before a literal or a character literal
    // (a token), or a comment or the line end.
    auto const tell = [&](std::size_t end, bool token) __attribute__((always_inline)) {
        if (told) return true;
        std::size_t const first = skip_blanks(in, gap, end);
        if (first == end && !token) return true;
        told = true;
        if (simple_line::continues_from_before(in.subspan(first))) return tell_context(context);
        context = LexState{};
        return true;
    };
    // Inlined: it runs at every literal and line end of the line.
    auto const pass = [&](std::size_t end, bool token) __attribute__((always_inline)) {
        if (ends_all_before(in, gap, end)) {
            told = true;
            context.after_literal = false;
            end_chain(context);
            escaped = false;
            return true;
        }
        if (!tell(end, token)) return false;
        if (!told) return true;  // blanks, before a comment or the line end
        // Most code after a literal or a comment goes on with a punctuator,
        // which ends the chain and any call unless it is a parenthesis.
        if (gap < end && is_punctuator(in[gap])) {
            Byte const b = in[gap++];
            context.after_literal = false;
            if (b == '(' || b == ')')
                join_parenthesis(context, b);
            else
                end_chain(context);
            escaped = escaped && context.chain != Chain::none;
        }
        bool const goes_on = context.after_literal || context.chain != Chain::none || context.call != Call::none;
        if (!goes_on && !may_end_in_call(in, gap, end)) return true;  // as most code is
        if (!pass_gap(context, in, gap, end)) return false;
        escaped = escaped && context.chain != Chain::none;
        return true;
    };
    while (true) {
        std::size_t const stop = next_stop(window, in, n, to);
        // The line must end in `in`, and a / be seen with what follows it.
        if (stop + 1 >= in.size()) return {};
        Byte const b = in[stop];
        if (b == '"') {
            if (simple_line::opens_raw(in, stop)) return {};
            // Most quotes follow a punctuator or a blank: no prefix.
            bool const after_word = stop > gap && is_identifier_byte(in[stop - 1]);
            std::string_view const word = after_word ? ascii_word_before(in, gap, stop, longest_prefix) : std::string_view();
            Prefix const prefix = word.empty() ? Prefix{false, Encoding::narrow, false} : prefix_of(word);
            if (!pass(prefix.is_prefix ? stop - word.size() : stop, true)) return {};
            bool const copied = join_literal(context, prefix.encoding);
            if (escaped && context.chain == Chain::wide) return {};
            context.after_literal = true;
            if (copied) {
                n = close_literal<'"'>(window, in, stop, to);
                if (n == 0) return {};
                gap = n;
                continue;
            }
            Writer writer{to + stop};
            n = escape_narrow_literal(table, in, stop, writer);
            if (n == 0) return {};
            escaped = escaped || (prefix.encoding == Encoding::narrow && writer.next != to + n);
            gap = n;
            // What follows the literal goes after its escapes: the rest of
            // this window is copied there again, and a window past the
            // literal's end opens at that end, not over the escapes.
            to = writer.next - n;
            if (n - window.base < window_width)
                std::memcpy(to + n, in.data() + n, std::min(window_width, in.size() - n));
            else
                window = open_window(in, n, to);
            continue;
        }
        if (b == '/') {
            Byte const next = in[stop + 1];
            if (next == '/') {
                if (!pass(stop, false)) return {};
                n = stop;
                break;
            }
            if (next == '*') {
                if (!pass(stop, false)) return {};
                n = close_block_comment(window, in, stop, to);
                if (n == 0) return {};
                gap = n;
                continue;
            }
            n = stop + 1;  // an operator, read with the code around it
            continue;
        }
        if (b == '\n') {
            if (!pass(stop, false) || escaped) return {};
            return {stop + 1, static_cast<std::size_t>(to - out) + stop + 1, !told};
        }
        if (b == '\'') {
            if (simple_line::may_separate_digits(in, stop) || !pass(stop, true)) return {};
            end_chain(context);
            escaped = false;
            n = close_literal<'\''>(window, in, stop, to);
            if (n == 0) return {};
            gap = n;
            continue;
        }
        if (b == '\\') {
            // A splice, unless the 5C is a pair's; else a character of its own.
            if (starts_character(in, stop) && carries_state(b, in[stop + 1])) return {};
        } else if (b != '*') {
            return {};  // a directive
        }
        n = stop + 1;
    }
    // A line comment, to the line end, unless a splice joins the next line
    // to it (where CR LF may be read as a line end too).
    if (escaped) return {};
    std::size_t lf = n + 1;
    do lf = next_stop(window, in, lf + 1, to);
    while (lf != in.size() && in[lf] != '\n');
    if (lf == in.size() || splice_before(in, lf, true)) return {};
    return {lf + 1, static_cast<std::size_t>(to - out) + lf + 1, !told};
}

// What the sweep knows of the chain and call at the start of a line, for
// the line that a simple line or the end of the sweep starts. Where a line
// may carry on what the one before it left (continues_from_before), that
// line is read again, and so on back to a line that does not, or to the
// last line taken whole or the start of the sweep, whose context is known.
// The lines in between hold only ASCII, copied by the kernel, or only
// blanks and comments, taken whole without their context (untold), and
// reading them again writes the same bytes where they already stand.
class LineContexts {
public:
    LineContexts(Utf8Tables const& table, LexState const& start, std::span<const Byte> in)
        : table_(table), in_(in) {
        // The start's line is read from the start on where nothing of it
        // before counts; a directive's ends it all.
        if (start.in_directive)
            first_line_ = FirstLine::directive;
        else if (start.word.size != 0 || start.directive != Directive::none)
            first_line_ = FirstLine::unknown;
    }

    // The line at in[at] was taken whole, and left `context`.
    void taken(std::size_t at, LexState const& context) {
        known_at_ = at;
        known_ = context;
        first_line_ = FirstLine::read;
        through_to_ = no_line;
    }
    // The lines in[from, to) were taken whole, untold.
    void passed_through(std::size_t from, std::size_t to) {
        if (from != through_to_) through_from_ = from;
        through_to_ = to;
    }
    std::size_t known_at() const { return known_at_; }

    // The chain and call at in[line], the start of a line after a line
    // feed the sweep passed, written at to + line; false where they cannot
    // be told.
    bool at(std::size_t line, Byte* to, LexState& context) const {
        context = LexState{};
        if (line == known_at_) {  // right after a line taken whole
            context = known_;
            return true;
        }
        // Most lines begin with a token that ends whatever went before.
        if (line < in_.size() && !simple_line::continues_from_before(in_.subspan(line))) return true;
        // Most of the others follow a line that ends afresh, blank lines aside.
        std::size_t end = line;
        while (end != known_at_) {
            if (end == through_to_) {
                end = through_from_;
                continue;
            }
            std::size_t const before = line_before(end);
            LineEnd const kind = line_end(in_.subspan(before, end - before));
            if (kind == LineEnd::afresh) return true;
            if (kind != LineEnd::blank) break;
            end = before;
        }
        if (end == known_at_ && (end != 0 || first_line_ != FirstLine::unknown)) {
            context = known_;
            return true;
        }
        std::size_t first = line;
        while (true) {
            if (first == known_at_) {
                context = known_;
                break;
            }
            std::size_t const before = line_before(first);
            first = before;
            if (before != 0 && !simple_line::continues_from_before(in_.subspan(before))) break;
        }
        for (std::size_t k = first; k < line;) {
            std::size_t const next =
                k == 0 && first_line_ != FirstLine::read ? first_line(context) : read(k, to, context);
            if (next == 0) return false;
            k = next;
        }
        return true;
    }

private:
    enum class FirstLine { read, directive, unknown };

    // The start of the line that ends at in[line] (just after its line
    // feed), or the last line taken whole where that is later.
    std::size_t line_before(std::size_t line) const {
        return std::max(known_at_, codepage::through_last_line_feed(in_.first(line - 1)));
    }

    // How the code `line` (through its line feed), which the kernel passed,
    // ends: most lines in a punctuator that ends every chain and call
    // (; { } ,); blank ones pass them on. Without a / on it, its last byte
    // is code or stands in a literal that the line end leaves open, which
    // ends its chain too.
    enum class LineEnd { afresh, blank, unknown };
    static LineEnd line_end(std::span<const Byte> line) {
        std::size_t const end = before_blanks(line, 0, line.size() - 1);  // before the line feed
        if (end == 0) return LineEnd::blank;
        Byte const b = line[end - 1];
        if (is_identifier_byte(b) || b == '"' || b == '\'' || b == '(' || b == ')' || b == '/' || b == '\\')
            return LineEnd::unknown;
        return std::memchr(line.data(), '/', end) == nullptr ? LineEnd::afresh : LineEnd::unknown;
    }

    // The start of the line after the line feed at or after in[k], or 0.
    std::size_t next_line(std::size_t k) const {
        auto const lf = std::find(in_.begin() + static_cast<std::ptrdiff_t>(k), in_.end(), '\n');
        return lf == in_.end() ? 0 : static_cast<std::size_t>(lf - in_.begin()) + 1;
    }

    // The sweep's first line, from where it started: the start of the
    // next, or 0 where it cannot be read.
    std::size_t first_line(LexState& context) const {
        if (first_line_ == FirstLine::unknown) return 0;
        context = LexState{};  // a directive's end ends all
        return next_line(0);
    }

    // The line at in[k], moving `context` past it: the start of the next,
    // or 0 where it cannot be read.
    std::size_t read(std::size_t k, Byte* to, LexState& context) const {
        std::size_t const first = skip_blanks(in_, k, in_.size());
        if (k != 0 && first < in_.size() && in_[first] == '#') {  // a directive, whose end ends all
            context = LexState{};
            return next_line(first);
        }
        LineCopy const copy =
            copy_simple_line(table_, in_.subspan(k), to + k, context, [](LexState const&) { return true; });
        return copy.taken == 0 ? 0 : k + copy.taken;
    }

    Utf8Tables const& table_;
    std::span<const Byte> in_;
    std::size_t known_at_ = 0;
    LexState known_;
    FirstLine first_line_ = FirstLine::read;
    // The untold lines since known_at_ that end the last ones taken.
    static constexpr std::size_t no_line = SIZE_MAX;
    std::size_t through_from_ = 0;
    std::size_t through_to_ = no_line;
};

}  // namespace

Sweep sweep_lines(codepage::CopyToPairFunction* kernel, Utf8Tables const& table, LexState const& start,
                  std::span<const Byte> in, Byte* out) {
    static constexpr codepage::PairStops stops{carrying_firsts, carrying_seconds_below};
    // Where in[j] goes: the output grows at each simple line with a narrow
    // literal in it.
    Byte* to = out;
    LineContexts contexts(table, start, in);
    LexState context;  // of each line taken, told by its copy
    std::size_t n = 0;
    while (true) {
        n += kernel(in.subspan(n), to + n, stops);
        // A pair that the next chunk may complete counts as one that carries.
        if (n + 1 >= in.size()) break;
        if (in[n] == '/' && in[n + 1] == '*') {
            if (std::size_t const comment = skip_comment_on_its_line(in.subspan(n), to + n); comment != 0) {
                n += comment;
                continue;
            }
        } else if (in[n] < 0x80 && !carries_state(in[n], in[n + 1])) {
            to[n] = in[n];
            ++n;
            continue;
        }
        // A line that a line feed of the sweep began starts in the state a
        // file starts in, but for the chain and call it may go on with.
        std::size_t const line = codepage::through_last_line_feed(in.first(n));
        if (line == 0) break;
        LineCopy const copy = copy_simple_line(table, in.subspan(line), to + line, context,
                                               [&](LexState& told) { return contexts.at(line, to, told); });
        if (copy.taken == 0) break;
        to += copy.written - copy.taken;
        n = line + copy.taken;
        if (copy.untold)
            contexts.passed_through(line, n);
        else
            contexts.taken(n, context);
    }
    // What was copied past the last line feed is copied again by the state
    // machine, which goes on with the chain and call the lines left; where
    // they cannot be told, from the last line taken whole.
    std::size_t swept = codepage::through_last_line_feed(in.first(n));
    if (swept != 0 && !contexts.at(swept, to, context)) {
        swept = contexts.known_at();
        contexts.at(swept, to, context);
    }
    return {swept, static_cast<std::size_t>(to - out) + swept, n, context.chain, context.call};
}

}  // namespace litconv
