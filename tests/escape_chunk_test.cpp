#include "litconv/escape_chunk.hpp"

#include "litconv/fast_runs.hpp"
#include "litconv/lexer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

using codepage::Byte;
using namespace std::string_literals;

// Characters in code page 932 and as litconv escapes them.
#define KAN "\x8A\xBF"  // 漢
#define KAN_ESCAPED "\\xE6\\xBC\\xA2"
#define HYOU "\x95\x5C"  // 表, whose second byte is a backslash's
#define HYOU_ESCAPED "\\xE8\\xA1\\xA8"
#define NEN "\x94\x4E"  // 年
#define NEN_ESCAPED "\\xE5\\xB9\\xB4"
#define KATAKANA_A "\xB1"  // ｱ
#define KATAKANA_A_ESCAPED "\\xEF\\xBD\\xB1"

// Escapes `input` fed in pieces of `piece` bytes, as the command does with
// its blocks, with the sweep's kernel `kernel`.
std::string escape(std::string_view input, std::size_t piece = 1 << 20,
                   codepage::CopyToPairFunction* kernel = codepage::copy_to_pair_variants().front().function,
                   bool cr_in_splice = true) {
    litconv::Escaper escaper;
    escaper.state.cr_in_splice = cr_in_splice;
    std::string result;
    std::vector<Byte> out;
    std::size_t offset = 0;
    while (true) {
        std::size_t const n = std::min(piece, input.size() - offset);
        bool const last = offset + n == input.size();
        out.resize(litconv::max_escaped_length(escaper, n));
        std::span<const Byte> const chunk(reinterpret_cast<const Byte*>(input.data()) + offset, n);
        std::size_t const written = litconv::escape_chunk_with(kernel, escaper, chunk, last, out);
        result.append(reinterpret_cast<const char*>(out.data()), written);
        offset += n;
        if (last) return result;
    }
}

struct Case {
    std::string input;
    std::string expected;
};

// Each case whole and cut into pieces of every size, so that the state
// crosses every boundary, with every sweep kernel the processor supports;
// and escaping the result again changes nothing. Each also after a line of
// its own, where the sweep takes simple lines, and with lines after it too:
// the sweep takes a line only where it sees the next. `cr_in_splice` false
// reads the input as Windows' text mode leaves it.
void check(std::vector<Case> const& cases, bool cr_in_splice = true) {
    std::vector<Case> all = cases;
    for (auto const& [input, expected] : cases) {
        all.push_back({"x = 1;\n" + input, "x = 1;\n" + expected});
        all.push_back({"x = 1;\n" + input + "\n;\n", "x = 1;\n" + expected + "\n;\n"});
    }
    for (auto const& kernel : codepage::copy_to_pair_variants()) {
        if (!codepage::cpu::supported(kernel, codepage::cpu::features())) continue;
        for (auto const& [input, expected] : all) {
            EXPECT_EQ(escape(input, input.size() + 1, kernel.function, cr_in_splice), expected) << input;
            for (std::size_t piece = 1; piece < input.size(); ++piece)
                ASSERT_EQ(escape(input, piece, kernel.function, cr_in_splice), expected)
                    << input << " in pieces of " << piece << ", " << kernel.name;
            EXPECT_EQ(escape(expected, expected.size() + 1, kernel.function, cr_in_splice), expected)
                << "escaping again: " << expected;
        }
    }
}

TEST(EscapeChunk, NarrowLiterals) {
    check({
        {"puts(\"" KAN "\x8E\x9A" "ABC\");\n", "puts(\"" KAN_ESCAPED "\\xE5\\xAD\\x97\\x41\\x42\\x43\");\n"},
        {"\"" KAN "G\"", "\"" KAN_ESCAPED "G\""},           // G is no hex digit
        {"\"" KAN " A\"", "\"" KAN_ESCAPED " A\""},         // the blank ends the escape
        {"\"" KAN "0f\"", "\"" KAN_ESCAPED "\\x30\\x66\""},
        {"\"" KAN "\"A", "\"" KAN_ESCAPED "\"A"},           // the quote ends it
        {"\"" HYOU "\" x", "\"" HYOU_ESCAPED "\" x"},       // 5C as a second byte is no backslash
        {"\"" KATAKANA_A "1\"", "\"" KATAKANA_A_ESCAPED "\\x31\""},
        {"\"\x80\xA0\xFD\xFE\xFF\"", "\"\x80\xA0\xFD\xFE\xFF\""},
        // A stray lead byte keeps its value as an escape: copied before an
        // escape, 81 and its backslash would make the character ―. It takes
        // a byte from 0x80 up with it, which keeps its value too.
        {"\"\x81" KATAKANA_A "A\"", "\"\\x81\\xB1\\x41\""},
        {"\"\x85\" \"" KAN "\"", "\"\\x85\" \"" KAN_ESCAPED "\""},
        // 85 95 is one character, as the compiler and txtconv read it: the
        // 5C after it is a backslash, not the second byte of 表.
        {"\"\x85\x95\x5C\"\"", "\"\\x85\\x95\\\"\""},
        {"\"\x85\x81" "A\" \"" KAN "\"", "\"\\x85\\x81\\x41\" \"" KAN_ESCAPED "\""},
        {"\"\x85\x40\\\"\"", "\"\\x85@\\\"\""},                 // an ASCII byte is never taken
        {"\"\x81", "\"\\x81"},
        {"\0\"" KAN "\0" KAN "\""s, "\0\"" KAN_ESCAPED "\0" KAN_ESCAPED "\""s},
        {"\"\\\"" KAN "\"", "\"\\\"" KAN_ESCAPED "\""},     // \" ends no literal
        {"\"\\\\\" " KAN, "\"\\\\\" " KAN},                 // \\ is one backslash
        {"\"" KAN "\\x41\"", "\"" KAN_ESCAPED "\\x41\""},
    });
}

