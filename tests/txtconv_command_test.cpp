// txtconv run as a program: what it writes for every kind of input.
// What it does alike with litconv is in command_test.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "codepage/command/convert_file.hpp"
#include "command_support.hpp"

namespace {

using namespace command_test;
using namespace std::string_literals;

constexpr std::string_view bom = "\xEF\xBB\xBF";

class TxtconvCommand : public CommandTest {
protected:
    // Converts `input` through files and returns the output.
    std::string convert(std::string_view input) { return convert_file(txtconv_program, input, "in.txt", "out.txt"); }

    // What glibc makes of valid code page 932 text, behind the byte-order mark.
    static std::string iconv_expected(std::string_view input) {
        auto const utf8_text = Iconv("CP932", "UTF-8")(input);
        EXPECT_TRUE(utf8_text) << "iconv rejects the input";
        return std::string(bom) + utf8_text.value_or("");
    }
};

TEST_F(TxtconvCommand, EmptyInputGivesTheByteOrderMarkAlone) { EXPECT_EQ(convert(""), bom); }

TEST_F(TxtconvCommand, SizesAroundTheBlocksOfSmallFiles) {
    // A file smaller than a block is read in a block of its own size, at
    // least 4 KiB: a pair at the end of files on either side of each limit.
    std::size_t const block = codepage::input_block_size;
    for (std::size_t const size : std::vector<std::size_t>{2, 3, 4095, 4096, 4097, block - 1, block, block + 1}) {
        std::string const filler(size - 2, 'a');
        EXPECT_TRUE(same_bytes(convert(filler + "\x8A\xBF"), std::string(bom) + filler + "漢")) << size;
    }
}

TEST_F(TxtconvCommand, FileLongerThanItsSizeSays) {
    // A file of /proc has the size 0 and text all the same: the reads go on
    // past the size the file had, in blocks of the least size.
    fs::path const proc_file = "/proc/kallsyms";
    if (access(proc_file.c_str(), R_OK) != 0) GTEST_SKIP() << proc_file << " cannot be read here";
    std::string const text = read_file(proc_file);
    if (text.size() < 3 * 4096) GTEST_SKIP() << proc_file << " gives too little text here";
    EXPECT_TRUE(succeeded(run(txtconv_program, {proc_file, path("out.txt")})));
    EXPECT_TRUE(same_bytes(read_file(dir / "out.txt"), std::string(bom) + text));
}

TEST_F(TxtconvCommand, JapaneseTextAgreesWithIconv) {
    // Kana, kanji, full- and half-width forms, symbols, Greek and Cyrillic,
    // NEC and IBM extensions, the user-defined area: every character of
    // these ranges that code page 932 has, in lines of 40.
    Iconv const to_cp932("UTF-8", "CP932");
    std::string text;
    int column = 0;
    for (auto const& [first, last] : std::vector<std::pair<char32_t, char32_t>>{
             {0x20, 0x7E}, {0xA2, 0xF7}, {0x391, 0x3C9}, {0x401, 0x451}, {0x2010, 0x2312}, {0x2460, 0x2473},
             {0x2500, 0x266F}, {0x3000, 0x30FE}, {0x3231, 0x33CD}, {0x4E00, 0x9FA5}, {0xE000, 0xE757},
             {0xF929, 0xFA2D}, {0xFF01, 0xFFE5}}) {
        for (char32_t cp = first; cp <= last; ++cp) {
            if (auto const bytes = to_cp932(utf8(cp))) {
                text += *bytes;
                if (++column % 40 == 0) text += column % 80 == 0 ? "\r\n" : "\n";
            }
        }
    }
    ASSERT_GT(column, 9000);
    // Copies shifted by a byte each, cut by the block boundaries in different places.
    std::string input;
    for (int k = 0; k < 8; ++k) input += text + std::string(k, 'x');
    ASSERT_GT(input.size(), 2 * codepage::input_block_size);
    EXPECT_TRUE(same_bytes(convert(input), iconv_expected(input)));
}

TEST_F(TxtconvCommand, RandomValidTextAgreesWithIconv) {
    // Every pair glibc decodes, every single byte it decodes.
    Iconv const from_cp932("CP932", "UTF-8");
    std::vector<std::string> characters;
    for (int b = 0; b < 0x100; ++b) {
        std::string const one{static_cast<char>(b)};
        if (from_cp932(one)) characters.push_back(one);
        for (int trail = 0x40; trail <= 0xFC && b >= 0x81; ++trail) {
            std::string const pair{static_cast<char>(b), static_cast<char>(trail)};
            if (auto const decoded = from_cp932(pair); decoded && decoded->size() > 1) characters.push_back(pair);
        }
    }
    ASSERT_GT(characters.size(), 9000u);
    std::mt19937 random(932);
    std::uniform_int_distribution<std::size_t> pick(0, characters.size() - 1);
    std::string input;
    while (input.size() < 3 * codepage::input_block_size) input += characters[pick(random)];
    EXPECT_TRUE(same_bytes(convert(input), iconv_expected(input)));
}

struct Case {
    std::string input, expected;
};
std::string const fffd = "\xEF\xBF\xBD";

TEST_F(TxtconvCommand, BytesIconvRejects) {
    std::vector<Case> const cases = {
        // Single bytes Windows maps and glibc does not.
        {"\x80\xA0\xFD\xFE\xFF", "\xC2\x80\xEF\xA3\xB0\xEF\xA3\xB1\xEF\xA3\xB2\xEF\xA3\xB3"},
        // A lead byte that begins no mapped pair takes a non-ASCII byte with
        // it, never an ASCII one.
        {"\x85\x40", fffd + "@"},
        {"\x82\xF2z", fffd + "z"},
        {"\x85\x85\x40", fffd + "@"},
        {"\xEB\xA1\xB1", fffd + "\xEF\xBD\xB1"},
        {"\x81\x7F", fffd + "\x7F"},
        {"\x81\n\x81\r\n", fffd + "\n" + fffd + "\r\n"},
        {"\x81\0a"s, fffd + "\0a"s},
        {"\x81\"\x85\\", fffd + "\"" + fffd + "\\"},
        {"\xFC\xFC\xFC\x4B", fffd + "\xE9\xBB\x91"},
    };
    // Every case ends with a whole character: one file holds them all.
    std::string input, expected;
    for (auto const& c : cases) {
        input += c.input + "|";
        expected += c.expected + "|";
    }
    EXPECT_TRUE(same_bytes(convert(input), std::string(bom) + expected));
    // A lead byte at the end of the file.
    EXPECT_TRUE(same_bytes(convert("\x8A\xBF\x81"), std::string(bom) + "\xE6\xBC\xA2" + fffd));
    EXPECT_TRUE(same_bytes(convert("\x81"), std::string(bom) + fffd));
}

TEST_F(TxtconvCommand, CharactersAcrossTheBlockBoundary) {
    std::vector<Case> const cases = {
        {"\x8A\xBF", "漢"},                   // a mapped pair
        {"\x95\x5C", "表"},                   // whose second byte is a backslash
        {"\x81\n", fffd + "\n"},              // a lead byte and ASCII
        {"\x85\x9F", fffd},                   // a lead byte and a byte it takes
        {"\xB6\x8A\xBF", "\xEF\xBD\xB6漢"},  // half-width katakana first
    };
    // Each case at one block boundary, starting from 3 bytes before it to 1
    // byte after it.
    std::size_t const block = codepage::input_block_size;
    std::string input, expected;
    for (std::size_t before = 0; before <= 4; ++before) {
        for (auto const& c : cases) {
            std::size_t const at = ((input.size() + 3) / block + 1) * block + before - 3;
            expected += std::string(at - input.size(), 'a') + c.expected;
            input += std::string(at - input.size(), 'a') + c.input;
        }
    }
    EXPECT_TRUE(same_bytes(convert(input), std::string(bom) + expected));
    // Inputs that end at or just after a block boundary.
    std::string const filler(block - 2, 'a');
    for (auto const& [end, end_expected] : std::vector<Case>{
             {"\x8A\xBF", "漢"}, {"a\x81", "a" + fffd}, {"\x8A\xBF\x81", "漢" + fffd}, {"aa\x81", "aa" + fffd}}) {
        EXPECT_TRUE(same_bytes(convert(filler + end), std::string(bom) + filler + end_expected)) << end_expected;
    }
}

TEST_F(TxtconvCommand, FifoInputIsConvertedWhole) {
    std::string input;
    for (int k = 0; k < 30'000; ++k) input += "\x93\xFA\x96\x7B\x8C\xEA\xB6\xC5 \r\n";
    ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
    bool fed = false;
    std::jthread writer([&] { fed = feed_fifo(dir / "in.fifo", input); });
    EXPECT_TRUE(succeeded(run(txtconv_program, {path("in.fifo"), path("out.txt")})));
    writer.join();
    EXPECT_TRUE(fed);
    EXPECT_TRUE(same_bytes(read_file(dir / "out.txt"), iconv_expected(input)));
}

}  // namespace
