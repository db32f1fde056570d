// litconv run as a program: arguments, messages, files and their output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "command_support.hpp"

namespace {

using namespace command_test;
using namespace std::string_literals;

constexpr std::string_view usage =
    "マルチバイト文字（コードページ932またはShift JIS）で書かれたC言語ソースファイル内の文字列リテラルをUTF-8にエンコードします。\n"
    "コマンドライン\n"
    "litconv [in] [out]\n"
    "[in]    元のソースファイルのファイル名\n"
    "[out]   保存先のファイル名\n";

// A small source and what litconv makes of it.
constexpr std::string_view source = "puts(\"\x8A\xBF\x8E\x9A" "ABC\"); // \x8A\xBF\n";
constexpr std::string_view escaped = "puts(\"\\xE6\\xBC\\xA2\\xE5\\xAD\\x97\\x41\\x42\\x43\"); // \x8A\xBF\n";

class LitconvCommand : public CommandTest {
protected:
    // Converts `input` through files and returns the output.
    std::string convert(std::string_view input) { return convert_file(litconv_program, input, "in.c", "out.c"); }
};

TEST(LitconvUsage, OtherNumbersOfArgumentsGetTheUsage) {
    expect_usage(litconv_program, usage, {{}, {"-h"}, {"--help"}, {"a", "b", "c"}, {"-", "-", "-"}});
}

TEST_F(LitconvCommand, ArgumentsStartingWithADashAreFileNames) {
    write_file(dir / "-in", source);
    RunOptions const here{.working_directory = dir.path()};
    EXPECT_TRUE(succeeded(run(litconv_program, {"-in", "-out"}, here)));
    EXPECT_EQ(read_file(dir / "-out"), escaped);
    EXPECT_TRUE(failed_with(run(litconv_program, {"--", "-out"}, here), cannot_open("--")));
}

TEST_F(LitconvCommand, MissingInputCreatesNoOutput) {
    // The name comes back byte for byte, even where it is no valid UTF-8.
    for (std::string const& name : {path("missing.c"), path("\x95\x5C\x8E\xA6.c")}) {
        for (char const* lang : {"C", "C.UTF-8"}) {
            EXPECT_TRUE(failed_with(run(litconv_program, {name, path("out.c")}, {.lang = lang}), cannot_open(name)));
            EXPECT_EQ(dir.entries(), std::vector<std::string>{});
        }
    }
}

TEST_F(LitconvCommand, MessagesFollowTheLocaleEncoding) {
    RunResult const built = run("/usr/bin/localedef", {"-i", "ja_JP", "-f", "EUC-JP", path("ja_JP.eucJP")});
    if (built.status != 0) GTEST_SKIP() << "localedef cannot build ja_JP.EUC-JP here: " << built.out << built.err;
    RunOptions const euc{.lang = "ja_JP.eucJP", .extra_environment = {"LOCPATH=" + dir.path().string()}};
    Iconv const to_euc("UTF-8", "EUC-JP");

    RunResult const usage_run = run(litconv_program, {}, euc);
    EXPECT_EQ(usage_run.status, 2);
    EXPECT_EQ(usage_run.out, to_euc(usage).value_or("?"));
    // The file name is no message text: its bytes pass unconverted.
    std::string const name = path("\x95\x5C.c");
    std::string const message = cannot_open(name);
    std::size_t const at = message.find(name);
    EXPECT_TRUE(failed_with(run(litconv_program, {name, path("out.c")}, euc),
                            to_euc(message.substr(0, at)).value_or("?") + name +
                                to_euc(message.substr(at + name.size())).value_or("?")));
}

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
    std::string const unit = "L\"\x8A\xBF\" \"\x8A\xBF" "A\\\"\x95\x5C\xB6\" ";
    std::string const unit_escaped = "L\"\x8A\xBF\" \"\\xE6\\xBC\\xA2\\x41\\\"\\xE8\\xA1\\xA8\\xEF\\xBD\\xB6\" ";
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

TEST_F(LitconvCommand, InPlaceUnderAnyName) {
    ASSERT_EQ(symlink("a.c", path("link.c").c_str()), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    struct Case {
        std::string in, out;
    };
    for (auto const& [in, out] : std::vector<Case>{{path("a.c"), path("a.c")},
                                                   {path("sub/../a.c"), path("a.c")},
                                                   {path("link.c"), path("a.c")},
                                                   {path("a.c"), path("link.c")}}) {
        write_file(dir / "a.c", source);
        EXPECT_TRUE(succeeded(run(litconv_program, {in, out})));
        EXPECT_EQ(read_file(dir / "a.c"), escaped) << in << ' ' << out;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a.c", "link.c", "sub"}));
        EXPECT_TRUE(fs::is_symlink(dir / "link.c"));
    }
    // A relative name in the working directory.
    write_file(dir / "a.c", source);
    EXPECT_TRUE(succeeded(run(litconv_program, {"a.c", "a.c"}, {.working_directory = dir.path()})));
    EXPECT_EQ(read_file(dir / "a.c"), escaped);
}

TEST_F(LitconvCommand, SymbolicLinkOutputKeepsTheLink) {
    write_file(dir / "in.c", source);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    write_file(dir / "sub/target.c", "old");
    ASSERT_EQ(symlink("sub/target.c", path("link.c").c_str()), 0);
    ASSERT_EQ(symlink("new.c", path("sub/dangling.c").c_str()), 0);
    for (char const* link : {"link.c", "sub/dangling.c"}) EXPECT_TRUE(succeeded(run(litconv_program, {path("in.c"), path(link)})));
    EXPECT_EQ(fs::read_symlink(dir / "link.c"), "sub/target.c");
    EXPECT_EQ(fs::read_symlink(dir / "sub/dangling.c"), "new.c");
    EXPECT_EQ(read_file(dir / "sub/target.c"), escaped);
    EXPECT_EQ(read_file(dir / "sub/new.c"), escaped);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.c", "link.c", "sub"}));
    EXPECT_EQ(entries_of(dir / "sub"), (std::vector<std::string>{"dangling.c", "new.c", "target.c"}));
}

TEST_F(LitconvCommand, ModeOfNewAndExistingOutput) {
    struct Case {
        mode_t umask;
        int existing_mode;  // -1: no [out] yet
        mode_t expected;
    };
    write_file(dir / "in.c", source);
    for (auto const [mask, existing_mode, expected] : std::vector<Case>{
             {022, -1, 0644}, {077, -1, 0600}, {0, -1, 0666}, {022, 0600, 0600}, {077, 0755, 0755}, {0, 0444, 0444}}) {
        fs::remove(dir / "out.c");
        if (existing_mode >= 0) {
            write_file(dir / "out.c", "old");
            ASSERT_EQ(chmod(path("out.c").c_str(), static_cast<mode_t>(existing_mode)), 0);
        }
        EXPECT_TRUE(succeeded(run(litconv_program, {path("in.c"), path("out.c")}, {.umask = mask})));
        struct stat st {};
        ASSERT_EQ(stat(path("out.c").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, expected) << std::oct << mask << ' ' << existing_mode;
        EXPECT_EQ(read_file(dir / "out.c"), escaped);
    }
}

TEST_F(LitconvCommand, OutputThatIsNoRegularFileIsWrittenDirectly) {
    write_file(dir / "in.c", source);
    EXPECT_TRUE(succeeded(run(litconv_program, {path("in.c"), "/dev/null"})));
    RunResult const to_stdout = run(litconv_program, {path("in.c"), "/dev/stdout"});
    EXPECT_EQ(to_stdout.status, 0);
    EXPECT_EQ(to_stdout.out, escaped);

    // The FIFO's buffer holds the whole output, so it can be read after the run.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    UniqueFd const reader(open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    EXPECT_TRUE(succeeded(run(litconv_program, {path("in.c"), path("fifo")})));
    std::string received(4096, '\0');
    received.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(reader.get(), received.data(), received.size()))));
    EXPECT_EQ(received, escaped);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "in.c"}));
}

TEST_F(LitconvCommand, LongestOutputName) {
    std::string const name(NAME_MAX, 'n');
    write_file(dir / "in.c", source);
    EXPECT_TRUE(succeeded(run(litconv_program, {path("in.c"), path(name)})));
    EXPECT_TRUE(succeeded(run(litconv_program, {path(name), path(name)})));
    EXPECT_EQ(read_file(dir / name), escaped);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.c", name}));
}

}  // namespace
