// Running litconv and txtconv as child processes, and the files around them.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace command_test {

namespace fs = std::filesystem;

inline constexpr char const* litconv_program = LITCONV_PATH;
inline constexpr char const* txtconv_program = TXTCONV_PATH;
inline constexpr char const* source_directory = SOURCE_DIRECTORY;

// A file descriptor that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct RunOptions {
    std::string lang = "C";                        // the child's only locale variable
    std::vector<std::string> extra_environment{};  // "NAME=value"
    std::optional<rlim_t> file_size_limit{};       // RLIMIT_FSIZE, with SIGXFSZ ignored
    std::optional<mode_t> umask{};
    fs::path working_directory{};                  // empty: the test's own
    // Descriptors of the test handed to the child: {number in the child,
    // descriptor}. They may take the place of standard output.
    std::vector<std::pair<int, int>> descriptors{};
    std::vector<int> ignored_signals{};  // as nohup leaves SIGHUP
};

struct RunResult {
    int status = -1;  // exit status; -1 when a signal ended the child
    int signal = 0;   // the signal that ended it
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// A running program whose standard input is /dev/null and whose standard
// output and error are captured. A child still running when this goes out
// of scope is killed.
class Child {
public:
    Child(std::string const& program, std::vector<std::string> const& arguments, RunOptions const& options = {});
    Child(Child const&) = delete;
    Child& operator=(Child const&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Reads both outputs to their end and reaps the child.
    RunResult wait();

private:
    pid_t pid_ = -1;
    UniqueFd out_, err_;
};

inline RunResult run(std::string const& program, std::vector<std::string> const& arguments,
                     RunOptions const& options = {}) {
    return Child(program, arguments, options).wait();
}

// The messages of a failed run, for a file named `name`.
std::string cannot_open(std::string_view name);
std::string cannot_read(std::string_view name);
std::string cannot_write(std::string_view name);

// Exit status 1, exactly `message` on standard output, nothing on standard error.
::testing::AssertionResult failed_with(RunResult const& result, std::string_view message);
// The same with standard output and standard error exchanged, for a
// failed_with that expects the message on standard error.
RunResult on_standard_error(RunResult result);
// Exit status 0 and no output at all.
::testing::AssertionResult succeeded(RunResult const& result);
// Byte-for-byte equality that reports the first difference instead of both
// (possibly huge) strings.
::testing::AssertionResult same_bytes(std::string_view actual, std::string_view expected);

// The whole content of a file; a failure (and "") when it cannot be read.
std::string read_file(fs::path const& path);
void write_file(fs::path const& path, std::string_view bytes);

// Converts with iconv(3); nothing when the input is not valid in `from`.
class Iconv {
public:
    Iconv(char const* from, char const* to);
    Iconv(Iconv const&) = delete;
    Iconv& operator=(Iconv const&) = delete;
    ~Iconv();
    std::optional<std::string> operator()(std::string_view in) const;

private:
    iconv_t cd_;
};

// The UTF-8 form of one code point.
std::string utf8(char32_t cp);

// Writes `bytes` into a FIFO once a reader has opened it, through a buffer
// of one page, so that the reader gets them in small pieces. False when no
// reader comes within ten seconds or the reader goes away. With `kept`, the
// FIFO stays open for writing (the reader sees no end of file) and its
// descriptor is handed over; otherwise it is closed.
bool feed_fifo(fs::path const& path, std::string_view bytes, UniqueFd* kept = nullptr);

// The value of an extended attribute, or nothing where the file has none.
std::optional<std::string> attribute(fs::path const& path, char const* name);

// The names in a directory, sorted.
std::vector<std::string> entries_of(fs::path const& directory);

// A fresh directory, removed with everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    TemporaryDirectory(TemporaryDirectory const&) = delete;
    TemporaryDirectory& operator=(TemporaryDirectory const&) = delete;
    ~TemporaryDirectory();

    fs::path const& path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }
    // What a run left behind.
    std::vector<std::string> entries() const { return entries_of(path_); }

private:
    fs::path path_;
};

// Makes a directory refuse new entries, also to root, for as long as it
// lives: by its mode, else by the immutable attribute, else by a read-only
// bind mount in a mount namespace of this process's own. `how` is empty
// when nothing worked.
class UnwritableDirectory {
public:
    explicit UnwritableDirectory(fs::path directory);
    UnwritableDirectory(UnwritableDirectory const&) = delete;
    UnwritableDirectory& operator=(UnwritableDirectory const&) = delete;
    ~UnwritableDirectory();

    std::string how;

private:
    fs::path directory_;
    bool immutable_ = false;
    bool mounted_ = false;
};

// Each test gets a directory of its own.
class CommandTest : public ::testing::Test {
protected:
    TemporaryDirectory dir;
    std::string path(std::string_view name) const { return (dir / name).string(); }

    // Converts `input` with `program` from the file `in_name` to the file
    // `out_name` in the test's directory and returns the output.
    std::string convert_file(std::string const& program, std::string_view input, std::string_view in_name,
                             std::string_view out_name) {
        write_file(dir / in_name, input);
        EXPECT_TRUE(succeeded(run(program, {path(in_name), path(out_name)})));
        return read_file(dir / out_name);
    }
};

}  // namespace command_test
