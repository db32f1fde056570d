// Both programs while others act at the same time: files changed or swapped
// in the middle of a run, signals at every stage, links and files of other
// users in shared directories. A FIFO as [in] holds a run in the middle of
// its input for as long as a test likes; a FIFO as [out] holds it in the
// middle of its output; a permission event of fanotify (root) holds it at
// its first read of a regular file.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "command_support.hpp"

namespace {

using namespace command_test;

constexpr std::string_view old_content = "the output of an earlier run\n";
constexpr std::string_view source = "puts(\"\x93\xFA\x96\x7B\"); /* \x8C\xEA */\n";
constexpr uid_t nobody = 65534;

// More than a FIFO's buffer and a block of input: once a writer has put it
// all into the FIFO, the program has opened its output and read a block.
std::string large_input() {
    std::string text;
    while (text.size() < (256 << 10)) text += source;
    return text;
}

// Every file in `directory` and below it whose name begins with a dot: a
// temporary file left behind.
std::vector<std::string> hidden_files(fs::path const& directory) {
    std::vector<std::string> found;
    for (auto const& entry : fs::recursive_directory_iterator(directory))
        if (entry.path().filename().string().starts_with(".")) found.push_back(entry.path().string());
    return found;
}

std::optional<std::string> content_of(fs::path const& path) {
    if (!fs::is_regular_file(fs::symlink_status(path))) return std::nullopt;
    return read_file(path);
}

bool set_file_flag(fs::path const& path, int flag, bool on) {
    UniqueFd const fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | flag : flags & ~flag;
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// The setting of a sysctl, or -1 where it cannot be read.
int sysctl(char const* path) {
    std::ifstream in(path);
    int value = -1;
    in >> value;
    return value;
}

// Holds the first read of a file by any process until released: a
// permission event of fanotify, which the system waits on without limit.
// Needs root and a kernel with permission events.
class ReadGate {
public:
    explicit ReadGate(fs::path const& file)
        : fd_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)) {
        if (fd_ && fanotify_mark(fd_.get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, file.c_str()) != 0)
            fd_ = UniqueFd();
    }
    explicit operator bool() const { return static_cast<bool>(fd_); }

