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

// What a punctuator (any character but a blank, an identifier character or
// the start of a comment) does to a directive: what one waits for comes
// next, after blanks and comments at most. `before` is the directive as the
// word before the punctuator left it.
void after_punctuator(LexState& state, Directive before) {
    if (state.directive == before && (before == Directive::header || before == Directive::has_include))
        state.directive = Directive::condition;
    if (state.directive == Directive::name && before == Directive::name) state.directive = Directive::none;
    state.word = Word{};
    state.line_start = false;
}

void open_character(LexState& state) {
    state.mode = Mode::character;
    state.escape = false;
}

Role lex_quoted(LexState& state, Byte c, Byte closer);

Role lex_code(LexState& state, Byte c) {
    if (state.slash) {
        state.slash = false;
        // A comment is a blank: the line holds only blanks as before, and a
        // directive still waits for what it waited for.
        if (c == '/') {
            state.mode = Mode::line_comment;
            return Role::copy;
        }
        if (c == '*') {
            state.mode = Mode::block_comment;
            state.star = false;
            return Role::copy;
        }
        after_punctuator(state, state.directive);  // the / was an operator
    }
    if (state.apostrophe) {
        state.apostrophe = false;
        if (!continues_number_after_separator(c)) {
            // 9'" : the ' opens a character literal, and c is its first character.
            Directive const directive = state.directive;
            end_word(state);
            open_character(state);
            after_punctuator(state, directive);
            return lex_quoted(state, c, '\'');
        }
        state.word.push('\'');  // a digit separator: 1'000 and 0x7F'FF are one number
    }
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
    if (c == '\'' && state.word.is_number()) {
        state.apostrophe = true;  // the next character decides
        return Role::copy;
    }
    end_word(state);
    if (is_blank(c)) {
        state.word = Word{};
        return Role::copy;
    }
    if (c == '/') {
        state.slash = true;
        state.word = Word{};
        return Role::copy;
    }
    Directive const directive = state.directive;
    switch (c) {
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
            open_character(state);
            break;
        default:
            break;
    }
    after_punctuator(state, directive);
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
            if (state.star && c == '/') state.mode = Mode::code;
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
