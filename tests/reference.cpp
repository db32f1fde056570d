#include "reference.hpp"

#include <cstdio>

#include "codepage/cp932.hpp"

namespace reference {

namespace {

using codepage::Byte;

Byte byte_at(std::string_view text, std::size_t i) { return static_cast<Byte>(text[i]); }

// Length of the character at `i`: 2 for a lead byte and the byte that
// completes a mapped pair with it, else 1.
std::size_t character_length(std::string_view text, std::size_t i) {
    Byte const b = byte_at(text, i);
    bool const pair = codepage::is_lead_byte(b) && i + 1 < text.size() &&
                      codepage::decode_pair(b, byte_at(text, i + 1)) != 0;
    return pair ? 2 : 1;
}

std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> result;
    for (std::size_t i = 0; i < text.size(); i += result.back().size())
        result.push_back(text.substr(i, character_length(text, i)));
    return result;
}

bool is_identifier_character(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
           b >= 0x80;
}

// Whether the double quote at chars[k] follows the token L, u or U.
bool opens_wide_literal(std::vector<std::string_view> const& chars, std::size_t k) {
    if (k == 0) return false;
    std::string_view const before = chars[k - 1];
    if (before != "L" && before != "u" && before != "U") return false;
    return k == 1 || !is_identifier_character(chars[k - 2]);
}

// Whether chars[k...] begins with the characters of `word`.
bool starts_with(std::vector<std::string_view> const& chars, std::size_t k, std::string_view word) {
    for (char c : word) {
        if (k >= chars.size() || chars[k] != std::string_view(&c, 1)) return false;
        ++k;
    }
    return true;
}

bool is_hex_digit(std::string_view c) {
    return c.size() == 1 && std::string_view("0123456789ABCDEFabcdef").find(c[0]) != std::string_view::npos;
}

bool is_escaped_character(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    return c.size() == 2 || (b >= 0xA1 && b <= 0xDF);
}

char32_t code_point(std::string_view c) {
    Byte const b = static_cast<Byte>(c[0]);
    if (c.size() == 2) return codepage::decode_pair(b, static_cast<Byte>(c[1]));
    return codepage::is_lead_byte(b) ? codepage::replacement_character : codepage::decode_single(b);
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

bool is_stray_lead_byte(std::string_view c) {
    return c.size() == 1 && codepage::is_lead_byte(static_cast<Byte>(c[0]));
}

}  // namespace

std::vector<Piece> scan(std::string_view text) {
    std::vector<std::string_view> const chars = characters(text);
    std::vector<Piece> pieces;
    Context literal = Context::code;
    bool after_backslash = false;
    for (std::size_t k = 0; k < chars.size(); ++k) {
        std::string_view const c = chars[k];
        if (c == "\n") {
            literal = Context::code;
            after_backslash = false;
            pieces.push_back({c, Context::code});
        } else if (literal != Context::code) {
            if (!after_backslash && c == "\"") {
                literal = Context::code;
                pieces.push_back({c, Context::code});
                continue;
            }
            after_backslash = !after_backslash && c == "\\";
            pieces.push_back({c, literal});
        } else if (starts_with(chars, k, "'\"'") || starts_with(chars, k, "'\\\"")) {
            // The character constant '"', and '\" whether its apostrophe
            // follows or not: neither quote opens a literal.
            for (int n = 0; n < 3; ++n) pieces.push_back({chars[k + n], Context::code});
            k += 2;
        } else {
            if (c == "\"") literal = opens_wide_literal(chars, k) ? Context::wide : Context::narrow;
            pieces.push_back({c, Context::code});
        }
    }
    return pieces;
}

std::string escape(std::string_view text) {
    std::string out;
    bool after_escape = false;
    bool after_backslash = false;
    for (auto const& [c, context] : scan(text)) {
        bool const narrow = context == Context::narrow;
        if (narrow && is_escaped_character(c)) {
            std::string utf8;
            append_utf8(utf8, code_point(c));
            for (char u : utf8) append_escape(out, static_cast<Byte>(u));
            after_escape = true;
        } else if (narrow && ((after_escape && is_hex_digit(c)) || (!after_backslash && is_stray_lead_byte(c)))) {
            append_escape(out, static_cast<Byte>(c[0]));
            after_escape = true;
        } else {
            out += c;
            after_escape = false;
        }
        after_backslash = context != Context::code && !after_backslash && c == "\\";
    }
    return out;
}

std::string decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t const n = character_length(text, i);
        append_utf8(out, code_point(text.substr(i, n)));
        // A stray lead byte takes the next byte with it unless that is ASCII.
        bool const takes_next = n == 1 && codepage::is_lead_byte(byte_at(text, i)) &&
                                i + 1 < text.size() && byte_at(text, i + 1) >= 0x80;
        i += takes_next ? 2 : n;
    }
    return out;
}

bool only_mapped_characters(std::string_view text) {
    for (std::string_view c : characters(text)) {
        Byte const b = static_cast<Byte>(c[0]);
        if (b >= 0x80 && !is_escaped_character(c)) return false;
    }
    return true;
}

bool lead_byte_before_escape(std::string_view text) {
    std::vector<Piece> const pieces = scan(text);
    for (std::size_t k = 1; k + 1 < pieces.size(); ++k) {
        Piece const& p = pieces[k];
        if (p.context == Context::narrow && pieces[k - 1].text == "\\" && is_stray_lead_byte(p.text) &&
            pieces[k + 1].context == Context::narrow &&
            (is_escaped_character(pieces[k + 1].text) || is_stray_lead_byte(pieces[k + 1].text)))
            return true;
    }
    return false;
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
