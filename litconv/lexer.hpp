// Which token of C or C++ the scanner is in, as a compiler reads the source
// after it has joined spliced lines: code, a comment, a character literal, a
// string literal (narrow, wide or raw), or a header name. The lexer sees one
// character at a time and says what role it plays; what gets written for it
// is escape_chunk's business.
//
// Splices are not the lexer's: the caller removes every backslash that
// stands right before a line end (where splices_apply says they exist), and
// the lexer never sees it or that line end.
//
// It also follows what a Unicode build makes of the literals: the compiler
// joins adjacent string literals into one, and one wide literal makes the
// whole of it wide, its narrow pieces read from the source code page as
// every wide literal is; TEXT("...") and its kin paste an L onto a narrow
// literal. Such narrow literals are copied, as wide ones are (see Chain).
//
// The lexer also says where the escaper may go faster than one character at
// a time: which bytes stop a fast run in each mode, how the state moves past
// a run of plain bytes, and which pairs of bytes may carry a state past a
// line end.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "codepage/cp932/byte.hpp"
#include "codepage/cp932/byte_scan.hpp"
#include "codepage/cp932/cp932.hpp"

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

// What a string literal's prefix makes of its characters: the source code
// page's bytes (narrow, which litconv escapes), UTF-8 (u8, which it escapes
// too) or wide (L, u, U: the compiler converts them itself).
enum class Encoding : std::uint8_t { narrow, utf8, wide };

struct Prefix {
    bool is_prefix;  // the word is one: else it is an identifier of its own before a narrow literal
    Encoding encoding;
    bool raw;
};

// The word right before a quote. Only the whole identifier is a prefix:
// xL"..." is narrow.
constexpr Prefix prefix_of(std::string_view word) {
    if (word.empty() || word.size() > 3) return {false, Encoding::narrow, false};  // as most words are
    if (word == "L" || word == "u" || word == "U") return {true, Encoding::wide, false};
    if (word == "LR" || word == "uR" || word == "UR") return {true, Encoding::wide, true};
    if (word == "u8") return {true, Encoding::utf8, false};
    if (word == "u8R") return {true, Encoding::utf8, true};
    if (word == "R") return {true, Encoding::narrow, true};
    return {false, Encoding::narrow, false};
}

// The macros of the Windows headers that paste L onto their argument in a
// Unicode build (TEXT("a") is L"a"), and their C runtime kin. Each ends in
// T or E, which the fast paths look for, and begins with T or _.
constexpr bool may_end_widening_macro(Byte b) { return b == 'T' || b == 'E'; }

constexpr bool is_widening_macro(std::string_view word) {
    bool const ends_so = word.size() >= 2 && may_end_widening_macro(static_cast<Byte>(word.back()));
    if (!ends_so || (word[0] != 'T' && word[0] != '_')) return false;  // as most words are
    return word == "TEXT" || word == "__TEXT" || word == "_T" || word == "_TEXT" || word == "__T" ||
           word == "_CRT_WIDE" || word == "__CRT_WIDE";
}

// Where the last token stands among joined string literals: blanks,
// comments and line ends lie between the literals the compiler joins; any
// other token, and the end of a directive, ends the chain.
enum class Chain : std::uint8_t {
    none,         // the last token was no string literal
    narrow,       // a string literal, of a chain with no wide literal so far
    narrow_held,  // the same, and the escaper holds back its escapes until the chain's kind shows
    wide,         // a string literal of a chain with a wide one: its narrow literals are copied
};

// A call of a widening macro: its name, then (, then a narrow literal,
// which becomes wide, and the literals joined to it; the call is then a
// wide literal where it stands.
enum class Call : std::uint8_t {
    none,
    name,      // the macro's name was the last token
    open,      // and then (: the first token of the argument decides
    argument,  // its first token was a narrow literal, and only literals have followed
};

// The identifier or number that code is reading, as far as its first 13
// characters: enough to tell a prefix or a directive's name.
struct Word {
    std::array<char, 13> text{};
    std::uint8_t size = 0;  // stops growing at 255
    bool suffix = false;    // it stands right after a string literal: the literal's user-defined suffix
    bool high = false;      // it holds a character from 0x80 up

