#include "litconv/escape_chunk.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using codepage::Byte;

// Escapes `input` fed in pieces of `piece` bytes, as the command does with
// its blocks.
std::string escape(std::string_view input, std::size_t piece = 1 << 20) {
    litconv::ScanState state;
    std::string result;
    std::vector<Byte> out;
    std::size_t offset = 0;
    do {
        std::size_t const n = std::min(piece, input.size() - offset);
        bool const last = offset + n == input.size();
        out.resize(litconv::max_escaped_length(n));
        std::span<const Byte> const chunk(reinterpret_cast<const Byte*>(input.data()) + offset, n);
        std::size_t const written = litconv::escape_chunk(state, chunk, last, out);
        result.append(reinterpret_cast<const char*>(out.data()), written);
        offset += n;
        if (last) break;
    } while (true);
    return result;
}

TEST(EscapeChunk, WorkedExample) {
    EXPECT_EQ(escape("puts(\"\x8A\xBF\x8E\x9A" "ABC\");\n"),
              "puts(\"\\xE6\\xBC\\xA2\\xE5\\xAD\\x97\\x41\\x42\\x43\");\n");
}

TEST(EscapeChunk, HexDigitsAfterAnEscape) {
    EXPECT_EQ(escape("\"\x8A\xBF\""), "\"\\xE6\\xBC\\xA2\"");
    EXPECT_EQ(escape("\"\x8A\xBFG\""), "\"\\xE6\\xBC\\xA2G\"");       // G is no hex digit
    EXPECT_EQ(escape("\"\x8A\xBF A\""), "\"\\xE6\\xBC\\xA2 A\"");     // the blank ends it
    EXPECT_EQ(escape("\"\x8A\xBF" "0f\""), "\"\\xE6\\xBC\\xA2\\x30\\x66\"");
    EXPECT_EQ(escape("\"\x8A\xBF\"A"), "\"\\xE6\\xBC\\xA2\"A");       // the quote ends it
}

TEST(EscapeChunk, CharactersOutsideLiteralsAreCopied) {
    EXPECT_EQ(escape("// \x8A\xBF\n"), "// \x8A\xBF\n");
    EXPECT_EQ(escape("int \x8A\xBF = 1;"), "int \x8A\xBF = 1;");
}

TEST(EscapeChunk, TrailByte5CIsPartOfItsCharacter) {
    // 表 is 95 5C: its second byte is no backslash.
    EXPECT_EQ(escape("\"\x95\x5C\" x"), "\"\\xE8\\xA1\\xA8\" x");
    EXPECT_EQ(escape("L\"\x95\x5C\" \"\x8A\xBF\""), "L\"\x95\x5C\" \"\\xE6\\xBC\\xA2\"");
}

TEST(EscapeChunk, HalfWidthKatakanaIsACharacter) {
    EXPECT_EQ(escape("\"\xB1" "1\""), "\"\\xEF\\xBD\\xB1\\x31\"");
    EXPECT_EQ(escape("\xB1\"\""), "\xB1\"\"");  // outside a literal: copied
}

TEST(EscapeChunk, OtherHighSingleBytesAreCopied) {
    EXPECT_EQ(escape("\"\x80\xA0\xFD\xFE\xFF\""), "\"\x80\xA0\xFD\xFE\xFF\"");
    // A stray lead byte never takes the quote or line feed. In a narrow
    // literal it keeps its value as an escape: copied before the escapes of
    // ｱ, 81 and their backslash would make the character ―.
    EXPECT_EQ(escape("\"\x85\" \"\x8A\xBF\""), "\"\\x85\" \"\\xE6\\xBC\\xA2\"");
    EXPECT_EQ(escape("\"\x81\n\"\x8A\xBF\""), "\"\\x81\n\"\\xE6\\xBC\\xA2\"");
    EXPECT_EQ(escape("\"\x81\xB1" "A\""), "\"\\x81\\xEF\\xBD\\xB1\\x41\"");
    EXPECT_EQ(escape("\"\x81"), "\"\\x81");
    EXPECT_EQ(escape("\x81\n L\"\x81\""), "\x81\n L\"\x81\"");  // outside, and wide: copied
}

TEST(EscapeChunk, BackslashTakesTheNextByte) {
    EXPECT_EQ(escape("\"\\\"\x8A\xBF\""), "\"\\\"\\xE6\\xBC\\xA2\"");
    EXPECT_EQ(escape("\"\\\\\" \x8A\xBF"), "\"\\\\\" \x8A\xBF");
    EXPECT_EQ(escape("\"\x8A\xBF\\x41\""), "\"\\xE6\\xBC\\xA2\\x41\"");
    // A two-byte character after a backslash is still escaped.
    EXPECT_EQ(escape("\"\\\x8A\xBF\""), "\"\\\\xE6\\xBC\\xA2\"");
}