// A backslash before a character that litconv escapes is an unknown escape,
// which compilers read as the character alone.
TEST(EscapeChunk, BackslashBeforeAnEscapedCharacter) {
    check({
        {"\"\\" HYOU "\"", "\"" HYOU_ESCAPED "\""},
        {"\"\\" KATAKANA_A "\"", "\"" KATAKANA_A_ESCAPED "\""},
        {"\"\\" KAN "A\"", "\"" KAN_ESCAPED "\\x41\""},
        {"\"\\\\" KAN "\"", "\"\\\\" KAN_ESCAPED "\""},     // the backslash is escaped itself
        {"\"\\\x81\"", "\"\\x81\""},
        {"\"\\", "\"\\"},                                   // the end of the input
    });
}

TEST(EscapeChunk, WideLiteralsAndPrefixes) {
    check({
        {"L\"" KAN "\"", "L\"" KAN "\""},
        {"u\"" KAN "\"", "u\"" KAN "\""},
        {"(U\"" KAN "\"", "(U\"" KAN "\""},
        {"u8\"" KAN "\"", "u8\"" KAN_ESCAPED "\""},
        // The prefix is the whole identifier.
        {"xL\"" KAN "\"", "xL\"" KAN_ESCAPED "\""},
        {"Lx\"" KAN "\"", "Lx\"" KAN_ESCAPED "\""},
        {KAN "L\"" KAN "\"", KAN "L\"" KAN_ESCAPED "\""},
        {"\x81\x4C\"" KAN "\"", "\x81\x4C\"" KAN_ESCAPED "\""},  // ´ is 81 4C: its 4C is no L
        {"L\"\\\"" KAN "\", \"" KAN "\"", "L\"\\\"" KAN "\", \"" KAN_ESCAPED "\""},
        {"L\"" HYOU "\", \"" KAN "\"", "L\"" HYOU "\", \"" KAN_ESCAPED "\""},
        {"\"" KAN "\"_s + " KAN, "\"" KAN_ESCAPED "\"_s + " KAN},  // a user-defined suffix is code
        {"L\"\x81\"", "L\"\x81\""},
        {"L\"\x85\x95\\\" " KAN "\", \"" KAN "\"", "L\"\x85\x95\\\" " KAN "\", \"" KAN_ESCAPED "\""},
        {"L\"" HYOU HYOU "\\\"" KAN "\", \"" KAN "\"", "L\"" HYOU HYOU "\\\"" KAN "\", \"" KAN_ESCAPED "\""},
    });
}

TEST(EscapeChunk, Comments) {
    check({
        {"// " KAN "\n", "// " KAN "\n"},
        {"// \"" KAN "\\0*.txt\"\n\"" KAN "\"", "// \"" KAN "\\0*.txt\"\n\"" KAN_ESCAPED "\""},
        {"/* \"" KAN "\" */ \"" KAN "\"", "/* \"" KAN "\" */ \"" KAN_ESCAPED "\""},
        {"/* a \"\n" KAN "\" \n */ \"" KAN "\"", "/* a \"\n" KAN "\" \n */ \"" KAN_ESCAPED "\""},
        {"/*/ \"" KAN "\" */", "/*/ \"" KAN "\" */"},           // /*/ opens and does not close
        {"/** \"" KAN "**/ \"" KAN "\"", "/** \"" KAN "**/ \"" KAN_ESCAPED "\""},
        {"\"/*\" \"" KAN "\" // */", "\"/*\" \"" KAN_ESCAPED "\" // */"},
        {"a / \"" KAN "\" / b", "a / \"" KAN_ESCAPED "\" / b"},
        {"'/' * \"" KAN "\"", "'/' * \"" KAN_ESCAPED "\""},
        {"// " HYOU "\n\"" KAN "\"", "// " HYOU "\n\"" KAN_ESCAPED "\""},  // 表 at the end: no splice
        {"// " HYOU "\r\n\"" KAN "\"", "// " HYOU "\r\n\"" KAN_ESCAPED "\""},
        {"// " HYOU "\\\n\"" KAN "\"", "// " HYOU "\\\n\"" KAN "\""},      // a backslash after it: a splice
        {"// \x85\x95\\\n\"" KAN "\"", "// \x85\x95\\\n\"" KAN "\""},  // 85 95, then a splice
        {"// \x85\\\n\"" KAN "\"", "// \x85\\\n\"" KAN "\""},          // 85 5C is no pair
        {"/* " KAN "*" HYOU "/ \"" KAN "\" */ \"" KAN "\"", "/* " KAN "*" HYOU "/ \"" KAN "\" */ \"" KAN_ESCAPED "\""},
    });
}

