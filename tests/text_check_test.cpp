// The checks an in-place run makes before it replaces a file: valid UTF-8,
// and characters of code page 932, each fed in blocks cut everywhere.
#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <string>
#include <vector>

#include "codepage/cp932/cp932_check.hpp"
#include "codepage/cp932/cp932_pairs.hpp"
#include "codepage/utf8/utf8_check.hpp"

namespace {

using codepage::Byte;

std::span<const Byte> bytes_of(std::string_view text) {
    return {reinterpret_cast<const Byte*>(text.data()), text.size()};
}

// Whether iconv takes all of `text` from `from`.
bool iconv_accepts(iconv_t cd, std::string_view text) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string in(text), out(8 * text.size() + 8, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t in_left = in.size(), out_left = out.size();
    return iconv(cd, &src, &in_left, &dst, &out_left) != static_cast<std::size_t>(-1) && in_left == 0;
}

// The text in two blocks cut at `cut`, or in one when `cut` is past its end.
template <typename Check, typename Feed>
Check fed_in_two(std::string_view text, std::size_t cut, Feed feed) {
    Check check;
    if (cut < text.size()) {
        feed(check, bytes_of(text.substr(0, cut)), false);
        feed(check, bytes_of(text.substr(cut)), true);
    } else {
        feed(check, bytes_of(text), true);
    }
    return check;
}

codepage::Utf8Check utf8_check(std::string_view text, std::size_t cut = std::string_view::npos) {
    return fed_in_two<codepage::Utf8Check>(text, cut, codepage::check_utf8);
}

unsigned long long invalid_line(std::string_view text, std::size_t cut = std::string_view::npos) {
    return fed_in_two<codepage::Cp932Check>(text, cut, codepage::check_cp932).first_invalid_line;
}

// Every sequence of two bytes, alone, cut short and followed by
// continuation bytes, against glibc's UTF-8 decoder (which, like Python's
// codec, takes neither overlong forms, surrogates nor code points past
// U+10FFFF).
TEST(Utf8Check, EveryLeadAndSecondByteAgreesWithIconv) {
    iconv_t const cd = iconv_open("UTF-32LE", "UTF-8");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            std::string const pair{static_cast<char>(first), static_cast<char>(second)};
            for (std::string const& text : {pair, pair + "\x80", pair + "\x80\x80", "a" + pair + "\x80\x80z"}) {
                bool const valid = iconv_accepts(cd, text);
                for (std::size_t cut = 0; cut <= text.size(); ++cut)
                    ASSERT_EQ(utf8_check(text, cut).valid, valid)
                        << std::hex << first << ' ' << second << " cut " << cut;
            }
        }
    }
    iconv_close(cd);
}

TEST(Utf8Check, MultibyteText) {
    struct Case {
        std::string text;
        bool multibyte_utf8;
    };
    std::vector<Case> const cases = {
        {"", false},
        {"int main(void) { return 0; }\n", false},       // ASCII alone is no reason to refuse
        {"puts(\"\xE6\x97\xA5\xE6\x9C\xAC\");\n", true},  // 日本
        {"\xC2\x80", true},
        {"\xF0\x9F\x98\x80 and more ASCII after it", true},
        {"\xEF\xBB\xBF" "abc", true},
        {std::string(100, 'x') + "\xE6\x97", false},       // cut short at the end
        {"\x93\xFA\x96\x7B", false},                       // 日本 in code page 932
        {"/* \x8C\xEA */ \xE6\x97\xA5", false},            // code page 932 first, then UTF-8
        {std::string("a\0b", 3) + "\xC3\xA9", true},      // zero bytes are ASCII
    };
    for (auto const& c : cases)
        for (std::size_t cut = 0; cut <= c.text.size(); ++cut)
            EXPECT_EQ(codepage::is_multibyte_utf8(utf8_check(c.text, cut)), c.multibyte_utf8)
                << c.text << " cut " << cut;
}

// The generated table against glibc's CP932, an independent source: the
// pairs it maps are the pairs the table has.
TEST(Cp932Check, MappedPairsAgreeWithIconv) {
    iconv_t const cd = iconv_open("UTF-16LE", "CP932");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    int mapped = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!codepage::is_lead_byte(static_cast<Byte>(lead))) continue;
        for (int trail = 0; trail < 256; ++trail) {
            std::string const pair{static_cast<char>(lead), static_cast<char>(trail)};
            bool const in_table = codepage::is_mapped_pair(static_cast<Byte>(lead), static_cast<Byte>(trail));
            mapped += in_table;
            ASSERT_EQ(in_table, trail >= 0x40 && iconv_accepts(cd, pair)) << std::hex << lead << ' ' << trail;
        }
    }
    EXPECT_EQ(mapped, 9604);
    iconv_close(cd);
}

TEST(Cp932Check, LineOfTheFirstByteThatIsNoCharacter) {
    struct Case {
        std::string text;
        unsigned long long line;  // 0: every byte is part of a character
    };
    std::string const lines(70'000, '\n');  // more than a block
    std::vector<Case> const cases = {
        {"", 0},
        {"\x93\xFA\x96\x7B\r\n\xB6\xC0\xB6\xC5\n", 0},   // pairs and half-width katakana
        {"\x80\xA0\xFD\xFE\xFF", 0},                      // single bytes Windows maps
        {std::string("\0\x7F", 2), 0},
        {"\xF0\x40\xF9\xFC", 0},                          // the user-defined area
        {"\x81\x5C", 0},                                  // ― ends in a backslash
        {"\x82", 1},                                      // a lead byte at the end
        {"a\nb\n\x82\n", 3},                              // a lead byte before LF, on its own line
        {"a\n\x82\"\n", 2},                               // before a quote
        {"a\n\x85\x40\n", 2},                             // a row without characters
        {"\n\n\x82\xFD", 3},                              // a trail byte past the mapped ones
        {"x\r\ny\r\n\x81\x7F", 3},                        // CR LF lines, the gap at 7F
        {std::string("\n\xA0\x82\x00", 4), 2},      // a lead byte before a zero byte
        {"\x93\xFA\n\x82\x9F\x82\x82\x41\n\x81\xAD", 3},  // pairs, then one the table lacks
        {"\xEB\x40", 1},                                  // a lead byte of no mapped pair at all
        {lines + "\x82", 70'001},
        {"\x82\n" + lines, 1},
    };
    for (auto const& c : cases) {
        for (std::size_t cut = 0; cut <= c.text.size(); cut += c.text.size() > 100 ? 997 : 1)
            EXPECT_EQ(invalid_line(c.text, cut), c.line) << c.text.substr(0, 40) << " cut " << cut;
        EXPECT_EQ(invalid_line(c.text, c.text.size() - 1), c.line) << "cut before the last byte";
    }
}

}  // namespace
