// Both programs converting a file onto itself: what they leave untouched,
// what they refuse, and what they replace; and the same files converted
// into another file, which is always written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "codepage/command/convert_file.hpp"
#include "command_support.hpp"

namespace {

using namespace command_test;
using namespace std::string_literals;

enum class Outcome { untouched, converted, already_utf8, utf16, not_code_page_932 };

struct Row {
    char const* what;
    std::string input;
    Outcome litconv;
    Outcome txtconv;
    unsigned long long line = 0;  // of the byte txtconv refuses
    bool sparse = false;          // its blocks of zero bytes are holes, which a replacement keeps
};

std::string already_utf8_message(std::string_view name) {
    return "ファイル\"" + std::string(name) + "\"はすでにUTF-8です。\n";
}

std::string utf16_message(std::string_view name) { return "ファイル\"" + std::string(name) + "\"はUTF-16です。\n"; }

std::string not_code_page_932_message(std::string_view name, unsigned long long line) {
    return "ファイル\"" + std::string(name) + "\"の" + std::to_string(line) +
           "行目に、コードページ932の文字ではないバイトがあります。\n";
}

std::string const japanese_literal = "puts(\"\x93\xFA\x96\x7B\");\n";  // 日本, code page 932
std::string const japanese_comment = "int x; /* \x8C\xEA */\n";      // 語
std::string const utf8_literal = "puts(\"\xE6\x97\xA5\xE6\x9C\xAC\");\n";  // 日本, UTF-8
std::string const bom = "\xEF\xBB\xBF";

// Lines of `line` up to at least `size` bytes.
std::string lines_of(std::string_view line, std::size_t size) {
    std::string text;
    while (text.size() < size) text += line;
    return text;
}

constexpr std::size_t block = codepage::input_block_size;
std::string const ascii_lines = lines_of("int z;\n", block);

// ASCII up to the last byte of the first block, which is the lead byte
// 82; the next block goes on with a line feed.
std::string lead_byte_ending_the_first_block() {
    std::string text = lines_of("int y;\n", block - 8);
    text.resize(block - 1, ' ');
    return text + "\x82\n" + ascii_lines;
}

// FF FE, the mark of UTF-16LE, beginning the second block, after ASCII.
std::string utf16_mark_beginning_the_second_block() {
    std::string text = lines_of("int y;\n", block - 8);
    text.resize(block, ' ');
    return text + "\xFF\xFE\n";
}

unsigned long long line_feeds(std::string_view text) {
    return static_cast<unsigned long long>(std::ranges::count(text, '\n'));
}

using enum Outcome;

std::vector<Row> const rows = {
    // Code page 932 that litconv leaves as it is.
    {"ASCII", "int main(void) { return 0; }\n", untouched, converted},
    {"empty", "", untouched, converted},
    {"Japanese in comments only", japanese_comment, untouched, converted},
    {"several blocks, nothing for litconv", lines_of(japanese_comment, 3 * block), untouched, converted},
    // Code page 932 that litconv changes.
    {"a Japanese literal", japanese_comment + japanese_literal, converted, converted},
    {"several blocks, the first literal in the third",
     lines_of(japanese_comment, 2 * block + 100) + japanese_literal + ascii_lines, converted, converted},
    // The output goes out in pieces of 256 KiB: the first repeats the file,
    // which the replacement then copies.
    {"several writes, the first literal in the second", lines_of(japanese_comment, 5 * block) + japanese_literal,
     converted, converted},
    // UTF-8 behind a byte-order mark: txtconv's output.
    {"byte-order mark", bom + utf8_literal, already_utf8, untouched},
    {"byte-order mark alone", bom, already_utf8, untouched},
    {"byte-order mark, several blocks", bom + lines_of(utf8_literal, 3 * block), already_utf8, untouched},
    {"byte-order mark before code page 932", bom + japanese_literal, already_utf8, untouched},
    // UTF-8 without one.
    {"UTF-8", utf8_literal, already_utf8, already_utf8},
    {"UTF-8 in a later block", ascii_lines + utf8_literal + ascii_lines, already_utf8, already_utf8},
    {"UTF-8 that is no code page 932 either", "\xE3\x81\x82\n", already_utf8, already_utf8},
    {"UTF-8 and one pair of code page 932", utf8_literal + japanese_comment, converted, converted},
    // UTF-16 behind its byte-order mark. In UTF-16LE the bytes of 日 (E5 65)
    // inside the quotes read as a pair of code page 932, which litconv
    // would escape.
    {"UTF-16LE mark alone", "\xFF\xFE", utf16, utf16},
    {"UTF-16LE mark and text", "\xFF\xFEp\0u\0t\0s\0(\0\"\0\xE5\x65\x2C\x67\"\0)\0;\0\n\0"s, utf16, utf16},
    {"UTF-16BE mark and text", "\xFE\xFF\0i\0n\0t\0 \0x\0;\0\n"s, utf16, utf16},
    // FF FE elsewhere than at the start is no mark: two single bytes,
    // which Windows reads as characters of its own.
    {"FF FE after the start", "x\n/* \xFF\xFE */\n", untouched, converted},
    {"FF FE beginning the second block", utf16_mark_beginning_the_second_block(), untouched, converted},
    // Bytes that are no character of code page 932.
    {"a lead byte before the quote of a literal", "int x;\nputs(\"\x82\");\n", converted, not_code_page_932, 2},
    {"a pair of no character in a comment", "a\nb\n/* \x85\x40 */\n", untouched, not_code_page_932, 3},
    {"a lead byte at the end", "x\n\x82", untouched, not_code_page_932, 2},
    // E3 81 is a pair; 82 before the line feed begins none.
    {"invalid UTF-8 and no code page 932", "\xE3\x81\x82\n/* \x82\n */", untouched, not_code_page_932, 1},
    {"no character in a later block", lines_of(japanese_comment, 2 * block) + "/* \x82\xFD */\n" + japanese_literal,
     converted, not_code_page_932, line_feeds(lines_of(japanese_comment, 2 * block)) + 1},
    {"a lead byte ending the first block", lead_byte_ending_the_first_block(), untouched, not_code_page_932,
     line_feeds(lead_byte_ending_the_first_block().substr(0, block)) + 1},
    // The unchanged part the replacement copies from the file.
    {"a hole before the first literal", "int x;\n" + std::string(1 << 20, '\0') + japanese_literal, converted, converted,
     0, true},
};

// Writes `bytes`, leaving each 4 KiB block of zero bytes a hole.
void write_sparse(fs::path const& path, std::string_view bytes) {
    constexpr std::size_t piece = 4096;
    UniqueFd const fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        std::string_view const part = bytes.substr(at, piece);
        if (part.find_first_not_of('\0') == std::string_view::npos) continue;
        ASSERT_EQ(pwrite(fd.get(), part.data(), part.size(), static_cast<off_t>(at)), static_cast<ssize_t>(part.size()));
    }
    ASSERT_EQ(ftruncate(fd.get(), static_cast<off_t>(bytes.size())), 0);
}