TEST(EscapeChunk, CharacterLiterals) {
    check({
        {"c == '\"' ? \"" KAN "\" : " KAN, "c == '\"' ? \"" KAN_ESCAPED "\" : " KAN},
        {"c == '\\\"' ? \"" KAN "\" : " KAN, "c == '\\\"' ? \"" KAN_ESCAPED "\" : " KAN},
        {"'\\'' \"" KAN "\"", "'\\'' \"" KAN_ESCAPED "\""},
        {"'" KAN "' \"" KAN "\"", "'" KAN "' \"" KAN_ESCAPED "\""},
        {"L'\"' u8'\"' U'\\'' \"" KAN "\"", "L'\"' u8'\"' U'\\'' \"" KAN_ESCAPED "\""},
        {"case'\"': \"" KAN "\"", "case'\"': \"" KAN_ESCAPED "\""},
        // Digit separators open no character literal.
        {"1'000'000, \"" KAN "\"", "1'000'000, \"" KAN_ESCAPED "\""},
        {"0x7F'FF + 0b1'0 \"" KAN "\"", "0x7F'FF + 0b1'0 \"" KAN_ESCAPED "\""},
        {"1'_a \"" KAN "\"", "1'_a \"" KAN_ESCAPED "\""},
        // Only a digit or a letter after it makes a digit separator:
        // else the ' opens a character literal.
        {"f(9'\"'); \"" KAN "\"", "f(9'\"'); \"" KAN_ESCAPED "\""},
        {"1'" KAN "' \"" KAN "\"", "1'" KAN "' \"" KAN_ESCAPED "\""},
        {"0x1'f'\"" KAN "\"' \"" KAN "\"", "0x1'f'\"" KAN "\"' \"" KAN_ESCAPED "\""},
        {"1' \"" KAN "\"' \"" KAN "\"", "1' \"" KAN "\"' \"" KAN_ESCAPED "\""},
        {"1'\\\n\"" KAN "\"'", "1'\\\n\"" KAN "\"'"},  // across a splice
        // An unterminated character literal ends with its line.
        {"'a \"" KAN "\n\"" KAN "\"", "'a \"" KAN "\n\"" KAN_ESCAPED "\""},
    });
}

TEST(EscapeChunk, RawLiterals) {
    check({
        {"R\"x(2\\d+" NEN ")x\"", "R\"x(2\\d+)x\" \"" NEN_ESCAPED "\" R\"x()x\""},
        {"R\"(" KAN NEN "A)\"", "R\"()\" \"" KAN_ESCAPED NEN_ESCAPED "\" R\"(A)\""},
        {"u8R\"(" KATAKANA_A ")\"_s", "u8R\"()\" u8\"" KATAKANA_A_ESCAPED "\" u8R\"()\"_s"},
        {"LR\"(C:\\" KAN "\\t.txt)\"", "LR\"(C:\\" KAN "\\t.txt)\""},
        {"uR\"(" HYOU ")\" UR\"(" KAN ")\"", "uR\"(" HYOU ")\" UR\"(" KAN ")\""},
        {"R\"(a\\tb\"c)\"", "R\"(a\\tb\"c)\""},                       // no multibyte: unchanged
        {"R\"(\\)\" \"" KAN "\"", "R\"(\\)\" \"" KAN_ESCAPED "\""},     // no escapes inside
        {"R\"x()\" " KAN ")x\"", "R\"x()\" )x\" \"" KAN_ESCAPED "\" R\"x()x\""},
        {"R\"(/*)\" \"" KAN "\"", "R\"(/*)\" \"" KAN_ESCAPED "\""},
        // Lines and splices.
        {"R\"(a\\\n" KAN "\n)\" \"" KAN "\"", "R\"(a\\\n)\" \"" KAN_ESCAPED "\" R\"(\n)\" \"" KAN_ESCAPED "\""},
        {"R\"(" HYOU "\n" KAN ")\"", "R\"()\" \"" HYOU_ESCAPED "\" R\"(\n)\" \"" KAN_ESCAPED "\" R\"()\""},
        // Delimiters of 16 characters, and one too long: an ordinary literal.
        {"R\"0123456789abcdef(" KAN ")0123456789abcdef\"",
         "R\"0123456789abcdef()0123456789abcdef\" \"" KAN_ESCAPED "\" R\"0123456789abcdef()0123456789abcdef\""},
        {"R\"0123456789abcdefg(" KAN ")\"", "R\"0123456789abcdefg(" KAN_ESCAPED ")\""},
        {"R\"a b(" KAN ")\"", "R\"a b(" KAN_ESCAPED ")\""},
        {"xR\"(" KAN ")\"", "xR\"(" KAN_ESCAPED ")\""},
        {"R\"(\x85" "A)\"", "R\"()\" \"\\x85\" R\"(A)\""},
    });
}

TEST(EscapeChunk, Splices) {
    check({
        {"\"a\\\n" KAN "\"", "\"a\\\n" KAN_ESCAPED "\""},
        {"\"a\\\r\n" KAN "\"", "\"a\\\r\n" KAN_ESCAPED "\""},
        {"\"" KAN "\\\nA\"", "\"" KAN_ESCAPED "\\\n\\x41\""},         // the escape goes on past it
        {"// a \\\n\"" KAN "\"\n\"" KAN "\"", "// a \\\n\"" KAN "\"\n\"" KAN_ESCAPED "\""},
        {"/\\\n/ \"" KAN "\"", "/\\\n/ \"" KAN "\""},
        {"/\\\n* \"" KAN "\" *\\\n/ \"" KAN "\"", "/\\\n* \"" KAN "\" *\\\n/ \"" KAN_ESCAPED "\""},
        {"L\\\n\"" KAN "\"", "L\\\n\"" KAN "\""},
        {"1\\\n'0 \"" KAN "\"", "1\\\n'0 \"" KAN_ESCAPED "\""},
        {"\"\\\\\n" KAN "\"", "\"\\\\\n" KAN_ESCAPED "\""},            // \\ then a line end: a splice
        {"\"\\\\\\\nn\"", "\"\\\\\\\nn\""},                           // an escape across a splice
        {"\"a\\\r" KAN "\"", "\"a\\\r" KAN_ESCAPED "\""},             // CR alone joins nothing
        {"\"" HYOU "\n" KAN "\"", "\"" HYOU_ESCAPED "\n" KAN "\""},   // 表's 5C is no backslash
        {"\"a\\", "\"a\\"},
        {"\"a\\\r", "\"a\\\r"},
    });
}