    constexpr void push(Byte c) {
        high = high || c >= 0x80;
        if (size < text.size()) text[size] = static_cast<char>(c);
        if (size < 255) ++size;
    }
    bool is(std::string_view name) const {
        return size == name.size() && std::string_view(text.data(), size) == name;
    }
    bool is_number() const { return size > 0 && text[0] >= '0' && text[0] <= '9'; }
    // Whether its end may still matter: a prefix, a widening macro's name
    // or a number, all short and ASCII.
    constexpr bool may_matter() const { return size != 0 && size <= 10 && !high; }
    // Its text, where it is short enough to be a name that matters.
    std::string_view view() const { return size <= text.size() ? std::string_view(text.data(), size) : std::string_view(); }
};

struct Delimiter {
    std::array<char, max_delimiter> text{};
    std::uint8_t size = 0;
    std::uint8_t matched = 0;  // in the body: how much of )delim was just read
};

struct LexState {
    Mode mode = Mode::code;
    Encoding encoding = Encoding::narrow;  // string, raw: the prefix's
    bool copied = false;      // string, raw: its characters are copied (a wide literal, or a narrow one a Unicode build widens)
    bool escape = false;      // string, character: a backslash takes the next character
    bool star = false;        // block comment: the last character was *
    bool slash = false;       // code: the last character was /, which may open a comment
    bool apostrophe = false;  // code: a ' after a number, a digit separator if a digit or letter follows
    bool line_start = true;   // code: only blanks and comments so far on this line
    bool in_directive = false;   // the line is a preprocessing directive
    bool after_literal = false;  // code: a string literal has just closed
    Byte closer = 0;          // header name: " or >
    Directive directive = Directive::none;
    Chain chain = Chain::none;
    Call call = Call::none;
    bool held_ended = false;  // a chain that the escaper held has ended since it last looked
    Word word;                // code: the identifier or number just read
    Delimiter delimiter;      // raw delimiter and body
};

// The chain rules, for the lexer and for every fast path that reads tokens
// without it. A token that is no literal ends the chain and any call.
constexpr void end_chain(LexState& state) {
    state.held_ended = state.held_ended || state.chain == Chain::narrow_held;
    state.chain = Chain::none;
    state.call = Call::none;
}

// A string literal opens: whether its characters are copied. A narrow one
// is copied where its chain is wide, or where it is the first token of a
// widening macro's argument; a u8 literal is UTF-8 whatever it is joined to.
constexpr bool join_literal(LexState& state, Encoding encoding) {
    if (state.call == Call::open && encoding == Encoding::narrow) {
        state.chain = Chain::wide;
        state.call = Call::argument;
        return true;
    }
    if (state.call == Call::name || state.call == Call::open) end_chain(state);  // no call after all
    if (encoding == Encoding::wide)
        state.chain = Chain::wide;
    else if (state.chain == Chain::none)
        state.chain = Chain::narrow;
    return encoding == Encoding::wide || (encoding == Encoding::narrow && state.chain == Chain::wide);
}

constexpr void join_parenthesis(LexState& state, Byte parenthesis) {
    if (parenthesis == '(' && state.call == Call::name)
        state.call = Call::open;
    else if (parenthesis == ')' && state.call == Call::argument)
        state.call = Call::none;  // the call is a wide literal: the chain goes on past it
    else
        end_chain(state);
}

// A whole identifier or number that is neither a literal's prefix nor its
// suffix. A widening macro's name keeps the chain before it: the call may
// turn out to be a literal joined to it.
constexpr void join_word(LexState& state, std::string_view word) {
    if (!is_widening_macro(word)) {
        end_chain(state);
        return;
    }
    if (state.call != Call::none) end_chain(state);
    state.call = Call::name;
}

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

// Looked up: the fast paths ask it of most bytes they look at one by one.
inline constexpr std::array<bool, 256> identifier_bytes = [] {
    std::array<bool, 256> bytes{};
    for (int b = 0; b < 256; ++b)
        bytes[b] = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' || b >= 0x80;
    return bytes;
}();

constexpr bool is_identifier_byte(Byte b) { return identifier_bytes[b]; }

constexpr bool is_blank(Byte b) { return b == ' ' || b == '\t' || b == '\r' || b == '\v' || b == '\f'; }

// The end of the blanks that begin bytes[from, to). Indentation, spaces and
// tabs, is passed at once (a CR, VT or FF after it a byte at a time).
inline std::size_t skip_blanks(std::span<const Byte> bytes, std::size_t from, std::size_t to) {
    if (from == to || !is_blank(bytes[from])) return from;  // as most tokens stand
    // Looked at as far as `bytes` goes: most runs are shorter than the 16 bytes read at once.
    from = std::min(to, from + codepage::spaces_and_tabs_length(bytes.subspan(from)));
    while (from < to && is_blank(bytes[from])) ++from;
    return from;
}

