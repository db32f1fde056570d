// litconv run as a program: what it writes for sources of every kind.
// What it does alike with txtconv is in command_test.cpp.
#include <string>
#include <utility>
#include <vector>

#include "command_support.hpp"

namespace {

using namespace command_test;
using namespace std::string_literals;

class LitconvCommand : public CommandTest {
protected:
    // Converts `input` through files and returns the output.
    std::string convert(std::string_view input) { return convert_file(litconv_program, input, "in.c", "out.c"); }
};

TEST_F(LitconvCommand, ConvertsTheExample) {
    std::string const hello = read_file(std::string(source_directory) + "/examples/hello.c");
    // The example's three narrow literals, as the README shows them escaped.
    std::string expected = hello;
    for (auto const& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x41\x90\xA2\x8A\x45\x81\x49\"",
              R"("\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81\xE4\xB8\x96\xE7\x95\x8C\xEF\xBC\x81")"},
             {"\"\x95\x5C\x8E\xA6" "ABC\"", R"("\xE8\xA1\xA8\xE7\xA4\xBA\x41\x42\x43")"},
             {"\"\xB6\xC0\xB6\xC5\"", R"("\xEF\xBD\xB6\xEF\xBE\x80\xEF\xBD\xB6\xEF\xBE\x85")"}}) {
        std::size_t const at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << to;
        expected.replace(at, from.size(), to);
    }
    std::string const once = convert(hello);
    EXPECT_TRUE(same_bytes(once, expected));
    EXPECT_TRUE(same_bytes(convert(once), once));
}

TEST_F(LitconvCommand, ZeroBytesLineEndsAndTheEndOfTheFile) {
    struct Case {
        std::string input, expected;
    };
    for (auto const& [input, expected] : std::vector<Case>{
             {"", ""},
             {"\0\"\x8A\xBF\0A\"\0\x8A\xBF\0"s, "\0\"\\xE6\\xBC\\xA2\0A\"\0\x8A\xBF\0"s},
             {"a = \"\x8A\xBF\";\r\nb = \"\xB6\";\r\n", "a = \"\\xE6\\xBC\\xA2\";\r\nb = \"\\xEF\\xBD\\xB6\";\r\n"},
             {"\"\x8A\xBF\r\n\x8A\xBF", "\"\\xE6\\xBC\\xA2\r\n\x8A\xBF"},
             {"\"\x81", "\"\\x81"},
             {"x\x81", "x\x81"},
         }) {
        EXPECT_TRUE(same_bytes(convert(input), expected));
    }
}

TEST_F(LitconvCommand, LongLinesAcrossEveryBlockBoundary) {
    // 17 bytes, and 65536 = 1 (mod 17): the block boundaries of a long line
    // fall on every byte of the unit in turn, inside pairs, after a
    // backslash, between an escape and the hex digit that follows it.
    // The commas keep the narrow literal apart from the wide ones.
    std::string const unit = "L\"\x8A\xBF\",\"\x8A\xBF" "A\\\"\x95\x5C\xB6\",";
    std::string const unit_escaped = "L\"\x8A\xBF\",\"\\xE6\\xBC\\xA2\\x41\\\"\\xE8\\xA1\\xA8\\xEF\\xBD\\xB6\",";
    ASSERT_EQ(unit.size(), 17u);
    std::string input, expected;
    auto line = [&](std::size_t min_bytes, std::string_view end) {
        for (std::size_t n = 0; n < min_bytes; n += unit.size()) {
            input += unit;
            expected += unit_escaped;
        }
        input += end;
        expected += end;
    };
    line(16'384, "\r\n");
    line(1'200'000, "\n");
    line(100, "");
    std::string const once = convert(input);
    EXPECT_TRUE(same_bytes(once, expected));
    EXPECT_TRUE(same_bytes(convert(once), once)) << "a second run changes nothing";
}

}  // namespace
