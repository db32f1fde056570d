// What both programs do alike as commands: their arguments, messages, the
// names of [in] and [out] and what [out] is; each case runs for each program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "command_support.hpp"

namespace {

using namespace command_test;

struct Program {
    char const* name;
    char const* path;
    std::string_view usage;
    std::string_view sample;     // a small input
    std::string_view converted;  // the program's output for it
};

Program const litconv = {
    "litconv",
    litconv_program,
    "マルチバイト文字（コードページ932またはShift JIS）で書かれたC言語ソースファイル内の文字列リテラルをUTF-8にエンコードします。\n"
    "コマンドライン\n"
    "litconv [in] [out]\n"
    "[in]    元のソースファイルのファイル名\n"
    "[out]   保存先のファイル名\n",
    "puts(\"\x8A\xBF\x8E\x9A" "ABC\"); // \x8A\xBF\n",
    "puts(\"\\xE6\\xBC\\xA2\\xE5\\xAD\\x97\\x41\\x42\\x43\"); // \x8A\xBF\n",
};

Program const txtconv = {
    "txtconv",
    txtconv_program,
    "マルチバイト文字（コードページ932またはShift JIS）で書かれたテキストファイルをUTF-8にエンコードします。\n"
    "コマンドライン\n"
    "txtconv [in] [out]\n"
    "[in]    元のソースファイルのファイル名\n"
    "[out]   保存先のファイル名\n",
    "\x93\xFA\x96\x7B\r\n",
    "\xEF\xBB\xBF日本\r\n",
};

// Names the program in the tests' names.
void PrintTo(Program const& program, std::ostream* out) { *out << program.name; }

class Command : public CommandTest, public ::testing::WithParamInterface<Program> {
protected:
    Program const& program = GetParam();

    RunResult convert(std::string const& in, std::string const& out, RunOptions const& options = {}) {
        return run(program.path, {in, out}, options);
    }
};

TEST_P(Command, OtherNumbersOfArgumentsGetTheUsage) {
    for (char const* lang : {"C", "C.UTF-8"}) {
        for (std::vector<std::string> const& arguments : std::vector<std::vector<std::string>>{
                 {}, {"-h"}, {"--help"}, {"a", "b", "c"}, {"-", "-", "-"}}) {
            RunResult const result = run(program.path, arguments, {.lang = lang});
            EXPECT_EQ(result.status, 2) << lang << ' ' << arguments.size();
            EXPECT_EQ(result.out, program.usage) << lang << ' ' << arguments.size();
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST_P(Command, ArgumentsStartingWithADashAreFileNames) {
    write_file(dir / "-in", program.sample);
    RunOptions const here{.working_directory = dir.path()};
    EXPECT_TRUE(succeeded(run(program.path, {"-in", "-out"}, here)));
    EXPECT_EQ(read_file(dir / "-out"), program.converted);
    EXPECT_TRUE(failed_with(run(program.path, {"--", "-out"}, here), cannot_open("--")));
}

TEST_P(Command, MissingInputCreatesNoOutput) {
    // The name comes back byte for byte, even where it is no valid UTF-8.
    for (std::string const& name : {path("missing"), path("\x95\x5C\x8E\xA6.c")}) {
        for (char const* lang : {"C", "C.UTF-8"}) {
            EXPECT_TRUE(failed_with(convert(name, path("out"), {.lang = lang}), cannot_open(name)));
            EXPECT_EQ(dir.entries(), std::vector<std::string>{});
        }
    }
    // `program missing out > out`: the message goes to standard error, not
    // into [out].
    write_file(dir / "out", "");
    UniqueFd const out(open(path("out").c_str(), O_WRONLY | O_CLOEXEC));
    RunResult const result = convert(path("missing"), path("out"), {.descriptors = {{1, out.get()}}});
    EXPECT_TRUE(failed_with(on_standard_error(result), cannot_open(path("missing"))));
    EXPECT_EQ(read_file(dir / "out"), "");
}

TEST_P(Command, MessagesFollowTheLocaleEncoding) {
    RunResult const built = run("/usr/bin/localedef", {"-i", "ja_JP", "-f", "EUC-JP", path("ja_JP.eucJP")});
    if (built.status != 0) GTEST_SKIP() << "localedef cannot build ja_JP.EUC-JP here: " << built.out << built.err;
    RunOptions const euc{.lang = "ja_JP.eucJP", .extra_environment = {"LOCPATH=" + dir.path().string()}};
    Iconv const to_euc("UTF-8", "EUC-JP");

    RunResult const usage_run = run(program.path, {}, euc);
    EXPECT_EQ(usage_run.status, 2);
    EXPECT_EQ(usage_run.out, to_euc(program.usage).value_or("?"));
    // The file name is no message text: its bytes pass unconverted.
    std::string const name = path("\x95\x5C.c");
    std::string const message = cannot_open(name);
    std::size_t const at = message.find(name);
    EXPECT_TRUE(failed_with(convert(name, path("out"), euc), to_euc(message.substr(0, at)).value_or("?") + name +
                                                                 to_euc(message.substr(at + name.size())).value_or("?")));
}

TEST_P(Command, InPlaceUnderAnyName) {
    ASSERT_EQ(symlink("a", path("link").c_str()), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    struct Case {
        std::string in, out;
    };
    for (auto const& [in, out] : std::vector<Case>{{path("a"), path("a")},
                                                   {path("sub/../a"), path("a")},
                                                   {path("link"), path("a")},
                                                   {path("a"), path("link")}}) {
        write_file(dir / "a", program.sample);
        EXPECT_TRUE(succeeded(convert(in, out)));
        EXPECT_EQ(read_file(dir / "a"), program.converted) << in << ' ' << out;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "link", "sub"}));
        EXPECT_TRUE(fs::is_symlink(dir / "link"));
    }
    // A relative name in the working directory.
    write_file(dir / "a", program.sample);
    EXPECT_TRUE(succeeded(convert("a", "a", {.working_directory = dir.path()})));
    EXPECT_EQ(read_file(dir / "a"), program.converted);
}

TEST_P(Command, SymbolicLinkOutputKeepsTheLink) {
    write_file(dir / "in", program.sample);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    write_file(dir / "sub/target", "old");
    ASSERT_EQ(symlink("sub/target", path("link").c_str()), 0);
    ASSERT_EQ(symlink("new", path("sub/dangling").c_str()), 0);
    for (char const* link : {"link", "sub/dangling"}) EXPECT_TRUE(succeeded(convert(path("in"), path(link))));
    EXPECT_EQ(fs::read_symlink(dir / "link"), "sub/target");
    EXPECT_EQ(fs::read_symlink(dir / "sub/dangling"), "new");
    EXPECT_EQ(read_file(dir / "sub/target"), program.converted);
    EXPECT_EQ(read_file(dir / "sub/new"), program.converted);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "link", "sub"}));
    EXPECT_EQ(entries_of(dir / "sub"), (std::vector<std::string>{"dangling", "new", "target"}));
}