// The end of bytes[from, to) before the blanks that end it.
constexpr std::size_t before_blanks(std::span<const Byte> bytes, std::size_t from, std::size_t to) {
    while (to > from && is_blank(bytes[to - 1])) --to;
    return to;
}

// What may follow a digit separator: a digit or a nondigit of the basic
// character set. Any other character makes the ' open a character literal.
constexpr bool continues_number_after_separator(Byte b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_';
}

// Fast runs. Where fast_run_applies, a run of bytes that holds none of the
// mode's stop bytes (below) leaves the lexer as pass_plain says, whatever
// the bytes are, and yields the role copy for each, or narrow in a narrow
// literal. Bytes from 0x80 up stop no run, but in code and in a narrow
// literal they must be taken a character at a time (a trail byte may be a
// 5C); elsewhere a backslash stops a run only as a character, not as the
// second byte of a pair.
template <Byte... bytes>
struct Stops {
    static constexpr bool contains(Byte b) { return ((b == bytes) || ...); }
};

// In code: quotes and what starts a comment, a splice or a directive, and
// the line end, from where a sweep may take the lines that follow. A
// directive takes every character through the lexer.
using CodeStops = Stops<'"', '\'', '/', '\\', '#', '\n'>;
using StringStops = Stops<'"', '\\', '\n'>;
using CharacterStops = Stops<'\'', '\\', '\n'>;
// A line comment ends at a line end unless a splice stands before it.
using LineCommentStops = Stops<'\n'>;
// Neither * nor / is ever a trail byte, and a splice matters only between
// the two: only a * stops a block comment's run.
using BlockCommentStops = Stops<'*'>;
// The body of a wide raw literal, which holds no splices.
using RawStops = Stops<')'>;

// In a literal a backslash takes the character after it. Where that is an
// ASCII byte that can neither start a splice nor end the line, the two are
// plain: they leave the lexer where it was.
constexpr bool plain_after_backslash(Byte b) { return b < 0x80 && b != '\n' && b != '\r' && b != '\\'; }

constexpr bool fast_run_applies(LexState const& state) {
    switch (state.mode) {
        case Mode::code:
            return !state.slash && !state.apostrophe && state.directive == Directive::none;
        case Mode::string:
        case Mode::character:
            return !state.escape;
        case Mode::line_comment:
            return true;
        case Mode::block_comment:
            return !state.star;
        case Mode::raw:
            return state.copied && state.delimiter.matched == 0;
        case Mode::header_name:
        case Mode::raw_delimiter:
            return false;
    }
    return false;
}

// Whether lex gives `b` the role copy here, whatever it does to the state:
// an ASCII byte but a backslash (which may start a splice, the writer's
// business), anywhere but inside a narrow literal or a raw literal's
// delimiter (which may turn out to open an ordinary one). A fast run that
// stops at such a byte may lex it itself and go on.
constexpr bool copied_by_lex(LexState const& state, Byte b) {
    if (b >= 0x80 || b == '\\') return false;
    switch (state.mode) {
        case Mode::string:
        case Mode::raw:
            return state.copied;
        case Mode::raw_delimiter:
            return false;
        default:
            return true;
    }
}

// The ASCII word that ends at bytes[end], beginning at bytes[begin] at the
// earliest, which starts a token: empty where it is longer than `longest`
// (the longest name that matters, __CRT_WIDE, or prefix, u8R), or goes on
// into a character from 0x80 up. The byte before it may be the second byte
// of such a character even where it is no identifier byte as ASCII: the @
// of 81 40, the 5C of 95 5C. `bytes` starts with a character.
inline constexpr std::size_t longest_name = 10;
inline constexpr std::size_t longest_prefix = 3;
inline std::string_view ascii_word_before(std::span<const Byte> bytes, std::size_t begin, std::size_t end,
                                          std::size_t longest = longest_name) {
    std::size_t k = end;
    while (k > begin && end - k <= longest && bytes[k - 1] < 0x80 && is_identifier_byte(bytes[k - 1])) --k;
    if (end - k > longest || (k > begin && (bytes[k - 1] >= 0x80 || !codepage::starts_character(bytes, k - 1))))
        return {};
    return {reinterpret_cast<char const*>(bytes.data()) + k, end - k};
}

