#include "lexer.hpp"

namespace litconv {

namespace {

// The state a line starts in. Only a block comment or a raw literal goes on
// past a line end that no splice removed; a chain of literals and a call do
// too, unless the line was a directive, whose end ends them.
void start_line(LexState& state) {
    LexState const ended = state;
    state = LexState{};
    if (!ended.in_directive) {
        state.chain = ended.chain;
        state.call = ended.call;
    }
}

// A character that may stand in a raw literal's delimiter.
constexpr bool is_delimiter_character(Byte c) { return c > ' ' && c < 0x7F && c != '(' && c != ')' && c != '\\'; }

// The quote opens a string literal whose prefix is the word before it, or
// a narrow literal after a word of its own. A prefix stays one right after
// another literal ("a"L"b"), as C reads it.
void open_string(LexState& state) {
    Prefix const prefix = prefix_of(state.word.view());
    state.mode = prefix.raw ? Mode::raw_delimiter : Mode::string;
    state.encoding = prefix.encoding;
    state.copied = join_literal(state, prefix.encoding);
    if (prefix.raw) state.delimiter = Delimiter{};
}

void open_header_name(LexState& state, Byte closer) {
    state.mode = Mode::header_name;
    state.closer = closer;
}

// A non-identifier character `c` ends the word in code: what it was may
// start or steer a directive, and it is a token of its own unless it is a
// literal's suffix, or the prefix of one that `c` opens.
void end_word(LexState& state, Byte c) {
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
    if ((c == '"' && prefix_of(w.view()).is_prefix) || w.suffix) return;
    join_word(state, w.view());
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
    end_chain(state);
}

Role lex_quoted(LexState& state, Byte c, Byte closer);

Role lex_code(LexState& state, Byte c) {
    bool const after_literal = state.after_literal;
    state.after_literal = false;
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
        end_chain(state);  // the / was an operator
        after_punctuator(state, state.directive);
    }
    if (state.apostrophe) {
        state.apostrophe = false;
        if (!continues_number_after_separator(c)) {
            // 9'" : the ' opens a character literal, and c is its first character.
            Directive const directive = state.directive;
            end_word(state, '\'');
            open_character(state);
            after_punctuator(state, directive);
            return lex_quoted(state, c, '\'');
        }
        state.word.push('\'');  // a digit separator: 1'000 and 0x7F'FF are one number
    }
    if (is_identifier_byte(c)) {
        if (state.word.size == 0) state.word.suffix = after_literal;
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
    end_word(state, c);
    if (c == '\n') {
        start_line(state);
        return Role::copy;
    }
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
            if (state.line_start) {
                state.directive = Directive::name;
                state.in_directive = true;
            }
            end_chain(state);
            break;
        case '(':
            if (directive == Directive::has_include) state.directive = Directive::header;
            join_parenthesis(state, c);
            break;
        case ')':
            join_parenthesis(state, c);
            break;
        case '<':
            if (directive == Directive::header) open_header_name(state, '>');
            end_chain(state);
            break;
        case '"':
            if (directive == Directive::header) {
                open_header_name(state, '"');
                end_chain(state);
            } else {
                open_string(state);
            }
            break;
        case '\'':
            open_character(state);
            break;
        default:
            end_chain(state);
            break;
    }
    after_punctuator(state, directive);
    return Role::copy;
}

Role lex_quoted(LexState& state, Byte c, Byte closer) {
    bool const narrow = state.mode == Mode::string && !state.copied;
    if (c == '\n') {  // an unterminated literal ends with its line, and is no literal to join
        end_chain(state);
        start_line(state);
        return Role::copy;
    }
    if (state.escape) {
        state.escape = false;
        return narrow ? Role::narrow : Role::copy;
    }
    if (c == closer) {
        state.after_literal = state.mode == Mode::string;
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
        state.after_literal = true;
        return Role::copy;
    }
    // No character of the delimiter is a ), so a ) always starts afresh.
    if (c == ')')
        d.matched = 1;
    else if (d.matched >= 1 && d.matched <= d.size && c == static_cast<Byte>(d.text[d.matched - 1]))
        ++d.matched;
    else
        d.matched = 0;
    return state.copied ? Role::copy : Role::narrow_raw;
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