TEST(EscapeChunk, HeaderNames) {
    check({
        {"#include \"" KAN ".h\"\n\"" KAN "\"", "#include \"" KAN ".h\"\n\"" KAN_ESCAPED "\""},
        {"  #  include <" KAN "\\a.h>", "  #  include <" KAN "\\a.h>"},
        {"#include_next \"" KAN "\"", "#include_next \"" KAN "\""},
        {"#import\"" KAN "\"", "#import\"" KAN "\""},
        {"#if __has_include(\"" KAN "\") && __has_include ( <" KAN "> )",
         "#if __has_include(\"" KAN "\") && __has_include ( <" KAN "> )"},
        {"#elif __has_include(\"" KAN "\")", "#elif __has_include(\"" KAN "\")"},
        // Not header names.
        {"#define S \"" KAN "\"", "#define S \"" KAN_ESCAPED "\""},
        {"#error \"" KAN "\"", "#error \"" KAN_ESCAPED "\""},
        {"x #include \"" KAN "\"", "x #include \"" KAN_ESCAPED "\""},
        {"f(__has_include(\"" KAN "\"))", "f(__has_include(\"" KAN_ESCAPED "\"))"},
        {"#include \"a.h\"\n\"" KAN "\"", "#include \"a.h\"\n\"" KAN_ESCAPED "\""},
        {"#include <a.h> // \"" KAN "\n<\"" KAN "\">", "#include <a.h> // \"" KAN "\n<\"" KAN_ESCAPED "\">"},
        // A comment is a blank: before the #, between # and the name, and
        // between the name and the header name, also over lines.
        {"/* c */ #include \"" KAN ".h\"", "/* c */ #include \"" KAN ".h\""},
        {"#include /* c */ \"" KAN ".h\"", "#include /* c */ \"" KAN ".h\""},
        {"# /**/ include \"" KAN ".h\"", "# /**/ include \"" KAN ".h\""},
        {"/*\n*/ #include \"" KAN ".h\"", "/*\n*/ #include \"" KAN ".h\""},
        {"#include /*\n*/ <" KAN ".h>", "#include /*\n*/ <" KAN ".h>"},
        {"#if __has_include /**/ (\"" KAN "\")", "#if __has_include /**/ (\"" KAN "\")"},
        // But not after a token, nor after a / that opens no comment.
        {"x; /*\n*/ #include \"" KAN "\"", "x; /*\n*/ #include \"" KAN_ESCAPED "\""},
        {"/ #include \"" KAN "\"", "/ #include \"" KAN_ESCAPED "\""},
        {"#include / \"" KAN "\"", "#include / \"" KAN_ESCAPED "\""},
    });
}

TEST(EscapeChunk, StateAcrossLines) {
    check({
        // An ordinary literal a line leaves open ends with it.
        {"\"open\n" KAN " \"" KAN "\"", "\"open\n" KAN " \"" KAN_ESCAPED "\""},
        {"\"" KAN "\nA", "\"" KAN_ESCAPED "\nA"},
        {"\"a\r\n" KAN, "\"a\r\n" KAN},
        {"L\"a\n\"" KAN "\"", "L\"a\n\"" KAN_ESCAPED "\""},
    });
}

// After Windows' text mode has read CR LF as LF, a CR that is left is a
// character: \ CR LF there comes from \ CR CR LF in the file, which is no
// splice either.
TEST(EscapeChunk, OnlyBackslashLineFeedSplicesAfterTextMode) {
    check({
        {"// note \\\r\nconst char *s = \"" KAN "\";\n", "// note \\\r\nconst char *s = \"" KAN_ESCAPED "\";\n"},
        {"\"a\\\r\n" KAN "\"", "\"a\\\r\n" KAN "\""},
        {"/* *\\\r\n/ \"" KAN "\" */ \"" KAN "\"", "/* *\\\r\n/ \"" KAN "\" */ \"" KAN_ESCAPED "\""},
        {"// \\\n\"" KAN "\"\n\"" KAN "\"", "// \\\n\"" KAN "\"\n\"" KAN_ESCAPED "\""},
        {"\"a\\\n" KAN "\"", "\"a\\\n" KAN_ESCAPED "\""},
    }, false);
}

// Lines of ASCII after a quote are copied without the state machine: what
// follows them must still start from a fresh line, unless a block comment,
// a raw literal or a splice carries on, and Japanese on the quote's own
// line must still be seen.
TEST(EscapeChunk, LinesOfAsciiAfterAQuote) {
    std::string const lines = "    x = \"a plain literal, long enough for whole blocks of sixteen\";\n"
                              "    y = 1;\n";
    check({
        {lines + "\"" KAN "\"\n", lines + "\"" KAN_ESCAPED "\"\n"},
        {lines + "    t = \"abc\\\"\n" KAN " \"" KAN "\"\n", lines + "    t = \"abc\\\"\n" KAN " \"" KAN_ESCAPED "\"\n"},
        {lines + "/*\n" + lines + "\"" KAN "\" */\n", lines + "/*\n" + lines + "\"" KAN "\" */\n"},
        {lines + "R\"(\n" + lines + KAN ")\"\n", lines + "R\"(\n" + lines + ")\" \"" KAN_ESCAPED "\" R\"()\"\n"},
        {lines + "// \\\n\"" KAN "\"\n", lines + "// \\\n\"" KAN "\"\n"},
        {lines + "// \\\r\n\"" KAN "\"\n", lines + "// \\\r\n\"" KAN "\"\n"},
        {"\"x\";" + lines + "u8R\"(\n" + lines + KAN ")\"",
         "\"x\";" + lines + "u8R\"(\n" + lines + ")\" u8\"" KAN_ESCAPED "\" u8R\"()\""},
    });
}