TEST(EscapeChunk, CharacterConstantsOpenNoLiteral) {
    EXPECT_EQ(escape("c == '\"' ? \"\x8A\xBF\" : \x8A\xBF"), "c == '\"' ? \"\\xE6\\xBC\\xA2\" : \x8A\xBF");
    EXPECT_EQ(escape("c == '\\\"' ? \"\x8A\xBF\" : \x8A\xBF"),
              "c == '\\\"' ? \"\\xE6\\xBC\\xA2\" : \x8A\xBF");
    // An apostrophe before a real literal does not stop it.
    EXPECT_EQ(escape("'\"\x8A\xBF\""), "'\"\\xE6\\xBC\\xA2\"");
}

TEST(EscapeChunk, WideLiteralsAreCopied) {
    for (std::string prefix : {"L", "u", "U", " L", "(U"})
        EXPECT_EQ(escape(prefix + "\"\x8A\xBF\""), prefix + "\"\x8A\xBF\"") << prefix;
    for (std::string prefix : {"u8", "xL", "Lx", "_u"})
        EXPECT_EQ(escape(prefix + "\"\x8A\xBF\""), prefix + "\"\\xE6\\xBC\\xA2\"") << prefix;
    // ´ is 81 4C: its 4C is no L.
    EXPECT_EQ(escape("\x81\x4C\"\x8A\xBF\""), "\x81\x4C\"\\xE6\\xBC\\xA2\"");
    // A wide literal ends at its quote; an escaped quote does not end it.
    EXPECT_EQ(escape("L\"\\\"\x8A\xBF\" \"\x8A\xBF\""), "L\"\\\"\x8A\xBF\" \"\\xE6\\xBC\\xA2\"");
}

TEST(EscapeChunk, StateStartsFreshAtEachLine) {
    EXPECT_EQ(escape("\"open\n\x8A\xBF \"\x8A\xBF\""), "\"open\n\x8A\xBF \"\\xE6\\xBC\\xA2\"");
    EXPECT_EQ(escape("\"\x8A\xBF\n" "A"), "\"\\xE6\\xBC\\xA2\nA");
    EXPECT_EQ(escape("\"a\r\n\x8A\xBF"), "\"a\r\n\x8A\xBF");
}

// Lines of ASCII after a quote are copied without the state machine: what
// follows them must still start from a fresh line, and Japanese on the
// quote's own line must still be seen, wherever the blocks are cut.
TEST(EscapeChunk, LinesOfAsciiAfterAQuote) {
    std::string const input =
        "    x = L\"an unterminated wide literal, long enough for whole blocks\n"
        "    x = 1;\n"
        "\"\x8A\xBF\"\n"
        "    s = \"plain\"; /* \x8A\xBF\"\x8A\xBF */\n"
        "    t = \"abc\\\"\n"
        "\x8A\xBF \"\x8A\xBF\"\n";
    std::string const expected =
        "    x = L\"an unterminated wide literal, long enough for whole blocks\n"
        "    x = 1;\n"
        "\"\\xE6\\xBC\\xA2\"\n"
        "    s = \"plain\"; /* \x8A\xBF\"\\xE6\\xBC\\xA2 */\n"
        "    t = \"abc\\\"\n"
        "\x8A\xBF \"\\xE6\\xBC\\xA2\"\n";
    for (std::size_t piece = 1; piece <= input.size(); ++piece) EXPECT_EQ(escape(input, piece), expected) << piece;
}

TEST(EscapeChunk, ZeroBytesAreCopied) {
    using namespace std::string_literals;
    EXPECT_EQ(escape("\0\"\x8A\xBF\0\x8A\xBF\""s), "\0\"\\xE6\\xBC\\xA2\0\\xE6\\xBC\\xA2\""s);
}

TEST(EscapeChunk, ResultDoesNotDependOnHowTheInputIsCut) {
    std::string const line =
        "x = L\"\x8A\xBF\"; y = \"\x95\x5C" "ab\\\"\xB1\x8A\xBF\" /* '\"' \x8E\x9A */ '\\\"' u8\"\x81\x4C\"\n";
    std::string const whole = escape(line);
    for (std::size_t piece = 1; piece <= line.size(); ++piece) EXPECT_EQ(escape(line, piece), whole) << piece;
}

TEST(EscapeChunk, EscapingItsOwnOutputChangesNothing) {
    std::string const once = escape("puts(\"\x8A\xBF\x8E\x9A" "ABC\"); // \x8A\xBF\n\"\xB1\"\n");
    EXPECT_EQ(escape(once), once);
}

}  // namespace
