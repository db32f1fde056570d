#include "lexer.hpp"

namespace litconv {

namespace {

// The state a line starts in. Only a block comment or a raw literal goes on
// past a line end that no splice removed.
void start_line(LexState& state) { state = LexState{}; }

// A character that may stand in a raw literal's delimiter.
constexpr bool is_delimiter_character(Byte c) { return c > ' ' && c < 0x7F && c != '(' && c != ')' && c != '\\'; }

// The word before a quote is the literal's prefix only if it is the whole
// identifier: xL"..." is narrow.
void open_string(LexState& state) {
    Word const& w = state.word;
    bool const wide_prefix = w.is("L") || w.is("u") || w.is("U");
    bool const narrow_raw = w.is("R") || w.is("u8R");
    bool const wide_raw = w.is("LR") || w.is("uR") || w.is("UR");
    if (narrow_raw || wide_raw) {
        state.mode = Mode::raw_delimiter;
        state.wide = wide_raw;
        state.u8 = w.is("u8R");
        state.delimiter = Delimiter{};
    } else {
        state.mode = Mode::string;
        state.wide = wide_prefix;
    }
}

void open_header_name(LexState& state, Byte closer) {
    state.mode = Mode::header_name;
    state.closer = closer;
}

// A non-identifier character ends the word in code: what it was may start
// or steer a directive.
void end_word(LexState& state) {
    Word const& w = state.word;
    if (w.size == 0) return;
    if (state.directive == Directive::name) {
        if (w.is("include") || w.is("include_next") || w.is("import"))
            state.directive = Directive::header;
        else if (w.is("if") || w.is("elif"))
            state.directive = Directive::condition;
        else
            state.directive = Directive::none;
    } else if (state.directive == Directive::condition && w.is("__has_include")) {
        state.directive = Directive::has_include;
    }
}

Role lex_code(LexState& state, Byte c) {
    bool const after_slash = state.slash;
    state.slash = false;
    if (c == '\n') {
        start_line(state);
        return Role::copy;
    }
    if (is_identifier_byte(c)) {
        state.word.push(c);
        state.line_start = false;
        if (state.directive == Directive::header || state.directive == Directive::has_include)
            state.directive = Directive::condition;
        return Role::copy;
    }
    // A digit separator: 1'000 and 0x7F'FF are one number.
    if (c == '\'' && state.word.is_number()) {
        state.word.push(c);
        return Role::copy;
    }
    end_word(state);
    if (is_blank(c)) {
        state.word = Word{};
        return Role::copy;
    }
    Directive const directive = state.directive;
    switch (c) {
        case '/':
            if (after_slash)
                state.mode = Mode::line_comment;
            else
                state.slash = true;
            break;
        case '*':
            if (after_slash) {
                state.mode = Mode::block_comment;
                state.star = false;
            }
            break;
        case '#':
            if (state.line_start) state.directive = Directive::name;
            break;
        case '(':
            if (directive == Directive::has_include) state.directive = Directive::header;
            break;
        case '<':
            if (directive == Directive::header) open_header_name(state, '>');
            break;
        case '"':
            if (directive == Directive::header)
                open_header_name(state, '"');
            else
                open_string(state);
            break;
        case '\'':
            state.mode = Mode::character;
            state.escape = false;
            break;
        default:
            break;
    }
    // What a directive waits for comes next, after blanks at most.
    if (state.directive == directive && (directive == Directive::header || directive == Directive::has_include))
        state.directive = Directive::condition;
    if (state.directive == Directive::name && directive == Directive::name) state.directive = Directive::none;
    state.word = Word{};
    state.line_start = false;
    return Role::copy;
}

Role lex_quoted(LexState& state, Byte c, Byte closer) {
    bool const narrow = state.mode == Mode::string && !state.wide;
    if (c == '\n') {  // an unterminated literal ends with its line
        start_line(state);
        return Role::copy;
    }
    if (state.escape) {
        state.escape = false;
        return narrow ? Role::narrow : Role::copy;
    }
    if (c == closer) {
        state.mode = Mode::code;
        return Role::copy;
    }
    if (c == '\\') {
        state.escape = true;
        return narrow ? Role::narrow_escape : Role::copy;
    }
    return narrow ? Role::narrow : Role::copy;
}

Role lex_raw_delimiter(LexState& state, Byte c) {
    Delimiter& d = state.delimiter;
    if (c == '(') {
        state.mode = Mode::raw;
        d.matched = 0;
        return Role::copy;
    }
    if (is_delimiter_character(c) && d.size < max_delimiter) {
        d.text[d.size++] = static_cast<char>(c);
        return Role::copy;
    }
    // No raw literal after all: what follows is read as an ordinary one.
    state.mode = Mode::string;
    state.escape = false;
    return lex_quoted(state, c, '"');
}

Role lex_raw(LexState& state, Byte c) {
    Delimiter& d = state.delimiter;
    if (d.matched == d.size + 1 && c == '"') {
        state.mode = Mode::code;
        return Role::copy;
    }
    // No character of the delimiter is a ), so a ) always starts afresh.
    if (c == ')')
        d.matched = 1;
    else if (d.matched >= 1 && d.matched <= d.size && c == static_cast<Byte>(d.text[d.matched - 1]))
        ++d.matched;
    else
        d.matched = 0;
    return state.wide ? Role::copy : Role::narrow_raw;
}

}  // namespace

Role lex(LexState& state, Byte c) {
    switch (state.mode) {
        case Mode::code:
            return lex_code(state, c);
        case Mode::line_comment:
            if (c == '\n') start_line(state);
            return Role::copy;
        case Mode::block_comment:
            if (state.star && c == '/') {
                state.mode = Mode::code;
                state.line_start = false;
            }
            state.star = c == '*';
            return Role::copy;
        case Mode::character:
            return lex_quoted(state, c, '\'');
        case Mode::string:
            return lex_quoted(state, c, '"');
        case Mode::header_name:
            if (c == '\n')
                start_line(state);
            else if (c == state.closer)
                state.mode = Mode::code;
            return Role::copy;
        case Mode::raw_delimiter:
            return lex_raw_delimiter(state, c);
        case Mode::raw:
            return lex_raw(state, c);
    }
    return Role::copy;
}

}  // namespace litconv