    // Waits for the first read, which stays held until release.
    bool wait_for_read() {
        pollfd ready{fd_.get(), POLLIN, 0};
        if (poll(&ready, 1, 10'000) != 1) return false;
        fanotify_event_metadata event;
        if (read(fd_.get(), &event, sizeof event) < static_cast<ssize_t>(sizeof event)) return false;
        if (event.fd >= 0) close(event.fd);
        return (event.mask & FAN_ACCESS_PERM) != 0;
    }
    // Closing the group lets every held read and every later one through.
    void release() { fd_ = UniqueFd(); }

private:
    UniqueFd fd_;
};

class RaceTest : public CommandTest, public ::testing::WithParamInterface<char const*> {
protected:
    std::string converted;        // what the program makes of `source`
    std::string converted_large;  // of large_input()

    void SetUp() override {
        converted = convert_file(GetParam(), source, "in", "converted");
        converted_large = convert_file(GetParam(), large_input(), "in", "converted");
        fs::remove(dir / "in");
        fs::remove(dir / "converted");
        ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    }
};

// ---- Held in the middle of its input: [out] and its directory changed ----

TEST_P(RaceTest, OutputOrItsDirectoryChangedMeanwhile) {
    struct Case {
        char const* label;
        char const* out;  // in the test's directory; made beforehand with the old content, unless "new"
        std::function<void(fs::path const&)> meanwhile;
        bool succeeds;
        std::vector<std::pair<char const*, std::optional<std::string>>> afterwards;  // file, content (none: absent)
    };
    auto const bait = [](fs::path const& at, mode_t mode) {
        write_file(at.parent_path() / "bait", "another user's file\n");
        chmod((at.parent_path() / "bait").c_str(), mode);
        fs::rename(at.parent_path() / "bait", at);
    };
    std::string const bait_text = "another user's file\n";
    std::vector<Case> const cases = {
        {"untouched", "out", [](fs::path const&) {}, true, {{"out", converted_large}}},
        {"another file renamed onto [out]", "out", [&](fs::path const& d) { bait(d / "out", 0644); }, false,
         {{"out", bait_text}}},
        {"[out] rewritten", "out", [](fs::path const& d) { write_file(d / "out", "edited\n"); }, false,
         {{"out", "edited\n"}}},
        {"[out] appended to",
         "out",
         [](fs::path const& d) { std::ofstream(d / "out", std::ios::app) << "more\n"; },
         false,
         {{"out", std::string(old_content) + "more\n"}}},
        {"[out] deleted", "out", [](fs::path const& d) { fs::remove(d / "out"); }, false, {{"out", std::nullopt}}},
        {"[out] made a directory",
         "out",
         [](fs::path const& d) {
             fs::remove(d / "out");
             fs::create_directory(d / "out");
         },
         false,
         {{"out", std::nullopt}}},
        {"a new [out] made by another", "new", [](fs::path const& d) { write_file(d / "new", "other\n"); }, true,
         {{"new", converted_large}}},
        {"directory swapped",
         "sub/out",
         [&](fs::path const& d) {
             fs::rename(d / "sub", d / "moved");
             fs::create_directory(d / "sub");
             bait(d / "sub/out", 04777);
         },
         false,
         {{"sub/out", bait_text}, {"moved/out", std::string(old_content)}}},
        {"directory swapped, new [out]",
         "sub/new",
         [](fs::path const& d) {
             fs::rename(d / "sub", d / "moved");
             fs::create_directory(d / "sub");
         },
         false,
         {{"sub/new", std::nullopt}, {"moved/new", std::nullopt}}},
    };
    for (auto const& c : cases) {
        TemporaryDirectory const here;
        fs::create_directory(here / "sub");
        fs::path const out = here / c.out;
        if (!fs::path(c.out).filename().string().starts_with("new")) write_file(out, old_content);
        Child child(GetParam(), {path("fifo"), out.string()});
        UniqueFd writer;
        ASSERT_TRUE(feed_fifo(dir / "fifo", large_input(), &writer)) << c.label;
        c.meanwhile(here.path());
        writer = UniqueFd();
        RunResult const result = child.wait();
        if (c.succeeds)
            EXPECT_TRUE(succeeded(result)) << c.label;
        else
            EXPECT_TRUE(failed_with(result, cannot_write(out.string()))) << c.label;
        for (auto const& [name, content] : c.afterwards) EXPECT_EQ(content_of(here / name), content) << c.label << ' ' << name;
        EXPECT_EQ(hidden_files(here.path()), std::vector<std::string>{}) << c.label;
    }
}

// ---- Held in the middle of its output: [in] changed ----

TEST_P(RaceTest, InputChangedWhileRead) {
    struct Case {
        char const* label;
        std::function<void(fs::path const&)> change;
    };
    std::vector<Case> const cases = {
        {"appended to", [](fs::path const& in) { std::ofstream(in, std::ios::app) << "int more;\n"; }},
        {"a byte overwritten", [](fs::path const& in) {
             std::fstream file(in, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(100);
             file.put('X');
         }},
        {"truncated", [](fs::path const& in) { fs::resize_file(in, 100'000); }},
        {"saved again whole, the same size", [](fs::path const& in) { write_file(in, std::string(fs::file_size(in), 'a')); }},
    };
    for (auto const& c : cases) {
        write_file(dir / "in", large_input());
        fs::remove(dir / "out");
        ASSERT_EQ(mkfifo(path("out").c_str(), 0600), 0);
        // The output is a FIFO that nobody reads yet, whose buffer is smaller
        // than the output of one block: once more than a few bytes are in
        // it, the program has read its first block and waits to write it.
        UniqueFd const reader(open(path("out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(reader);
        fcntl(reader.get(), F_SETPIPE_SZ, 4096);
        Child child(GetParam(), {path("in"), path("out")});
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int queued = 0; ioctl(reader.get(), FIONREAD, &queued) == 0 && queued <= 3;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the program wrote nothing";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        c.change(dir / "in");
        for (char buffer[65536]; std::chrono::steady_clock::now() < deadline;) {
            pollfd wait_for_data{reader.get(), POLLIN, 0};
            poll(&wait_for_data, 1, 1000);
            if (read(reader.get(), buffer, sizeof buffer) == 0) break;
        }
        EXPECT_TRUE(failed_with(child.wait(), cannot_read(path("in")))) << c.label;
    }
}

TEST_P(RaceTest, FileChangedDuringAnInPlaceRun) {
    struct Case {
        char const* label;
        std::function<void(fs::path const&)> change;
        std::string message;  // empty: the run succeeds
        std::string afterwards;
    };
    std::string const edited = "int edited;\n";
    std::vector<Case> const cases = {
        {"untouched", [](fs::path const&) {}, "", converted},
        // An editor that saves a new file and renames it over the old one:
        // the old file, which the run reads, loses its name, and with it
        // its status change time.
        {"saved by rename",
         [&](fs::path const& f) {
             write_file(f.string() + ".new", edited);
             fs::rename(f.string() + ".new", f);
         },
         cannot_read(path("f.c")), edited},
        {"saved in place", [&](fs::path const& f) { write_file(f, edited); }, cannot_read(path("f.c")), edited},
        {"appended to (>>)",
         [](fs::path const& f) { std::ofstream(f, std::ios::app) << "int more;\n"; },
         cannot_read(path("f.c")), std::string(source) + "int more;\n"},
    };
    for (auto const& c : cases) {
        write_file(dir / "f.c", source);
        ReadGate gate(dir / "f.c");
        if (!gate) GTEST_SKIP() << "no fanotify permission events here (needs root)";
        Child child(GetParam(), {path("f.c"), path("f.c")});
        ASSERT_TRUE(gate.wait_for_read()) << c.label;
        c.change(dir / "f.c");
        gate.release();
        RunResult const result = child.wait();
        if (c.message.empty())
            EXPECT_TRUE(succeeded(result)) << c.label;
        else
            EXPECT_TRUE(failed_with(result, c.message)) << c.label;
        EXPECT_EQ(read_file(dir / "f.c"), c.afterwards) << c.label;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.c", "fifo"})) << c.label;
    }
}

TEST_P(RaceTest, FileThatReportsMoreThanItHolds) {
    // sysfs reports 4096 bytes for every file.
    fs::path const sysfs = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (access(sysfs.c_str(), R_OK) != 0) GTEST_SKIP() << sysfs << " cannot be read here";
    ASSERT_EQ(fs::file_size(sysfs), 4096u);
    std::string const text = read_file(sysfs);
    EXPECT_TRUE(succeeded(run(GetParam(), {sysfs.string(), path("out")})));
    std::string const expected = convert_file(GetParam(), text, "copy", "expected");
    EXPECT_EQ(read_file(dir / "out"), expected);
}

// ---- Signals ----

// A core dump of the signals that make one would land in the test's
// directory.
void no_core_dumps() {
    rlimit const none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

TEST_P(RaceTest, EverySignalThatWouldEndTheRunRemovesTheTemporaryFile) {
    no_core_dumps();
    std::vector<int> const signals = {SIGQUIT, SIGALRM, SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF,  SIGXCPU,
                                      SIGTRAP, SIGSYS,  SIGSTKFLT, SIGPWR,  SIGIO,     SIGRTMIN, SIGRTMAX};
    for (int const s : signals) {
        std::signal(s, SIG_DFL);  // the child starts with what the test has
        write_file(dir / "out", old_content);
        Child child(GetParam(), {path("fifo"), path("out")});
        UniqueFd writer;
        ASSERT_TRUE(feed_fifo(dir / "fifo", large_input(), &writer)) << s;
        ASSERT_EQ(hidden_files(dir.path()).size(), 1u) << "a temporary file while the program writes";
        ASSERT_EQ(kill(child.pid(), s), 0);
        RunResult const result = child.wait();
        EXPECT_EQ(result.signal, s) << strsignal(s);
        EXPECT_EQ(read_file(dir / "out"), old_content) << strsignal(s);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "out"})) << strsignal(s);
    }
}

TEST_P(RaceTest, SignalIgnoredAtStartStaysIgnored) {
    for (int const s : {SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN}) {
        Child child(GetParam(), {path("fifo"), path("out")}, {.ignored_signals = {s}});
        UniqueFd writer;
        ASSERT_TRUE(feed_fifo(dir / "fifo", large_input(), &writer));
        ASSERT_EQ(hidden_files(dir.path()).size(), 1u);
        ASSERT_EQ(kill(child.pid(), s), 0);
        writer = UniqueFd();
        EXPECT_TRUE(succeeded(child.wait())) << strsignal(s);
        EXPECT_EQ(read_file(dir / "out"), converted_large) << strsignal(s);
        fs::remove(dir / "out");
    }
}

// LeakSanitizer, in a sanitized build, cannot work under ptrace.
constexpr char const* leaks_untraced = "ASAN_OPTIONS=detect_leaks=0";

TEST_P(RaceTest, SignalDuringOrAfterTheRenameLeavesASuccess) {
    if (!succeeded(run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"})))
        GTEST_SKIP() << "strace is missing or cannot trace here";
    struct Case {
        char const* calls;  // the signal comes as the program enters the first of them
        int signal;
        bool in_place;
    };
    std::vector<Case> const cases = {
        // Held off during the rename, the signal would come right after it.
        {"rename,renameat,renameat2", SIGINT, false},
        {"rename,renameat,renameat2", SIGTERM, true},
        {"rename,renameat,renameat2", SIGQUIT, true},
        {"fsync:when=2", SIGHUP, true},  // the directory's flush
        {"rename,renameat,renameat2", SIGUSR1, false},
    };
    no_core_dumps();
    for (auto const& c : cases) {
        write_file(dir / "in", source);
        write_file(dir / "out", old_content);
        std::string const out = c.in_place ? path("in") : path("out");
        std::string calls = c.calls;
        std::string const when = calls.find(':') == std::string::npos ? "" : calls.substr(calls.find(':'));
        calls = calls.substr(0, calls.find(':'));
        std::string const inject = "inject=" + calls + ":signal=" + std::to_string(c.signal) + (when.empty() ? ":when=1" : when);
        RunResult const result = run("/usr/bin/strace", {"-qq", "-o", "/dev/null", "-e", "trace=" + calls, "-e", inject,
                                                         GetParam(), path("in"), out},
                                     {.extra_environment = {leaks_untraced}});
        EXPECT_TRUE(succeeded(result)) << c.calls << ' ' << strsignal(c.signal);
        EXPECT_EQ(read_file(out), converted) << c.calls;
        EXPECT_EQ(hidden_files(dir.path()), std::vector<std::string>{}) << c.calls;
    }
}

// ---- Refused at open ----

TEST_P(RaceTest, DescriptorOfTheInputItself) {
    struct Case {
        char const* out;
        int number;
        int flags;
        bool through_standard_output;  // the message then lands in the file too
    };
    std::vector<Case> const cases = {
        {"/dev/stdout", 1, O_WRONLY | O_APPEND, true},  // litconv f.c /dev/stdout >> f.c
        {"/dev/fd/7", 7, O_RDWR, false},
        {"/proc/self/fd/7", 7, O_WRONLY | O_APPEND, false},
    };
    for (auto const& c : cases) {
        write_file(dir / "f.c", source);
        ASSERT_EQ(link(path("f.c").c_str(), path("hard").c_str()), 0);
        UniqueFd const fd(open(path("hard").c_str(), c.flags | O_CLOEXEC));  // another name, the same file
        ASSERT_TRUE(fd);
        RunResult const result = run(GetParam(), {path("f.c"), c.out}, {.descriptors = {{c.number, fd.get()}}});
        if (c.through_standard_output) {
            EXPECT_EQ(result.status, 1) << c.out;
            EXPECT_EQ(read_file(dir / "f.c"), std::string(source) + cannot_open(c.out)) << c.out;
        } else {
            EXPECT_TRUE(failed_with(result, cannot_open(c.out))) << c.out;
            EXPECT_EQ(read_file(dir / "f.c"), source) << c.out;
        }
        fs::remove(dir / "hard");
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.c", "fifo"}));
}

TEST_P(RaceTest, AppendOnlyDirectoryOrOutput) {
    struct Case {
        char const* flagged;  // given the append-only attribute
        char const* out;
        bool out_exists;
    };
    std::vector<Case> const cases = {
        {"d", "d/out", true},
        {"d", "d/new", false},
        {"d/out", "d/out", true},
    };
    write_file(dir / "in", source);
    for (auto const& c : cases) {
        fs::create_directory(dir / "d");
        if (c.out_exists) write_file(dir / c.out, old_content);
        if (!set_file_flag(dir / c.flagged, FS_APPEND_FL, true))
            GTEST_SKIP() << "the append-only attribute cannot be set on " << dir.path() << " (needs root and a file system that has it)";
        RunResult const result = run(GetParam(), {path("in"), path(c.out)});
        std::vector<std::string> const left = entries_of(dir / "d");
        set_file_flag(dir / c.flagged, FS_APPEND_FL, false);
        EXPECT_TRUE(failed_with(result, cannot_open(path(c.out)))) << c.flagged << ' ' << c.out;
        EXPECT_EQ(left, c.out_exists ? std::vector<std::string>{"out"} : std::vector<std::string>{}) << c.out;
        if (c.out_exists) {
            EXPECT_EQ(read_file(dir / c.out), old_content);
        }
        fs::remove_all(dir / "d");
    }
}

// Runs the program as nobody, without supplementary groups, through setpriv.
RunResult run_as_nobody(std::string const& program, std::vector<std::string> const& arguments) {
    std::vector<std::string> command = {"--reuid=" + std::to_string(nobody), "--regid=" + std::to_string(nobody),
                                        "--clear-groups", "--", program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return run("/usr/bin/setpriv", command);
}

TEST_P(RaceTest, OtherUsersFileInAStickyDirectory) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the program as another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    write_file(dir / "in", source);
    ASSERT_EQ(chmod(path("in").c_str(), 0644), 0);
    struct Case {
        uid_t directory_owner;
        uid_t file_owner;  // the file is world-writable
        bool replaced;     // else refused at open, the file kept
    };
    std::vector<Case> const cases = {
        {0, 0, false},  // /tmp and root's file: only the rename would have told
        {0, nobody, true},
        {nobody, 0, true},  // the directory's owner may replace any file in it
    };
    for (auto const& c : cases) {
        fs::create_directory(dir / "pub");
        ASSERT_EQ(chown(path("pub").c_str(), c.directory_owner, c.directory_owner), 0);
        ASSERT_EQ(chmod(path("pub").c_str(), 01777), 0);
        write_file(dir / "pub/out", old_content);
        ASSERT_EQ(chown(path("pub/out").c_str(), c.file_owner, c.file_owner), 0);
        ASSERT_EQ(chmod(path("pub/out").c_str(), 0666), 0);
        RunResult const result = run_as_nobody(GetParam(), {path("in"), path("pub/out")});
        if (c.replaced) {
            EXPECT_TRUE(succeeded(result)) << c.directory_owner << ' ' << c.file_owner;
            EXPECT_EQ(read_file(dir / "pub/out"), converted);
        } else {
            EXPECT_TRUE(failed_with(result, cannot_open(path("pub/out")))) << c.directory_owner << ' ' << c.file_owner;
            EXPECT_EQ(read_file(dir / "pub/out"), old_content);
        }
        EXPECT_EQ(entries_of(dir / "pub"), std::vector<std::string>{"out"});
        fs::remove_all(dir / "pub");
    }
}

TEST_P(RaceTest, LinkInAStickyDirectory) {
    // Whether the system follows another user's link there is its own
    // setting; the program must decide as the system does, whatever it is.
    int const protected_symlinks = sysctl("/proc/sys/fs/protected_symlinks");
    if (geteuid() != 0 || protected_symlinks < 0) GTEST_SKIP() << "needs root and fs.protected_symlinks";
    RecordProperty("protected_symlinks", protected_symlinks);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    write_file(dir / "in", source);
    struct Case {
        uid_t directory_owner;
        uid_t link_owner;
        bool dangling;
        bool followed_whatever_the_setting;
    };
    std::vector<Case> const cases = {
        {0, nobody, false, false},  // nobody's pub/report.txt -> root's private file
        {0, nobody, true, false},
        {0, 0, false, true},             // root's own link
        {nobody, nobody, false, true},  // the directory's owner's link
        {nobody, nobody, true, true},
    };
    for (auto const& c : cases) {
        std::string const label = std::to_string(c.directory_owner) + ' ' + std::to_string(c.link_owner) +
                                  (c.dangling ? " dangling" : "");
        fs::create_directory(dir / "pub");
        ASSERT_EQ(chown(path("pub").c_str(), c.directory_owner, c.directory_owner), 0);
        ASSERT_EQ(chmod(path("pub").c_str(), 01777), 0);
        if (!c.dangling) write_file(dir / "precious", old_content);
        ASSERT_EQ(symlink(path("precious").c_str(), path("pub/report.txt").c_str()), 0);
        ASSERT_EQ(lchown(path("pub/report.txt").c_str(), c.link_owner, c.link_owner), 0);
        bool const followed = c.followed_whatever_the_setting || protected_symlinks == 0;
        RunResult const result = run(GetParam(), {path("in"), path("pub/report.txt")});
        if (followed) {
            EXPECT_TRUE(succeeded(result)) << label;
            EXPECT_EQ(content_of(dir / "precious"), converted) << label;
        } else {
            EXPECT_TRUE(failed_with(result, cannot_open(path("pub/report.txt")))) << label;
            EXPECT_EQ(content_of(dir / "precious"),
                      c.dangling ? std::nullopt : std::optional<std::string>(old_content)) << label;
        }
        EXPECT_TRUE(fs::is_symlink(dir / "pub/report.txt")) << label;
        EXPECT_EQ(hidden_files(dir.path()), std::vector<std::string>{}) << label;
        fs::remove_all(dir / "pub");
        fs::remove(dir / "precious");
    }
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, RaceTest, ::testing::Values(litconv_program, txtconv_program),
                         [](auto const& info) { return fs::path(info.param).filename().string(); });

}  // namespace