// Whether the code bytes[begin, end) may end in a widening macro's name,
// or its name and (: each name ends in T or E, so most code is told by a
// byte or two.
constexpr bool may_end_in_call(std::span<const Byte> bytes, std::size_t begin, std::size_t end) {
    end = before_blanks(bytes, begin, end);
    if (end > begin && bytes[end - 1] == '(') end = before_blanks(bytes, begin, end - 1);
    return end > begin && may_end_widening_macro(bytes[end - 1]);
}

// Moves `state`, where no chain, call or word goes on, past the code
// bytes[begin, end): of all its tokens only a widening macro's name at its
// end, or its name and (, go on. A word at the very end goes on into the
// next byte where `word_may_go_on`, and is left to the lexer: what goes on
// is then the name, or the name and (, before it, whose literal it may yet
// prefix (TEXT(R"(...)")).
inline void join_call_at_end(LexState& state, std::span<const Byte> bytes, std::size_t begin, std::size_t end,
                             bool word_may_go_on) {
    std::size_t last = end;
    if (word_may_go_on)
        while (last > begin && bytes[last - 1] < 0x80 && is_identifier_byte(bytes[last - 1])) --last;
    if (!may_end_in_call(bytes, begin, last)) return;
    last = before_blanks(bytes, begin, last);
    bool const parenthesis = bytes[last - 1] == '(';
    std::size_t const word_end = parenthesis ? before_blanks(bytes, begin, last - 1) : last;
    std::string_view const word = ascii_word_before(bytes, begin, word_end);
    if (!is_widening_macro(word)) return;
    join_word(state, word);
    if (parenthesis) join_parenthesis(state, '(');
}

// Whether nothing from before goes on into the next byte in code: no word
// whose end may matter, no literal just closed (whose suffix may follow),
// no chain and no call.
constexpr bool starts_afresh(LexState const& state) {
    return !state.word.may_matter() && !state.after_literal && state.chain == Chain::none &&
           state.call == Call::none;
}

// Whether the word that `state` is reading, where nothing else goes on,
// either goes on past the ASCII `run` (and is still read) or ends in it as
// no widening macro's name, after which nothing goes on either. A prefix
// ends at a quote, which no run holds.
inline bool word_ends_plainly(LexState const& state, std::span<const Byte> run) {
    Word const& w = state.word;
    if (state.after_literal || state.chain != Chain::none || state.call != Call::none || w.suffix) return false;
    std::size_t end = 0;
    while (end < run.size() && is_identifier_byte(run[end])) ++end;
    if (end == run.size()) return true;
    Byte const last = end != 0 ? run[end - 1] : static_cast<Byte>(w.text[w.size - 1]);
    if (!may_end_widening_macro(last) || w.size + end > longest_name) return true;
    std::array<char, longest_name> text{};
    std::copy_n(w.text.begin(), w.size, text.begin());
    std::copy_n(run.begin(), end, text.begin() + w.size);
    return !is_widening_macro({text.data(), w.size + end});
}

// Moves `state` past a run of plain bytes in code, as lex would: `ascii`
// says whether the run is all ASCII or all characters from 0x80 up. What
// goes on from before it is lexed a byte at a time, up to the token that
// ends it; after that only the word it ends in, a call it ends in and
// whether its line holds nothing but blanks change. In every other mode a
// plain run changes nothing.
[[gnu::always_inline]] inline void pass_plain(LexState& state, std::span<const Byte> run, bool ascii) {
    if (state.mode != Mode::code) return;
    if (!ascii) {  // any such character keeps the word from being a prefix or a name
        if (state.word.size == 0) state.word.suffix = state.after_literal;
        state.after_literal = false;
        state.word.push(non_ascii);
        state.line_start = false;
        return;
    }
    // A chain of narrow literals that holds nothing back is as good as
    // none: what joins it later is narrow or wide by itself.
    if (state.chain == Chain::narrow) state.chain = Chain::none;
    std::size_t i = 0;
    if (!state.word.may_matter() || !word_ends_plainly(state, run))
        while (i < run.size() && !starts_afresh(state)) lex(state, run[i++]);
    run = run.subspan(i);
    // The word at its end may go on into the next byte, and is left to the
    // lexer; a word whose end cannot matter may go on into the run.
    std::size_t word = run.size();
    while (word > 0 && is_identifier_byte(run[word - 1])) --word;
    if (may_end_in_call(run, 0, word)) {
        std::size_t first_token = 0;
        if (state.word.size != 0)
            while (first_token < word && is_identifier_byte(run[first_token])) ++first_token;
        join_call_at_end(state, run, first_token, word, false);
    }
    if (word != 0) state.word = Word{};
    for (Byte b : run.subspan(word)) state.word.push(b);
    std::size_t const blanks = before_blanks(run, 0, run.size());
    if (blanks != 0) state.line_start = run[blanks - 1] == '\n';
}

