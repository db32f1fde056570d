// litconv's output against the compiler. A program prints the bytes of its
// literals; compiled as it is, with the compiler turning the narrow
// literals from code page 932 into UTF-8, and compiled after litconv, with
// every byte kept as it stands, it must print the same. g++ reads code
// page 932 through iconv, so the programs hold only valid code page 932.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command_support.hpp"

namespace command_test {
namespace {

// Prints every code unit of a literal, and numbers.
constexpr std::string_view prelude = R"(#include <cstddef>
#include <cstdio>
template <typename T, std::size_t N>
void show(char const* name, T const (&text)[N]) {
    std::printf("%s:", name);
    for (T c : text) std::printf(" %llx", static_cast<unsigned long long>(c) & ((1ull << 8 * sizeof(T)) - 1));
    std::printf("\n");
}
void show(char const* name, long long n) { std::printf("%s: %lld\n", name, n); }
std::size_t operator""_n(char const*, std::size_t n) { return n; }
std::size_t operator""_n(char8_t const*, std::size_t n) { return n; }
#define xL
#define SECOND(a, b) b
)";

// Groups of statements for main, in UTF-8; each prints what it is about.
struct Group {
    std::string_view name;
    std::string_view code;
};

std::vector<Group> const groups = {
    {"narrow literals", R"code(
    show("n1", "漢字ABC");
    show("n2", "漢G 漢 0f 漢\x41");
    show("n3", "表\"ｱ1\\");
    show("n4", "a" "漢" "b");
    show("n5", u8"漢A");
    show("n6", xL"漢");
)code"},
    {"wide literals", R"code(
    show("w1", L"漢表");
    show("w2", u"漢\"表");
    show("w3", U"ｱ");
)code"},
    {"splices", R"code(
    show("s1", "ab\
漢");
    show("s2", "漢\
A");
    show("s3", L\
"漢");
    // a comment goes on \
    show("s4", "漢");
    show("s5", "表\
漢");
    show("s6", 1\
'0);
)code"
     "    show(\"s7\", \"a\\\r\n漢\");\n"},
    {"comments", R"code(
    // "ユーザ定義(*.txt)\0*.txt"
    show("c1", "漢");
    //   "                開き引用符
    show("c2", "漢");
    /* すべてのプロジェクトの "追加の依存ファイル" に
       書き加えます。' */
    show("c3", "漢");
    /*/ " */ show("c4", "漢");
    show("c5", "/*" "漢" "*/");
    show("c6", 6 / 3); // "
    show("c7", "漢"); // 表
)code"},
    {"character literals", R"code(
    show("k1", '"'); show("k2", "漢");
    show("k3", '\"'); show("k4", "漢");
    show("k5", '\''); show("k6", "漢");
    show("k7", sizeof('漢')); show("k8", "漢");
    show("k9", L'"'); show("k10", u8'"'); show("k11", "漢");
    show("k12", L'漢'); show("k13", "漢");
    show("k14", 1'000'000); show("k15", "漢");
    show("k16", 0x7F'FF); show("k17", "漢");
    show("k18", SECOND(9'"', "漢"));
    show("k19", SECOND(1'漢"', "漢"));
    show("k20", SECOND(0x1'f'"', "漢"));
    show("k21", 1'0'0); show("k22", 0b1'1); show("k23", "漢");
)code"},
    {"raw literals", R"code(
    show("r1", R"x(2\d+年\d+月\d+日)x");
    show("r2", LR"(C:\テンポラリ\test.txt)");
    show("r3", u8R"(漢"ｱ)");
    show("r4", uR"(表)");
    show("r5", UR"(漢)");
    show("r6", R"(no Japanese \x41)");
    show("r7", R"x()" 漢)x");
    show("r8", R"(a\
漢
表)");
    show("r9", R"0123456789abcdef(漢)0123456789abcdef");
    show("r10", R"(漢A)"_n);
    show("r11", u8R"(漢)"_n);
    show("r12", R"(/*)"); show("r13", "漢");
)code"},
    {"unknown escapes", R"code(
    show("e1", "\表");
    show("e2", "\ｱ");
    show("e3", "\\表");
    show("e4", "\漢A");
)code"},
    {"user-defined suffixes", R"code(
    show("u1", "漢"_n);
    show("u2", u8"漢字"_n);
)code"},
    {"header names", R"code(
    show("h1", KANJI_HEADER);
    show("h2", ANGLE_HEADER);
    show("h3", HAS_KANJI_HEADER);
    show("h4", DEFINED_LITERAL);
    show("h5", AFTER_A_COMMENT + BETWEEN_NAME_AND_HEADER + BETWEEN_HASH_AND_NAME + AFTER_A_LONG_COMMENT);
)code"},
};

// Header names go outside main.
constexpr std::string_view headers = R"code(
#include "漢字.h"
  #  include <表.h>
#if __has_include("漢字.h") && __has_include ( <表.h> )
#define HAS_KANJI_HEADER 1
#else
#define HAS_KANJI_HEADER 0
#endif
#define DEFINED_LITERAL "漢"
/* c */ #include "甲.h"
#include /* c */ "乙.h"
# /**/ include "丙.h"
/* a comment
   over lines */ #include <丁.h>
)code";

std::string program() {
    std::string text(prelude);
    text += headers;
    text += "int main() {\n";
    for (Group const& group : groups) text.append("    // ").append(group.name).append(group.code);
    text += "}\n";
    return text;
}

// The child gets the test's PATH, where g++ finds its assembler and linker.
RunOptions with_path() {
    char const* path = std::getenv("PATH");
    return {.extra_environment = {"PATH=" + std::string(path ? path : "/usr/bin:/bin")}};
}

// Where `command` is, empty when it is not on the PATH.
std::string find_program(std::string const& command) {
    std::string path = run("/bin/sh", {"-c", "command -v " + command}, with_path()).out;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
}

// Compiles `source` with `compiler`, the execution character set `charset`
// and the options `options`, and runs it.
RunResult compile_and_run(std::string const& compiler, TemporaryDirectory const& directory, std::string const& source,
                          std::string const& charset, std::vector<std::string> const& options = {}) {
    std::string const binary = (directory / (source + ".bin")).string();
    std::vector<std::string> arguments = {"-std=c++20", "-w", "-finput-charset=CP932", "-fexec-charset=" + charset,
                                          "-I", directory.path().string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {(directory / source).string(), "-o", binary});
    RunResult const compiled = run(compiler, arguments, with_path());
    EXPECT_EQ(compiled.status, 0) << source << ":\n" << compiled.err;
    return compiled.status == 0 ? run(binary, {}) : RunResult{};
}

TEST(Compiler, LiteralsKeepTheirValue) {
    std::string const compiler = find_program("g++");
    if (compiler.empty()) GTEST_SKIP() << "g++ is missing: litconv's output is not compared with the compiler";
    TemporaryDirectory const directory;
    Iconv const to_cp932("UTF-8", "CP932");
    std::optional<std::string> const source = to_cp932(program());
    ASSERT_TRUE(source) << "the program is no valid code page 932";
    write_file(directory / "in.cpp", *source);
    // The compiler looks the header names up in UTF-8.
    write_file(directory / "漢字.h", "#define KANJI_HEADER 1\n");
    write_file(directory / "表.h", "#define ANGLE_HEADER 2\n");
    write_file(directory / "甲.h", "#define AFTER_A_COMMENT 1\n");
    write_file(directory / "乙.h", "#define BETWEEN_NAME_AND_HEADER 2\n");
    write_file(directory / "丙.h", "#define BETWEEN_HASH_AND_NAME 4\n");
    write_file(directory / "丁.h", "#define AFTER_A_LONG_COMMENT 8\n");
    ASSERT_TRUE(succeeded(run(litconv_program, {(directory / "in.cpp").string(), (directory / "out.cpp").string()})));

    RunResult const before = compile_and_run(compiler, directory, "in.cpp", "UTF-8");
    RunResult const after = compile_and_run(compiler, directory, "out.cpp", "CP932");
    ASSERT_EQ(before.status, 0);
    ASSERT_EQ(after.status, 0);
    EXPECT_EQ(after.out, before.out);
    // Every group printed; the comments and the splice ate what they should.
    for (std::string_view name : {"n6:", "w3:", "s3:", "s7:", "c7:", "k23:", "r13:", "e4:", "u2:", "h5: 15"})
        EXPECT_NE(before.out.find(name), std::string::npos) << name;
    EXPECT_EQ(before.out.find("s4:"), std::string::npos);
}

// A Windows program built with UNICODE or without: the macros as the SDK
// defines them, and literals that such a build widens or joins to a wide
// one, beside those that stay narrow.
constexpr std::string_view windows_program = R"code(
#ifdef UNICODE
#define __TEXT(quote) L##quote
#else
#define __TEXT(quote) quote
#endif
#define TEXT(quote) __TEXT(quote)
#ifdef _UNICODE
#define __T(x) L##x
#else
#define __T(x) x
#endif
#define _T(x) __T(x)
#define _TEXT(x) __T(x)
#define __CRT_WIDE(s) L##s
#define _CRT_WIDE(s) __CRT_WIDE(s)
#define MY_TEXT(q) q
#define TEXTX(q) q
#define MESSAGE _T("漢字")
template <typename T> T const* f(T const* s) { return s; }
template <typename T> T const* Lf(T const* s) { return s; }
template <typename T> void show_text(char const* name, T const* s) {
    std::printf("%s:", name);
    for (; *s; ++s) std::printf(" %llx", static_cast<unsigned long long>(*s) & ((1ull << 8 * sizeof(T)) - 1));
    std::printf("\n");
}
template <typename A, typename T, std::size_t N> void show_second(char const* name, A const&, T const (&text)[N]) {
    show(name, text);
}
int main() {
    show("t1", TEXT("漢字"));
    show("t2", TEXT("a" "漢"));
    show("t3", TEXT(/* c */ "漢"));
    show("t4", TEXT
        ("漢"));
    show("t5", TEXT("a") "漢");
    show("t6", "漢" _T("a"));
    show("t7", _T(R"(表)") _TEXT("ｱ"));
    show("t8", _CRT_WIDE("漢") __TEXT("表"));
    show("t9", TEXT(\
"漢"));
    show("t10", MESSAGE);
    show("j1", L"a" "漢");
    show("j2", "漢" L"a");
    show("j3", "漢" "字" U"a");
    show("j4", "漢"
        L"a");
    show("j5", R"(漢)" L"a");
    show("j6", TEXT(R"x(漢)x" "字"));
    show("e1", MY_TEXT("漢"));
    show("e2", TEXTX("漢"));
    show_text("e3", TEXT(f("漢")));
    show_second("e4", TEXT("a"), "漢");
    show("e5",
#define WIDE_A L"a"
        "漢");
    show("e6", u8"漢");
    show("e7", "漢"); show("e8", L"a");
}
)code";

// The Windows program, from code page 932 as the compiler reads it, built
// with UNICODE and without, prints the same after litconv. In a Unicode
// build no narrow literal keeps a byte of code page 932, so there it must
// also print the same where the compiler keeps every byte as it stands.
TEST(Compiler, WindowsBuildsKeepEveryValue) {
    std::string const compiler = find_program("g++");
    if (compiler.empty()) GTEST_SKIP() << "g++ is missing: litconv's output is not compared with the compiler";
    TemporaryDirectory const directory;
    Iconv const to_cp932("UTF-8", "CP932");
    std::optional<std::string> const source = to_cp932(std::string(prelude) + std::string(windows_program));
    ASSERT_TRUE(source) << "the program is no valid code page 932";
    write_file(directory / "in.cpp", *source);
    ASSERT_TRUE(succeeded(run(litconv_program, {(directory / "in.cpp").string(), (directory / "out.cpp").string()})));
    std::vector<std::string> const unicode = {"-DUNICODE", "-D_UNICODE"};
    for (bool const wide : {false, true}) {
        std::vector<std::string> const options = wide ? unicode : std::vector<std::string>{};
        RunResult const before = compile_and_run(compiler, directory, "in.cpp", "UTF-8", options);
        RunResult const after = compile_and_run(compiler, directory, "out.cpp", "UTF-8", options);
        ASSERT_EQ(before.status, 0);
        EXPECT_EQ(after.out, before.out) << (wide ? "UNICODE" : "MBCS");
        EXPECT_NE(before.out.find("e8:"), std::string::npos);
        if (wide) {
            EXPECT_EQ(compile_and_run(compiler, directory, "out.cpp", "CP932", options).out, before.out);
        }
    }
}

}  // namespace
}  // namespace command_test