// A Unicode build pastes L onto the first token of TEXT()'s argument, and
// joins a narrow literal to a wide one next to it: such literals are copied,
// as wide ones are.
TEST(EscapeChunk, WhatAUnicodeBuildWidens) {
    check({
        {"TEXT(\"" KAN "\")", "TEXT(\"" KAN "\")"},
        {"_T(\"" KAN "\") __TEXT(\"" KAN "\") _TEXT(\"" KAN "\") __T(\"" KAN "\")",
         "_T(\"" KAN "\") __TEXT(\"" KAN "\") _TEXT(\"" KAN "\") __T(\"" KAN "\")"},
        {"_CRT_WIDE(\"" KAN "\"); __CRT_WIDE(R\"(" KAN ")\")", "_CRT_WIDE(\"" KAN "\"); __CRT_WIDE(R\"(" KAN ")\")"},
        {"TEXT(\"a\" \"" KAN "\")", "TEXT(\"a\" \"" KAN "\")"},
        {"TEXT(/*c*/ \"" KAN "\")", "TEXT(/*c*/ \"" KAN "\")"},
        {"TEXT\n  (\"" KAN "\")", "TEXT\n  (\"" KAN "\")"},
        {"TE\\\nXT(\\\n\"" KAN "\")", "TE\\\nXT(\\\n\"" KAN "\")"},
        // The call is a wide literal where it stands.
        {"TEXT(\"a\") \"" KAN "\"", "TEXT(\"a\") \"" KAN "\""},
        {"\"" KAN "\" _T(\"a\")", "\"" KAN "\" _T(\"a\")"},
        {"\"" KAN "\" // c\n _T // c\n (\"a\")", "\"" KAN "\" // c\n _T // c\n (\"a\")"},
        // No widening macro's call of a narrow literal.
        {"MY_TEXT(\"" KAN "\") TEXTX(\"" KAN "\")", "MY_TEXT(\"" KAN_ESCAPED "\") TEXTX(\"" KAN_ESCAPED "\")"},
        {"TEXT(f(\"" KAN "\")); TEXT(f(\"a\")) \"" KAN "\"",
         "TEXT(f(\"" KAN_ESCAPED "\")); TEXT(f(\"a\")) \"" KAN_ESCAPED "\""},
        {"\"" KAN "\" TEXT(x) f(TEXT(\"a\"), \"" KAN "\")", "\"" KAN_ESCAPED "\" TEXT(x) f(TEXT(\"a\"), \"" KAN_ESCAPED "\")"},
        {"\"" KAN "\" TEXT L\"a\" TEXT ((\"" KAN "\"))", "\"" KAN_ESCAPED "\" TEXT L\"a\" TEXT ((\"" KAN_ESCAPED "\"))"},
        {"TEXT(u8\"" KAN "\") TEXT(L\"" KAN "\" \"" KAN "\")", "TEXT(u8\"" KAN_ESCAPED "\") TEXT(L\"" KAN "\" \"" KAN "\")"},
        // Joined to a wide literal, before or after it, through any number of literals.
        {"L\"a\" \"" KAN "\"", "L\"a\" \"" KAN "\""},
        {"\"" KAN "\" \"" NEN "\" U\"a\" \"" HYOU "\"; \"" KAN "\"",
         "\"" KAN "\" \"" NEN "\" U\"a\" \"" HYOU "\"; \"" KAN_ESCAPED "\""},
        {"\"" KAN "\"\n/* c */ u\"a\"", "\"" KAN "\"\n/* c */ u\"a\""},
        // Through lines of comments that hold Japanese, and past them.
        {"x = L\"a\"\n  // " KAN "\n\n /* " NEN " */ \"" KAN "\";\nTEXT(\n// " KAN "\n\"" KAN "\")",
         "x = L\"a\"\n  // " KAN "\n\n /* " NEN " */ \"" KAN "\";\nTEXT(\n// " KAN "\n\"" KAN "\")"},
        {"x;\n// " KAN "\n\"" KAN "\";\n// " KAN "\n L\"a\"", "x;\n// " KAN "\n\"" KAN_ESCAPED "\";\n// " KAN "\n L\"a\""},
        {"\"" KAN "\"\n// " KAN "\n L\"a\"", "\"" KAN "\"\n// " KAN "\n L\"a\""},
        {"R\"(" KAN ")\" LR\"(a)\"", "R\"(" KAN ")\" LR\"(a)\""},
        {"\"" KAN "\"_s L\"a\"", "\"" KAN "\"_s L\"a\""},
        {"\"a\"L\"" KAN "\" \"" KAN "\"", "\"a\"L\"" KAN "\" \"" KAN "\""},  // a prefix right after a literal
        {"u8\"" KAN "\" L\"a\" u8\"" KAN "\"", "u8\"" KAN_ESCAPED "\" L\"a\" u8\"" KAN_ESCAPED "\""},
        // What breaks a chain: another token, a directive's end, a line left open.
        {"\"" KAN "\" x L\"a\" , \"" KAN "\"", "\"" KAN_ESCAPED "\" x L\"a\" , \"" KAN_ESCAPED "\""},
        {"#define A L\"a\"\n\"" KAN "\"", "#define A L\"a\"\n\"" KAN_ESCAPED "\""},
        {"#define A \"" KAN "\" \\\n L\"a\"\n", "#define A \"" KAN "\" \\\n L\"a\"\n"},
        {"#define S TEXT(\"" KAN "\")\n", "#define S TEXT(\"" KAN "\")\n"},
        {"\"" KAN "\n L\"a\"", "\"" KAN_ESCAPED "\n L\"a\""},
        {"x = \"" KAN "\";\ny = L\"a\";\n", "x = \"" KAN_ESCAPED "\";\ny = L\"a\";\n"},
        {"L'a' \"" KAN "\" 'b' L\"a\"", "L'a' \"" KAN_ESCAPED "\" 'b' L\"a\""},
    });
}