// The sweep. From code, a line end brings back the state a file starts in
// unless a block comment or a raw literal is open, or a splice joins the
// lines: the pairs /*, R", \ LF and \ CR. Their first bytes, and a bound
// below which all their second bytes lie, for a kernel that checks many
// bytes at once; carries_state tells the pairs themselves.
inline constexpr std::array<Byte, 3> carrying_firsts = {'/', 'R', '\\'};
inline constexpr Byte carrying_seconds_below = 0x2B;
static_assert('*' < carrying_seconds_below && '"' < carrying_seconds_below && '\n' < carrying_seconds_below &&
              '\r' < carrying_seconds_below);

constexpr bool carries_state(Byte a, Byte b) {
    return (a == '/' && b == '*') || (a == 'R' && b == '"') || (a == '\\' && (b == '\n' || b == '\r'));
}

// Simple lines, which a sweep takes whole: lines that start and end in the
// state a file starts in, and whose literals all close on them. Such a line
// holds string literals, wide ones, whose characters are copied, or narrow
// ones, which are escaped as on any other line, and character literals,
// copied; in none of them a backslash but one that escapes a plain byte or
// is the second byte of a pair. Outside them and its comments it holds no
// splice (a backslash may stand there, as a character of its own) and no
// # (a directive, whose header names are read apart), no raw literal
// opens, and no apostrophe may be a digit separator. A block comment on it
// closes on it, and a line comment ends it with no backslash before its
// line end, where a CR LF may be read as a line end too.
namespace simple_line {

// Whether the quote at line[quote] may open a raw literal: R", u8R", LR"...
constexpr bool opens_raw(std::span<const Byte> line, std::size_t quote) {
    return quote >= 1 && line[quote - 1] == 'R';
}

// Whether a line may carry on what the line before it left: a chain of
// literals or a call goes on through blanks, comments and line ends into a
// literal, a parenthesis or a widening macro's name. A line that begins
// with any other token ends them, whatever they were. `line` starts with a
// character; it need not end in this block.
inline bool continues_from_before(std::span<const Byte> line) {
    std::size_t const i = skip_blanks(line, 0, line.size());
    if (i == line.size()) return true;
    Byte const b = line[i];
    if (b == '"' || b == '(' || b == ')' || b == '/' || b == '\\' || b == '\n') return true;
    // Most lines begin with a word that can be neither a prefix (L u U R)
    // nor a widening macro's name (T _).
    if (b != 'L' && b != 'u' && b != 'U' && b != 'R' && b != 'T' && b != '_') return false;
    std::size_t j = i;
    while (j < line.size() && line[j] < 0x80 && is_identifier_byte(line[j])) ++j;
    if (j == i) return false;  // another punctuator, or an identifier that begins with a character from 0x80 up
    if (j == line.size()) return true;
    std::string_view const word(reinterpret_cast<char const*>(line.data()) + i, j - i);
    if (line[j] == '"') return prefix_of(word).is_prefix;
    return line[j] < 0x80 && is_widening_macro(word);
}

// Whether the apostrophe at line[apostrophe], in code, may follow a word,
// which a number makes it a digit separator of (u'x' opens a literal too).
// A character from 0x80 up before it counts, whatever its second byte.
inline bool may_separate_digits(std::span<const Byte> line, std::size_t apostrophe) {
    return apostrophe >= 1 &&
           (is_identifier_byte(line[apostrophe - 1]) || !codepage::starts_character(line, apostrophe - 1));
}

}  // namespace simple_line

// Whether a sweep may start at `b`, the next character: in code, where no
// / waits for what follows it, no chain of literals or call goes on, and
// unless `b` makes a raw literal of the word before it (R", u8R"...).
constexpr bool sweep_may_start(LexState const& state, Byte b) {
    Word const& w = state.word;
    bool const raw_prefix = w.size > 0 && w.size <= 3 && w.text[w.size - 1] == 'R';
    return state.mode == Mode::code && b < 0x80 && !state.slash && state.chain == Chain::none &&
           state.call == Call::none && !(b == '"' && raw_prefix);
}

}  // namespace litconv
