#include "reference.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>
#include <utility>

#include "codepage/cp932/cp932.hpp"

namespace reference {

namespace {

using codepage::Byte;

Byte byte_at(std::string_view text, std::size_t i) { return static_cast<Byte>(text[i]); }

// Length of the character at `i`, by the code page's one rule.
std::size_t character_length(std::string_view text, std::size_t i) {
    return codepage::next_char({reinterpret_cast<const Byte*>(text.data()) + i, text.size() - i});
}

std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> result;
    for (std::size_t i = 0; i < text.size(); i += result.back().size())
        result.push_back(text.substr(i, character_length(text, i)));
    return result;
}

bool is_hex_digit(std::string_view c) {
    return c.size() == 1 && std::string_view("0123456789ABCDEFabcdef").find(c[0]) != std::string_view::npos;
}

// A mapped pair, or half-width katakana: what litconv spells in UTF-8.
bool is_escaped_character(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    if (c.size() == 2) return codepage::decode_pair(b, static_cast<Byte>(c[1])) != 0;
    return b >= 0xA1 && b <= 0xDF;
}

// A lead byte that begins no mapped pair, alone or with the byte it takes.
bool is_stray_lead_byte(std::string_view c) {
    return codepage::is_lead_byte(static_cast<Byte>(c[0])) && !is_escaped_character(c);
}

char32_t code_point(std::string_view c) {
    if (is_stray_lead_byte(c)) return codepage::replacement_character;
    Byte const b = static_cast<Byte>(c[0]);
    if (c.size() == 2) return codepage::decode_pair(b, static_cast<Byte>(c[1]));
    return codepage::decode_single(b);
}

void append_utf8(std::string& out, char32_t cp) {
    auto put = [&out](unsigned v) { out += static_cast<char>(v); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | cp >> 6);
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xE0 | cp >> 12);
        put(0x80 | (cp >> 6 & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

void append_escape(std::string& out, Byte b) {
    char buffer[5];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", b);
    out += buffer;
}

}  // namespace

namespace {

bool is_identifier_character(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
           b >= 0x80;
}

bool is_blank(std::string_view c) { return c == " " || c == "\t" || c == "\r" || c == "\v" || c == "\f"; }

bool is_delimiter_character(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    return c.size() == 1 && b > ' ' && b < 0x7F && c != "(" && c != ")" && c != "\\";
}

// The text as characters, read the way a compiler reads it: whole tokens at
// a time, looking ahead as far as it takes. Positions are indexes of
// characters; `next` steps over splices and marks them.
struct Reader {
    std::string_view text;
    std::vector<std::string_view> chars;
    std::vector<Piece> pieces;
    bool cr_in_splice = true;

    // The tokens in order, as far as joining literals goes: string
    // literals, with the characters they hold, words (identifiers and
    // numbers), parentheses, and anything else, the end of a directive
    // among them. Blanks, comments and the other line ends are no tokens.
    enum class Kind { literal, word, open, close, other };
    enum class Encoding { narrow, utf8, wide };
    struct Token {
        Kind kind;
        std::string word{};
        Encoding encoding = Encoding::narrow;
        std::size_t first = 0, end = 0;  // literal: its characters
        // The character at which litconv, reading one character at a time,
        // has seen the token: past what it needs to look at to tell it.
        std::size_t known = 0;
    };
    std::vector<Token> tokens;
    bool closed = false;  // whether the last quoted() met its closer

    void token(Kind kind, std::size_t known, std::string word = {}) {
        tokens.push_back({.kind = kind, .word = std::move(word), .known = known});
    }

    // Where the character at `k` is seen: a backslash that is no splice
    // waits for the character after it (and a CR for the one after that).
    std::size_t seen_at(std::size_t k) const {
        if (at(k) != "\\") return k;
        return cr_in_splice && at(k + 1) == "\r" ? k + 2 : k + 1;
    }

    std::size_t offset(std::size_t k) const {
        return k < chars.size() ? static_cast<std::size_t>(chars[k].data() - text.data()) : text.size();
    }

    // Marks the splices from `k` and returns the position after them.
    std::size_t skip_splices(std::size_t k) {
        while (std::size_t const n = splice_length(k)) {
            for (std::size_t s = k; s < k + n; ++s) pieces[s].context = Context::splice;
            k += n;
        }
        return k;
    }

    std::string_view at(std::size_t k) const { return k < chars.size() ? chars[k] : std::string_view(); }

    std::size_t splice_length(std::size_t k) const {
        if (at(k) != "\\") return 0;
        if (at(k + 1) == "\n") return 2;
        if (cr_in_splice && at(k + 1) == "\r" && at(k + 2) == "\n") return 3;
        return 0;
    }
    std::size_t next(std::size_t k) { return skip_splices(k + 1); }

    bool opens_block_comment(std::size_t k) { return at(k) == "/" && at(next(k)) == "*"; }

    // Past the block comment that opens at `k`, or to the end of the text.
    std::size_t block_comment(std::size_t k) {
        std::size_t end = next(next(k));
        while (end < chars.size() && !(chars[end] == "*" && at(next(end)) == "/")) end = next(end);
        return end < chars.size() ? next(next(end)) : end;
    }

    // Blanks and block comments, which are blanks too.
    std::size_t skip_blanks(std::size_t k) {
        while (k < chars.size() && (is_blank(chars[k]) || opens_block_comment(k)))
            k = is_blank(chars[k]) ? next(k) : block_comment(k);
        return k;
    }

    // From `k` up to the end of its line, the line end left to the caller.
    std::size_t end_of_line(std::size_t k) {
        while (k < chars.size() && chars[k] != "\n") k = next(k);
        return k;
    }

    // The body of a quoted literal or header name from `k` (after its
    // opening quote) through its closer; it ends before a line end.
    std::size_t quoted(std::size_t k, std::string_view closer, bool narrow, bool escapes) {
        bool escaped = false;
        closed = false;
        for (; k < chars.size() && chars[k] != "\n"; k = next(k)) {
            if (!escaped && chars[k] == closer) {
                closed = true;
                return next(k);
            }
            bool const backslash = escapes && !escaped && chars[k] == "\\";
            if (narrow) pieces[k] = {.text = chars[k], .context = Context::narrow, .escape_backslash = backslash};
            escaped = backslash;
        }
        return k;
    }

    // A raw literal from `k`, the character after its opening quote. Inside
    // its quotes there are no splices.
    std::size_t raw(std::size_t k, bool narrow, bool u8) {
        std::size_t const start = k;
        while (k < chars.size() && k - start < 16 && is_delimiter_character(chars[k])) ++k;
        if (at(k) != "(") return quoted(k, "\"", narrow, true);  // no raw literal after all
        closed = true;  // no line end ends it
        std::string_view const delimiter(chars[start].data(), k - start);
        std::size_t end = k + 1;
        auto closes = [&](std::size_t p) {
            if (at(p) != ")") return false;
            for (std::size_t d = 0; d < delimiter.size(); ++d)
                if (at(p + 1 + d) != delimiter.substr(d, 1)) return false;
            return at(p + 1 + delimiter.size()) == "\"";
        };
        while (end < chars.size() && !closes(end)) ++end;
        std::size_t const stop = std::min(chars.size(), end + 1 + delimiter.size());
        if (narrow)
            for (std::size_t p = k + 1; p < stop; ++p) pieces[p] = {.text = chars[p], .context = Context::narrow_raw, .delimiter = delimiter, .u8 = u8};
        return skip_splices(std::min(chars.size(), stop + 1));
    }

    // A string literal whose prefix is `prefix` ("" for none), whose opening
    // quote is at `quote`. One that its line leaves open is joined all the
    // same, and its line end ends the chain. A raw literal's delimiter
    // starts right after the quote: there are no splices in it.
    std::size_t literal(std::size_t quote, std::string_view prefix) {
        bool const raw_literal = prefix.ends_with("R");
        Encoding const encoding = prefix.starts_with("u8") ? Encoding::utf8
                                  : prefix.empty() || prefix == "R" ? Encoding::narrow
                                                                    : Encoding::wide;
        bool const narrow = encoding != Encoding::wide;
        std::size_t const k = raw_literal ? quote + 1 : next(quote);
        Token t{.kind = Kind::literal, .encoding = encoding, .first = k, .known = quote};
        std::size_t const end = raw_literal ? raw(k, narrow, encoding == Encoding::utf8) : quoted(k, "\"", narrow, true);
        t.end = end;
        tokens.push_back(t);
        if (!closed && at(end) == "\n") token(Kind::other, end);
        return end;
    }

    // A header name if one starts at `k` after blanks; else where it stood.
    std::size_t header_name(std::size_t k) {
        std::size_t const start = skip_blanks(k);
        if (at(start) != "\"" && at(start) != "<") return k;
        token(Kind::other, start);
        return quoted(next(start), at(start) == "<" ? ">" : "\"", false, false);
    }

    // An identifier or number from `k`, and the literal it prefixes. Right
    // after a string literal it is the literal's suffix, unless it is the
    // prefix of another one.
    std::size_t word(std::size_t k, bool condition, bool suffix) {
        std::string name;
        bool const number = at(k)[0] >= '0' && at(k)[0] <= '9';
        // A digit separator needs a digit or a letter after it.
        auto separator = [&](std::size_t p) {
            std::string_view const after = at(next(p));
            return number && chars[p] == "'" && after.size() == 1 &&
                   (std::isalnum(static_cast<unsigned char>(after[0])) || after == "_");
        };
        for (; k < chars.size() && (is_identifier_character(chars[k]) || separator(k)); k = next(k))
            name += chars[k];
        bool const prefix = name == "R" || name == "u8R" || name == "LR" || name == "uR" || name == "UR" ||
                            name == "L" || name == "u" || name == "U" || name == "u8";
        if (at(k) == "\"" && prefix) return literal(k, name);
        // A number's end shows only after the ' that might separate digits.
        if (!suffix) token(Kind::word, seen_at(number && at(k) == "'" ? next(k) : k), name);
        if (at(k) == "'") {
            token(Kind::other, k);
            return quoted(next(k), "'", false, true);
        }
        if (at(k) == "\"") return literal(k, "");
        if (condition && name == "__has_include") {
            std::size_t const paren = skip_blanks(k);
            if (at(paren) == "(") return header_name(next(paren));
        }
        return k;
    }

    // A directive from `k`, just after its #: where to go on, and whether
    // the rest of the line is a condition, where __has_include may stand.
    std::pair<std::size_t, bool> directive(std::size_t k) {
        std::size_t const start = skip_blanks(k);
        std::string name;
        std::size_t end = start;
        for (; end < chars.size() && is_identifier_character(chars[end]); end = next(end)) name += chars[end];
        if (name == "include" || name == "include_next" || name == "import") return {header_name(end), true};
        if (name == "if" || name == "elif") return {end, true};
        return {start, false};
    }

    // Tokens from `k` to the end of the line, or of the text: where the
    // line end is, or past the block comment or raw literal that spans it.
    std::size_t line(std::size_t k) {
        bool line_start = true;
        bool condition = false;
        bool directive = false;
        bool after_literal = false;
        while (k < chars.size() && chars[k] != "\n") {
            std::string_view const c = chars[k];
            std::string_view const after = at(next(k));
            bool const suffix = std::exchange(after_literal, false);
            if (is_blank(c)) {
                k = next(k);
                continue;
            }
            if (c == "/" && after == "/") {
                k = end_of_line(k);
                break;
            }
            if (c == "/" && after == "*") {
                k = block_comment(k);  // a blank: the line may still start a directive
                continue;
            }
            if (c == "#" && line_start) {
                directive = true;
                token(Kind::other, k);
                std::tie(k, condition) = this->directive(next(k));
            } else if (is_identifier_character(c)) {
                std::size_t const literals = tokens.size();
                k = word(k, condition, suffix);
                after_literal = tokens.size() > literals && tokens.back().kind == Kind::literal;
            } else if (c == "\"") {
                k = literal(k, "");
                after_literal = tokens.back().kind == Kind::literal;
            } else if (c == "'") {
                token(Kind::other, k);
                k = quoted(next(k), "'", false, true);
            } else {
                Kind const kind = c == "(" ? Kind::open : c == ")" ? Kind::close : Kind::other;
                // A slash waits for what follows, which may open a comment.
                token(kind, kind != Kind::other ? k : seen_at(c == "/" ? next(k) : k));
                k = next(k);
            }
            line_start = false;
        }
        if (directive) token(Kind::other, k);  // its end
        return k;
    }

    static bool is_widening_macro(Token const& t) {
        static constexpr std::string_view macros[] = {"TEXT", "__TEXT", "_T", "_TEXT", "__T", "_CRT_WIDE", "__CRT_WIDE"};
        return t.kind == Kind::word && std::find(std::begin(macros), std::end(macros), t.word) != std::end(macros);
    }

    void copy_literal(Token const& t) {
        for (std::size_t p = t.first; p < t.end && p < pieces.size(); ++p)
            pieces[p] = {.text = chars[p], .context = pieces[p].context == Context::splice ? Context::splice : Context::copied};
    }

    // What a Unicode build makes of the tokens: a widening macro, ( and a
    // narrow literal make that literal wide and vanish, and so does the )
    // that ends the literals after it; the literals that stand next to one
    // another then make one, which is wide if one of them is. The narrow
    // characters of a wide one are copied. So are those of a narrow one
    // whose kind shows more than `max_held` bytes after its first escaped
    // character: litconv holds no more to tell it.
    void join_literals(std::size_t max_held) {
        std::vector<std::size_t> joined;  // indexes of tokens
        std::vector<bool> widened;
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            bool const call = is_widening_macro(tokens[t]) && t + 2 < tokens.size() &&
                              tokens[t + 1].kind == Kind::open && tokens[t + 2].kind == Kind::literal &&
                              tokens[t + 2].encoding == Encoding::narrow;
            if (!call) {
                joined.push_back(t);
                widened.push_back(false);
                continue;
            }
            std::size_t u = t + 2;
            for (; u < tokens.size() && tokens[u].kind == Kind::literal; ++u) {
                joined.push_back(u);
                widened.push_back(u == t + 2);
            }
            t = u < tokens.size() && tokens[u].kind == Kind::close ? u : u - 1;
        }
        auto is_literal = [&](std::size_t j) { return tokens[joined[j]].kind == Kind::literal; };
        for (std::size_t t = 0; t < joined.size();) {
            std::size_t u = t;
            bool wide = false;
            for (; u < joined.size() && is_literal(u); ++u)
                wide = wide || widened[u] || tokens[joined[u]].encoding == Encoding::wide;
            bool const copied = wide || (u > t && told_late(joined[t], joined[u - 1], max_held));
            for (std::size_t v = t; v < u; ++v)
                if (copied && tokens[joined[v]].encoding == Encoding::narrow) copy_literal(tokens[joined[v]]);
            t = u == t ? u + 1 : u;
        }
    }

    // Whether the narrow chain of tokens[first..last] shows its kind more
    // than `max_held` bytes after its first escaped character: where the
    // token after it is seen, or the one after a widening macro and its (.
    bool told_late(std::size_t first, std::size_t last, std::size_t max_held) const {
        std::size_t escaped = chars.size();
        for (std::size_t t = first; t <= last && escaped == chars.size(); ++t)
            if (tokens[t].encoding == Encoding::narrow)
                for (std::size_t p = tokens[t].first; p < tokens[t].end && p < pieces.size(); ++p)
                    if (pieces[p].context != Context::splice && pieces[p].context != Context::copied &&
                        (is_escaped_character(chars[p]) || is_stray_lead_byte(chars[p]))) {
                        escaped = p;
                        break;
                    }
        if (escaped == chars.size()) return false;
        std::size_t after = last + 1;
        if (after < tokens.size() && is_widening_macro(tokens[after])) {
            ++after;
            if (after < tokens.size() && tokens[after].kind == Kind::open) ++after;
        }
        std::size_t const told = after < tokens.size() ? tokens[after].known : chars.size();
        return offset(told) - offset(escaped) > max_held;
    }
};

}  // namespace

std::vector<Piece> scan(std::string_view text, bool cr_in_splice) {
    Reader reader;
    reader.text = text;
    reader.cr_in_splice = cr_in_splice;
    reader.chars = characters(text);
    for (std::string_view c : reader.chars) reader.pieces.push_back({.text = c, .context = Context::copied});
    for (std::size_t k = reader.skip_splices(0); k < reader.chars.size();)
        k = reader.skip_splices(reader.line(k) + 1);
    reader.join_literals(max_held);
    return reader.pieces;
}

std::string escape(std::string_view text, bool cr_in_splice) {
    std::string out;
    bool after_escape = false;
    bool backslash = false;  // of an escape, written with what it escapes
    bool raw_piece = false;
    for (Piece const& p : scan(text, cr_in_splice)) {
        std::string_view const c = p.text;
        bool const escaped = is_escaped_character(c) || is_stray_lead_byte(c);
        std::string utf8(is_stray_lead_byte(c) ? c : "");  // a stray lead byte keeps its value
        if (escaped && utf8.empty()) append_utf8(utf8, code_point(c));
        switch (p.context) {
            case Context::splice:
                if (backslash) out += '\\';
                backslash = false;
                out += c;
                continue;
            case Context::narrow_raw:
                if (escaped && !raw_piece) out.append(")").append(p.delimiter).append(p.u8 ? "\" u8\"" : "\" \"");
                if (!escaped && raw_piece) out.append(p.u8 ? "\" u8R\"" : "\" R\"").append(p.delimiter).append("(");
                raw_piece = escaped;
                break;
            case Context::narrow:
                if (p.escape_backslash) {
                    backslash = true;
                    after_escape = false;
                    continue;
                }
                break;
            case Context::copied:
                break;
        }
        bool const narrow = p.context != Context::copied;
        if (backslash && !(narrow && escaped)) out += '\\';
        backslash = false;
        if (narrow && escaped) {
            for (char u : utf8) append_escape(out, static_cast<Byte>(u));
            after_escape = true;
        } else if (p.context == Context::narrow && after_escape && is_hex_digit(c)) {
            append_escape(out, static_cast<Byte>(c[0]));
        } else {
            out += c;
            after_escape = false;
        }
    }
    if (backslash) out += '\\';
    return out;
}

std::string decode(std::string_view text) {
    std::string out;
    for (std::string_view c : characters(text)) append_utf8(out, code_point(c));
    return out;
}

bool only_mapped_characters(std::string_view text) {
    for (std::string_view c : characters(text)) {
        Byte const b = static_cast<Byte>(c[0]);
        if (b >= 0x80 && !is_escaped_character(c)) return false;
    }
    return true;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        Byte const b = byte_at(text, i);
        std::size_t const n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3
                            : b >= 0xF0 && b <= 0xF4                  ? 4
                                                                      : 0;
        if (n == 0 || i + n > text.size()) return false;
        char32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            Byte const t = byte_at(text, i + k);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        char32_t const smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

}  // namespace reference