TEST_P(Command, ModeOfNewAndExistingOutput) {
    struct Case {
        mode_t umask;
        int existing_mode;  // -1: no [out] yet
        mode_t expected;
    };
    write_file(dir / "in", program.sample);
    for (auto const [mask, existing_mode, expected] : std::vector<Case>{
             {022, -1, 0644}, {077, -1, 0600}, {0, -1, 0666}, {022, 0600, 0600}, {077, 0755, 0755}, {0, 0444, 0444}}) {
        fs::remove(dir / "out");
        if (existing_mode >= 0) {
            write_file(dir / "out", "old");
            ASSERT_EQ(chmod(path("out").c_str(), static_cast<mode_t>(existing_mode)), 0);
        }
        EXPECT_TRUE(succeeded(convert(path("in"), path("out"), {.umask = mask})));
        struct stat st {};
        ASSERT_EQ(stat(path("out").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, expected) << std::oct << mask << ' ' << existing_mode;
        EXPECT_EQ(read_file(dir / "out"), program.converted);
    }
}

TEST_P(Command, OutputThatIsNoRegularFileIsWrittenDirectly) {
    write_file(dir / "in", program.sample);
    EXPECT_TRUE(succeeded(convert(path("in"), "/dev/null")));
    RunResult const to_stdout = convert(path("in"), "/dev/stdout");
    EXPECT_EQ(to_stdout.status, 0);
    EXPECT_EQ(to_stdout.out, program.converted);

    // The FIFO's buffer holds the whole output, so it can be read after the run.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    UniqueFd const reader(open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    EXPECT_TRUE(succeeded(convert(path("in"), path("fifo"))));
    std::string received(4096, '\0');
    received.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(reader.get(), received.data(), received.size()))));
    EXPECT_EQ(received, program.converted);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "in"}));
}

TEST_P(Command, LongestOutputName) {
    // The temporary file beside [out] is named after it and must still fit,
    // for a new [out] and in place.
    std::string const name(NAME_MAX, 'n');
    write_file(dir / "in", program.sample);
    EXPECT_TRUE(succeeded(convert(path("in"), path(name))));
    EXPECT_EQ(read_file(dir / name), program.converted);
    write_file(dir / name, program.sample);
    EXPECT_TRUE(succeeded(convert(path(name), path(name))));
    EXPECT_EQ(read_file(dir / name), program.converted);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", name}));
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, Command, ::testing::Values(litconv, txtconv),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