// Whether a narrow literal is joined to a wide one shows only after it. It
// is held as input up to 64 KiB past its first escaped character: past
// that, it is copied, however its chain ends, and a cut anywhere changes
// nothing.
TEST(EscapeChunk, ChainsTellingTheirKindLate) {
    auto comment = [](std::size_t n) { return "/*" + std::string(n - 4, 'c') + "*/"; };
    std::string const held = "\"a" KAN "\"";
    std::size_t const bound = litconv::max_held - 3;  // from the first escaped character to the comment
    Case const cases[] = {
        {held + comment(bound) + ";", "\"a" KAN_ESCAPED "\"" + comment(bound) + ";"},
        {held + comment(bound + 1) + ";", held + comment(bound + 1) + ";"},
        {held + comment(bound + 1), held + comment(bound + 1)},
        {held + comment(bound - 1) + " L\"a\"", held + comment(bound - 1) + " L\"a\""},
        {held + comment(3 * bound) + " \"" KAN "\" L\"a\"", held + comment(3 * bound) + " \"" KAN "\" L\"a\""},
        {held + "\n" + std::string(bound, '\n') + "x", held + "\n" + std::string(bound, '\n') + "x"},
        {"\"" + std::string(bound, 'a') + KAN "\" \"" KAN "\";", "\"" + std::string(bound, 'a') + KAN_ESCAPED "\" \"" KAN_ESCAPED "\";"},
    };
    for (auto const& [input, expected] : cases)
        for (std::size_t piece : {std::size_t{1000}, std::size_t{4093}, std::size_t{65536}, std::size_t{65537},
                                  std::size_t{100'003}, input.size() + 1}) {
            std::string const out = escape(input, piece);
            ASSERT_TRUE(out == expected) << "case " << &input - &cases[0].input << " in pieces of " << piece;
        }
}

// The fast paths' word on the context they leave, against the lexer's, one
// character at a time.
void lex_each(litconv::LexState& lex, std::string_view text) {
    auto const bytes = std::as_bytes(std::span(text.data(), text.size()));
    std::span<const Byte> const in(reinterpret_cast<const Byte*>(bytes.data()), bytes.size());
    for (std::size_t i = 0; i < in.size();) {
        litconv::lex(lex, in[i] < 0x80 ? in[i] : litconv::non_ascii);
        i += codepage::next_char(in.subspan(i));
    }
}

std::string random_text(std::mt19937& random, std::span<const std::string_view> fragments, std::size_t count) {
    std::string text;
    for (std::size_t k = 0; k < count; ++k) text += fragments[random() % fragments.size()];
    return text;
}

TEST(EscapeChunk, ContextOfTheFastPaths) {
    std::mt19937 random(26);
    // A chain of narrow literals that holds nothing back is as good as
    // none: what joins it later is narrow or wide by itself.
    auto const held = [](litconv::Chain chain) { return chain == litconv::Chain::narrow ? litconv::Chain::none : chain; };
    // Runs of plain code from the states a text leaves.
    std::string_view const starts[] = {"", "x", "\"a\"", "L\"a\" ", "TEXT", "TEXT (", "_T(\"a\"", "f(", "1", "TE", "__"};
    std::string_view const plain[] = {"TEXT", "_T", "L", "x", " ", "(", ")", ";", "\t", "1", "*", "u8", "\r", KAN, "XT", "T"};
    // Of a word, what a later byte may make of it: a number, a prefix or a
    // name only while it is ASCII.
    auto what_matters = [](litconv::Word const& w) {
        std::string_view const view = w.view();
        bool const ascii = std::ranges::none_of(view, [](char c) { return static_cast<Byte>(c) >= 0x80; });
        return std::tuple(w.size == 0, w.is_number(), w.suffix, ascii ? view : std::string_view("non-ASCII"));
    };
    for (int round = 0; round < 20'000; ++round) {
        litconv::LexState fast;
        std::string_view const start = starts[random() % std::size(starts)];
        lex_each(fast, start);
        litconv::LexState each = fast;
        std::string const run = random_text(random, plain, random() % 6);
        std::span<const Byte> const in(reinterpret_cast<const Byte*>(run.data()), run.size());
        for (std::size_t i = 0; i < in.size();) {
            std::size_t j = i;
            bool const ascii = in[i] < 0x80;
            while (j < in.size() && (in[j] < 0x80) == ascii) j += ascii ? 1 : 2;
            litconv::pass_plain(fast, in.subspan(i, j - i), ascii);
            i = j;
        }
        lex_each(each, run);
        ASSERT_TRUE(held(fast.chain) == held(each.chain) && fast.call == each.call && fast.line_start == each.line_start &&
                    fast.after_literal == each.after_literal && what_matters(fast.word) == what_matters(each.word))
            << "after [" << start << "] " << testing::PrintToString(run);
    }
    // Lines that a sweep takes whole, and the chain or call they leave.
    std::string_view const lines[] = {"x = 1;\n", "\"a\"\n", "L\"a\"\n", "TEXT\n", "TEXT(\n", "(\"a\")\n",
                                      "s = \"" KAN "\";\n", "f(L\"" KAN "\", \"a\"\n", "  \"b\" /* c */\n",
                                      "_T(\"a\") \"b\";\n", "\"a\" TEXT\n", ")\n", "// c\n", "\n", "// " KAN "\n",
                                      " /* " KAN " */ (\n", "x \\fB" KAN ";\n", "{\"" KAN "\", TEXT (\n"};
    auto const& table = codepage::cp932::utf8;
    for (auto const& kernel : codepage::copy_to_pair_variants()) {
        if (!codepage::cpu::supported(kernel, codepage::cpu::features())) continue;
        for (int round = 0; round < 5'000; ++round) {
            std::string const text = "y;\n" + random_text(random, lines, 1 + random() % 5) + "y;\n";
            std::span<const Byte> const in(reinterpret_cast<const Byte*>(text.data()), text.size());
            std::vector<Byte> out(litconv::max_escaped_length(text.size()));
            litconv::Sweep const sweep = litconv::sweep_lines(kernel.function, table, litconv::LexState{}, in, out.data());
            litconv::LexState each;
            lex_each(each, text.substr(0, sweep.swept));
            ASSERT_TRUE(held(sweep.chain) == held(each.chain) && sweep.call == each.call)
                << text << " swept " << sweep.swept << ", " << kernel.name << ": chain " << int(sweep.chain) << " call "
                << int(sweep.call) << ", the lexer: chain " << int(each.chain) << " call " << int(each.call);
        }
    }
}

// After a line feed the sweep takes a simple line whole, bytes from 0x80
// up and all, escaping its narrow literals as the state machine does, and
// leaves the state machine the lines it cannot take.
TEST(EscapeChunk, SimpleLinesInASweep) {
    check({
        {KAN " // " KAN "\n", KAN " // " KAN "\n"},
        {"\"" KAN "\" // " KAN "\n\"" KAN "\"\n", "\"" KAN_ESCAPED "\" // " KAN "\n\"" KAN_ESCAPED "\"\n"},
        {"\"" KAN "\"; /* " KAN " */ L\"" KAN "\" '" KAN "' u8\"" KAN "\"\n",
         "\"" KAN_ESCAPED "\"; /* " KAN " */ L\"" KAN "\" '" KAN "' u8\"" KAN_ESCAPED "\"\n"},
        {"s = \"" KAN "\", t = \"a\\tb" HYOU "\";\n", "s = \"" KAN_ESCAPED "\", t = \"a\\tb" HYOU_ESCAPED "\";\n"},
        {"#define S \"" KAN "\"\n", "#define S \"" KAN_ESCAPED "\"\n"},
        {"x = 1'000; s = \"" KAN "\";\n", "x = 1'000; s = \"" KAN_ESCAPED "\";\n"},
        {"\"" KAN "\n\"" KAN "\"\n", "\"" KAN_ESCAPED "\n\"" KAN_ESCAPED "\"\n"},  // ended by its line
        {"\"\\" KAN "\" \"" KAN "A\"\n", "\"" KAN_ESCAPED "\" \"" KAN_ESCAPED "\\x41\"\n"},
        {"R\"(" KAN ")\" \"" KAN "\"\n", "R\"()\" \"" KAN_ESCAPED "\" R\"()\" \"" KAN_ESCAPED "\"\n"},
        {"f(L\"" HYOU "\", \"" KAN "\");\r\n", "f(L\"" HYOU "\", \"" KAN_ESCAPED "\");\r\n"},
        {"/* " KAN "\n*/ \"" KAN "\"\n", "/* " KAN "\n*/ \"" KAN_ESCAPED "\"\n"},  // not closed on its line
        {"/*/ " KAN " */ \"" KAN "\"\n", "/*/ " KAN " */ \"" KAN_ESCAPED "\"\n"},
        {"'\\\\' \"" KAN "\"\n", "'\\\\' \"" KAN_ESCAPED "\"\n"},
        {"L\"" KAN "\\n\", \"\\x41" KAN "\"\n", "L\"" KAN "\\n\", \"\\x41" KAN_ESCAPED "\"\n"},
        // 81 40 is one character, whose second byte is no blank: L" after it is narrow, as after 95 5C.
        {"\x81\x40L\"" KAN "\"\n" HYOU "L\"" KAN "\" " HYOU "TEXT(\"" KAN "\");\n;\n",
         "\x81\x40L\"" KAN_ESCAPED "\"\n" HYOU "L\"" KAN_ESCAPED "\" " HYOU "TEXT(\"" KAN_ESCAPED "\");\n;\n"},
        {"\x81\x40L'" KAN "' \"" KAN "\"\n", "\x81\x40L'" KAN "' \"" KAN_ESCAPED "\"\n"},
        {"1\x81\x40'x\"" KAN "\"'\n\n", "1\x81\x40'x\"" KAN_ESCAPED "\"'\n\n"},  // a digit separator after 81 40
        // A backslash in code is a splice only before a line end, and never a pair's second byte.
        {".B x \\fB" KAN "\\fR \\\\ \"" KAN "\" \\x\n", ".B x \\fB" KAN "\\fR \\\\ \"" KAN_ESCAPED "\" \\x\n"},
        {"x " HYOU " \"" KAN "\" " HYOU "\n\"" KAN "\"\n", "x " HYOU " \"" KAN_ESCAPED "\" " HYOU "\n\"" KAN_ESCAPED "\"\n"},
        {KAN "; TE\\\nXT(\"" KAN "\") \\\r\n\"" KAN "\"\n", KAN "; TE\\\nXT(\"" KAN "\") \\\r\n\"" KAN "\"\n"},
        // What a literal follows may end all before it, unless it is a parenthesis a name may own.
        {"TEXT (\"" KAN "\") \"" KAN "\";\n_T /* c */ (\"" KAN "\");\n{\"" KAN "\", 1}; f(x, \"" KAN "\") + g(1);\n;\n",
         "TEXT (\"" KAN "\") \"" KAN "\";\n_T /* c */ (\"" KAN "\");\n{\"" KAN_ESCAPED "\", 1}; f(x, \"" KAN_ESCAPED "\") + g(1);\n;\n"},
        {"L\"a\"\x81\x7B\"" KAN "\";\n;\n", "L\"a\"\x81\x7B\"" KAN "\";\n;\n"},  // 7B as a second byte is no brace
    });
}

// The sweep reads a simple line 64 bytes at a time. With each padding, the
// literals, escapes and comments of these lines fall on another byte of
// the first 64 and the next. A line follows each, since the sweep takes a
// line only where it sees what comes after its line feed.
TEST(EscapeChunk, LongSimpleLinesInASweep) {
    std::vector<Case> lines;
    std::string const run(60, 'a');
    for (std::size_t pad = 48; pad <= 72; ++pad) {
        std::string const blanks(pad, ' ');
        lines.push_back({blanks + "f(L\"" KAN "\\n\", \"" KAN "\\t\", '" HYOU "'); // " KAN "\n",
                         blanks + "f(L\"" KAN "\\n\", \"" KAN_ESCAPED "\\t\", '" HYOU "'); // " KAN "\n"});
        lines.push_back({blanks + "/* " KAN " */ s = \"" NEN NEN "a\", /* */ L\"\\\"" HYOU "\";\n",
                         blanks + "/* " KAN " */ s = \"" NEN_ESCAPED NEN_ESCAPED "\\x61\", /* */ L\"\\\"" HYOU "\";\n"});
        lines.push_back({blanks + "\"" KAN "\"" + run + ";\n", blanks + "\"" KAN_ESCAPED "\"" + run + ";\n"});
        lines.push_back({blanks + "L\"\\\"\", \"" KAN "\" /* \" */;\n",
                         blanks + "L\"\\\"\", \"" KAN_ESCAPED "\" /* \" */;\n"});
        lines.push_back({blanks + "'\\'' \"" KAN "\" // '\n", blanks + "'\\'' \"" KAN_ESCAPED "\" // '\n"});
        // Lines the sweep leaves to the state machine at a stop past the first window.
        lines.push_back({blanks + "\"" KAN "\" \\\n \"" KAN "\"\n",
                         blanks + "\"" KAN_ESCAPED "\" \\\n \"" KAN_ESCAPED "\"\n"});
        lines.push_back({blanks + "\"" KAN "\" # \"" KAN "\"\n",
                         blanks + "\"" KAN_ESCAPED "\" # \"" KAN_ESCAPED "\"\n"});
    }
    std::string comment = "// ";
    for (int k = 0; k < 70; ++k) comment += KAN;
    lines.push_back({comment + "\n\"" KAN "\"\n", comment + "\n\"" KAN_ESCAPED "\"\n"});
    std::vector<Case> cases;
    for (auto const& [input, expected] : lines) cases.push_back({input + "y;\n", expected + "y;\n"});
    check(cases);
}

// The sweep passes a block comment that closes on its line, looking for its
// end many bytes at a time: what may lie before it in the comment must still
// keep the comment from being passed.
TEST(EscapeChunk, CommentsOnTheirLineInASweep) {
    std::string const lines = "    y = 1; /* closes on its line, after more than sixteen bytes */ z = 2;\n";
    std::string const open = "    y = 1; /* more than sixteen bytes, then";
    check({
        {lines + "\"" KAN "\"\n", lines + "\"" KAN_ESCAPED "\"\n"},
        {open + " a line end\n \" */ \"" KAN "\"\n", open + " a line end\n \" */ \"" KAN_ESCAPED "\"\n"},
        {open + " Japanese " KAN " */ \"" KAN "\"\n", open + " Japanese " KAN " */ \"" KAN_ESCAPED "\"\n"},
        {open + " R\"( */ \"" KAN "\"\n", open + " R\"( */ \"" KAN_ESCAPED "\"\n"},
        {open + " R */ \"" KAN "\"\n", open + " R */ \"" KAN_ESCAPED "\"\n"},
        {open + " no end */\n/*\n\"" KAN "\" */\n", open + " no end */\n/*\n\"" KAN "\" */\n"},
        // In a literal, /* opens nothing, and the / of a */ after it opens a comment with the * that follows.
        {"'/*' */* \n\"" KAN "\" */\n", "'/*' */* \n\"" KAN "\" */\n"},
        {"y = '/*'; z = 1 */* more than sixteen bytes\n\"" KAN "\" */\n",
         "y = '/*'; z = 1 */* more than sixteen bytes\n\"" KAN "\" */\n"},
    });
}

}  // namespace