struct stat stat_of(fs::path const& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

bool same_times(timespec a, timespec b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Sets the modification time well into the past, so that any write shows.
void age(fs::path const& path) {
    timespec const old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

// The calls of a traced run that create, write, flush or rename a file.
std::vector<std::string> changes_in(fs::path const& log) {
    std::vector<std::string> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("openat") ? line.find("O_CREAT") != std::string::npos : !line.starts_with("+++"))
            calls.push_back(line);
    }
    return calls;
}

bool can_trace() { return succeeded(run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"})); }

class InPlace : public CommandTest {
protected:
    // Runs `program` on the file `name` onto itself, under strace when it can.
    RunResult run_in_place(char const* program, std::string const& name, bool traced, fs::path const& log) {
        if (!traced) return run(program, {name, name});
        return run("/usr/bin/strace",
                   {"-qq", "-o", log.string(), "-e",
                    "trace=openat,creat,write,pwrite64,writev,copy_file_range,rename,renameat,renameat2,"
                    "fsync,fdatasync,unlinkat,linkat",
                    program, name, name},
                   {.extra_environment = {"ASAN_OPTIONS=detect_leaks=0"}});
    }
};

TEST_F(InPlace, EveryKindOfFileWithBothPrograms) {
    bool const traced = can_trace();
    fs::path const log = dir.path().parent_path() / (dir.path().filename().string() + ".strace");
    for (auto const& row : rows) {
        for (char const* program : {litconv_program, txtconv_program}) {
            bool const is_litconv = program == litconv_program;
            Outcome const outcome = is_litconv ? row.litconv : row.txtconv;
            std::string const label = std::string(fs::path(program).filename()) + ": " + row.what;

            // Into another file: always converted and written, even over a
            // file that already holds the same bytes, as make expects.
            write_file(dir / "source", row.input);
            EXPECT_TRUE(succeeded(run(program, {path("source"), path("other")}))) << label;
            std::string const converted = read_file(dir / "other");
            age(dir / "other");
            struct stat const before_other = stat_of(dir / "other");
            EXPECT_TRUE(succeeded(run(program, {path("source"), path("other")}))) << label;
            struct stat const after_other = stat_of(dir / "other");
            EXPECT_NE(after_other.st_ino, before_other.st_ino) << label;
            EXPECT_FALSE(same_times(after_other.st_mtim, before_other.st_mtim)) << label;
            EXPECT_TRUE(same_bytes(read_file(dir / "other"), converted)) << label;
            if (outcome == Outcome::untouched && is_litconv) {
                EXPECT_TRUE(same_bytes(converted, row.input)) << label;
            }
            if (outcome == Outcome::converted) {
                EXPECT_NE(converted, row.input) << label;
            }

            // In place, the file with a second name.
            if (row.sparse) {
                write_sparse(dir / "file", row.input);
            } else {
                write_file(dir / "file", row.input);
            }
            ASSERT_EQ(link(path("file").c_str(), path("link").c_str()), 0);
            age(dir / "file");
            struct stat const before = stat_of(dir / "file");
            bool const trace_this = traced && outcome == Outcome::untouched;
            RunResult const result = run_in_place(program, path("file"), trace_this, log);
            struct stat const after = stat_of(dir / "file");
            switch (outcome) {
            case Outcome::converted:
                EXPECT_TRUE(succeeded(result)) << label;
                EXPECT_TRUE(same_bytes(read_file(dir / "file"), converted)) << label;
                EXPECT_NE(after.st_ino, before.st_ino) << label;
                EXPECT_TRUE(same_bytes(read_file(dir / "link"), row.input)) << label;
                // txtconv's output differs from the first byte on, and is written whole.
                if (row.sparse && is_litconv) {
                    EXPECT_LE(after.st_blocks, before.st_blocks) << label;
                }
                break;
            case Outcome::untouched:
                EXPECT_TRUE(succeeded(result)) << label;
                break;
            case Outcome::already_utf8:
                EXPECT_TRUE(failed_with(result, already_utf8_message(path("file")))) << label;
                break;
            case Outcome::utf16:
                EXPECT_TRUE(failed_with(result, utf16_message(path("file")))) << label;
                break;
            case Outcome::not_code_page_932:
                EXPECT_TRUE(failed_with(result, not_code_page_932_message(path("file"), row.line))) << label;
                break;
            }
            if (outcome != Outcome::converted) {
                EXPECT_TRUE(same_bytes(read_file(dir / "file"), row.input)) << label;
                EXPECT_EQ(after.st_ino, before.st_ino) << label;
                EXPECT_EQ(after.st_nlink, 2u) << label;
                EXPECT_TRUE(same_times(after.st_mtim, before.st_mtim)) << label;
                EXPECT_TRUE(same_times(after.st_ctim, before.st_ctim)) << label;
            }
            if (trace_this) {
                EXPECT_EQ(changes_in(log), std::vector<std::string>{}) << label;
            }
            EXPECT_EQ(dir.entries(), (std::vector<std::string>{"file", "link", "other", "source"})) << label;
            for (char const* name : {"file", "link", "other", "source"}) fs::remove(dir / name);
            fs::remove(log);
        }
    }
}

// The temporary file is made only at the first difference, but a run that
// could not make it is still refused before it reads a byte.
TEST_F(InPlace, DirectoryThatTakesNoNewFile) {
    ASSERT_EQ(mkdir(path("locked").c_str(), 0755), 0);
    for (char const* program : {litconv_program, txtconv_program}) {
        write_file(dir / "locked/a.c", japanese_comment);
        UnwritableDirectory const locked(dir / "locked");
        if (locked.how.empty()) GTEST_SKIP() << "no way to make a directory unwritable here";
        std::string const name = path("locked/a.c");
        EXPECT_TRUE(failed_with(run(program, {name, name}), cannot_open(name))) << program << ' ' << locked.how;
        EXPECT_EQ(read_file(dir / "locked/a.c"), japanese_comment);
        EXPECT_EQ(entries_of(dir / "locked"), std::vector<std::string>{"a.c"});
    }
}

}  // namespace
