// Both programs while others act at the same time: files changed or swapped
// in the middle of a run, late signals, links and files of other users in
// shared directories. A FIFO as [in] holds a run in the middle of its input
// for as long as a test likes; a fanotify permission event (root) holds it
// at its first read of a regular file.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>

#include "command_support.hpp"

namespace {

using namespace command_test;

constexpr std::string_view old_content = "the output of an earlier run\n";
constexpr std::string_view source = "puts(\"\x93\xFA\x96\x7B\"); /* \x8C\xEA */\n";
constexpr uid_t nobody = 65534;
using Action = std::function<void(fs::path const&)>;

// More than a FIFO's buffer and a block: once a writer has put it all into
// the FIFO, the program has opened its output and waits for the rest.
std::string const large_input = [] {
    std::string text;
    while (text.size() < (256 << 10)) text += source;
    return text;
}();

// The files under `directory` whose names begin with a dot: temporary files left behind.
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

void append(fs::path const& file, std::string_view text) { std::ofstream(file, std::ios::app) << text; }

bool set_append_only(fs::path const& path, bool on) {
    UniqueFd const fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// A core dump of the signals that make one would land in the test's directory.
void no_core_dumps() {
    rlimit const none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

// Holds a read of a file (or its open, with FAN_OPEN_PERM) by any process
// until released: the system waits on a permission event of fanotify
// without limit.
class ReadGate {
public:
    explicit ReadGate(fs::path const& file, std::uint64_t events = FAN_ACCESS_PERM)
        : fd_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY)) {
        if (fd_ && fanotify_mark(fd_.get(), FAN_MARK_ADD, events, AT_FDCWD, file.c_str()) != 0) fd_ = UniqueFd();
    }
    explicit operator bool() const { return static_cast<bool>(fd_); }
    // Lets the first `passing` reads through, and returns once `processes`
    // more wait.
    bool wait_for_read(int passing = 0, int processes = 1) {
        for (int seen = 0; seen < passing + processes; ++seen) {
            pollfd ready{fd_.get(), POLLIN, 0};
            fanotify_event_metadata event{};
            if (poll(&ready, 1, 10'000) != 1 || read(fd_.get(), &event, sizeof event) != sizeof event) return false;
            fanotify_response const allow{event.fd, FAN_ALLOW};
            if (seen < passing && write(fd_.get(), &allow, sizeof allow) != sizeof allow) return false;
            if (event.fd >= 0) close(event.fd);
        }
        return true;
    }
    void release() { fd_ = UniqueFd(); }  // closing the group lets every read through

private:
    UniqueFd fd_;
};

class RaceTest : public CommandTest, public ::testing::WithParamInterface<char const*> {
protected:
    std::string converted = convert_file(GetParam(), source, "in", "converted");
    std::string converted_large = convert_file(GetParam(), large_input, "large", "converted");

    void SetUp() override {
        fs::remove(dir / "converted");
        fs::remove(dir / "large");
        ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    }

    // Returns once a run from the FIFO waits for the end of its input;
    // `writer` then holds it there.
    void hold(UniqueFd& writer) { ASSERT_TRUE(feed_fifo(dir / "fifo", large_input, &writer)); }
};

TEST_P(RaceTest, OutputOrItsDirectoryChangedMeanwhile) {
    struct Case {
        char const* label;
        char const* out;  // made with the old content beforehand, unless named "new"
        Action meanwhile;
        bool succeeds;
        std::vector<std::pair<char const*, std::optional<std::string>>> afterwards;  // no content: absent
    };
    std::string const bait = "another user's file\n";
    auto const put_bait = [&](fs::path const& at) {
        write_file(at.parent_path() / "bait", bait);
        chmod((at.parent_path() / "bait").c_str(), 04777);
        fs::rename(at.parent_path() / "bait", at);
    };
    auto const swap_directory = [](fs::path const& d) {
        fs::rename(d / "sub", d / "moved");
        fs::create_directory(d / "sub");
    };
    std::vector<Case> const cases = {
        {"untouched", "out", [](auto&) {}, true, {{"out", converted_large}}},
        {"another file renamed onto it", "out", [&](auto& d) { put_bait(d / "out"); }, false, {{"out", bait}}},
        {"rewritten", "out", [](auto& d) { write_file(d / "out", "edited\n"); }, false, {{"out", "edited\n"}}},
        {"appended to", "out", [](auto& d) { append(d / "out", "more\n"); }, false,
         {{"out", std::string(old_content) + "more\n"}}},
        {"deleted", "out", [](auto& d) { fs::remove(d / "out"); }, false, {{"out", std::nullopt}}},
        {"made a directory", "out", [](auto& d) { fs::remove(d / "out"), fs::create_directory(d / "out"); }, false,
         {{"out", std::nullopt}}},
        {"a new one made by another", "new", [](auto& d) { write_file(d / "new", "x\n"); }, true,
         {{"new", converted_large}}},
        {"directory swapped", "sub/out", [&](auto& d) { swap_directory(d), put_bait(d / "sub/out"); }, false,
         {{"sub/out", bait}, {"moved/out", std::string(old_content)}}},
        {"directory swapped, a new one", "sub/new", swap_directory, false,
         {{"sub/new", std::nullopt}, {"moved/new", std::nullopt}}},
    };
    for (auto const& c : cases) {
        TemporaryDirectory const here;
        fs::create_directory(here / "sub");
        fs::path const out = here / c.out;
        if (out.filename() != "new") write_file(out, old_content);
        Child child(GetParam(), {path("fifo"), out.string()});
        UniqueFd writer;
        hold(writer);
        c.meanwhile(here.path());
        writer = UniqueFd();
        RunResult const result = child.wait();
        EXPECT_TRUE(c.succeeds ? succeeded(result) : failed_with(result, cannot_write(out.string()))) << c.label;
        for (auto const& [name, content] : c.afterwards) EXPECT_EQ(content_of(here / name), content) << c.label << ' ' << name;
        EXPECT_EQ(hidden_files(here.path()), std::vector<std::string>{}) << c.label;
    }
}

TEST_P(RaceTest, FileChangedDuringAnInPlaceRun) {
    struct Case {
        char const* label;
        Action change;
        bool succeeds;  // else it fails with `failure`'s message
        std::string afterwards;
        std::uint64_t held_at = FAN_ACCESS_PERM;  // a read, or the open
        int passing = 0;                           // reads let through before the one held
        std::string (*failure)(std::string_view) = cannot_read;
    };
    std::string const edited = "int edited;\n";
    auto const save_by_rename = [&](fs::path const& f) { write_file(f.string() + "~", edited), fs::rename(f.string() + "~", f); };
    std::vector<Case> const cases = {
        {"untouched", [](auto&) {}, true, converted},
        {"saved in place", [&](auto& f) { write_file(f, edited); }, false, edited},
        {"appended to (>>)", [](auto& f) { append(f, "int more;\n"); }, false, std::string(source) + "int more;\n"},
        // The old file, which the run reads, loses its name and with it its
        // status change time.
        {"saved by rename", save_by_rename, false, edited},
        // Before the run could ask which file it opened: the name leads to
        // another by then.
        {"saved by rename while opened", save_by_rename, false, edited, FAN_OPEN_PERM},
        // The run has read the file to its end (two reads) and compares its
        // output with it: all that is left is to put the new file in place.
        {"saved by rename after it was read", save_by_rename, false, edited, FAN_ACCESS_PERM, 2, cannot_write},
    };
    for (auto const& c : cases) {
        write_file(dir / "f.c", source);
        ReadGate gate(dir / "f.c", c.held_at);
        if (!gate) GTEST_SKIP() << "no fanotify permission events here (needs root)";
        Child child(GetParam(), {path("f.c"), path("f.c")});
        ASSERT_TRUE(gate.wait_for_read(c.passing)) << c.label;
        c.change(dir / "f.c");
        gate.release();
        RunResult const result = child.wait();
        EXPECT_TRUE(c.succeeds ? succeeded(result) : failed_with(result, c.failure(path("f.c")))) << c.label;
        EXPECT_EQ(read_file(dir / "f.c"), c.afterwards) << c.label;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.c", "fifo", "in"})) << c.label;
    }
}

TEST_P(RaceTest, TwoRunsInPlaceOnOneFile) {
    // Both are held at their first read; once let go, they replace the
    // file at about the same moment. The first to do so wins.
    char const* const other = GetParam() == std::string_view(litconv_program) ? txtconv_program : litconv_program;
    std::string const converted_by_other = convert_file(other, source, "in", "by other");
    fs::remove(dir / "by other");
    write_file(dir / "f.c", source);
    ReadGate gate(dir / "f.c");
    if (!gate) GTEST_SKIP() << "no fanotify permission events here (needs root)";
    Child first(GetParam(), {path("f.c"), path("f.c")});
    Child second(other, {path("f.c"), path("f.c")});
    ASSERT_TRUE(gate.wait_for_read(0, 2));
    gate.release();
    RunResult const results[] = {first.wait(), second.wait()};
    bool const first_won = succeeded(results[0]);
    // The loser finds the file replaced at the end of its input, or when
    // it would replace it.
    RunResult const& lost = results[first_won ? 1 : 0];
    EXPECT_TRUE(failed_with(lost, cannot_read(path("f.c"))) || failed_with(lost, cannot_write(path("f.c"))));
    EXPECT_TRUE(first_won || succeeded(results[1]));
    EXPECT_EQ(read_file(dir / "f.c"), first_won ? converted : converted_by_other);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.c", "fifo", "in"}));
}

TEST_P(RaceTest, FileThatReportsMoreThanItHolds) {
    fs::path const sysfs = "/sys/kernel/mm/transparent_hugepage/enabled";  // 4096 bytes, says sysfs
    if (access(sysfs.c_str(), R_OK) != 0) GTEST_SKIP() << sysfs << " cannot be read here";
    std::string const expected = convert_file(GetParam(), read_file(sysfs), "copy", "expected");
    EXPECT_TRUE(succeeded(run(GetParam(), {sysfs.string(), path("out")})));
    EXPECT_EQ(read_file(dir / "out"), expected);
}

TEST_P(RaceTest, EverySignalThatWouldEndTheRun) {
    no_core_dumps();
    struct Case {
        int signal;
        bool ignored_at_start;  // then it stays ignored and the run succeeds
    };
    std::vector<Case> const cases = {
        {SIGQUIT, false}, {SIGALRM, false}, {SIGUSR1, false},   {SIGUSR2, false},  {SIGVTALRM, false},
        {SIGPROF, false}, {SIGXCPU, false}, {SIGTRAP, false},   {SIGSYS, false},   {SIGSTKFLT, false},
        {SIGPWR, false},  {SIGIO, false},   {SIGRTMIN, false},  {SIGRTMAX, false}, {SIGQUIT, true},
        {SIGUSR1, true},  {SIGALRM, true},  {SIGRTMIN, true},
    };
    for (auto const [signal, ignored] : cases) {
        std::signal(signal, SIG_DFL);  // the child starts with what the test has
        write_file(dir / "out", old_content);
        Child child(GetParam(), {path("fifo"), path("out")}, {.ignored_signals = ignored ? std::vector{signal} : std::vector<int>{}});
        UniqueFd writer;
        hold(writer);
        ASSERT_EQ(hidden_files(dir.path()).size(), 1u) << "a temporary file while the program writes";
        ASSERT_EQ(kill(child.pid(), signal), 0);
        writer = UniqueFd();
        RunResult const result = child.wait();
        EXPECT_EQ(result.signal, ignored ? 0 : signal) << strsignal(signal);
        EXPECT_EQ(read_file(dir / "out"), ignored ? converted_large : std::string(old_content)) << strsignal(signal);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "in", "out"})) << strsignal(signal);
    }
}

TEST_P(RaceTest, SignalBeforeDuringOrAfterTheReplacement) {
    if (!succeeded(run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"})))
        GTEST_SKIP() << "strace is missing or cannot trace here";
    no_core_dumps();
    struct Case {
        char const* calls;  // the signal comes as the program enters the first of them
        int signal;
        bool in_place;
        bool ends_it = false;         // else the run succeeds
        bool ignored_at_start = false;
    };
    char const* const rename = "rename,renameat,renameat2:when=1";  // held off, it would come right after
    // Into a temporary file, from a small file: held off until the end of the run.
    char const* const write = "write:when=1";
    std::vector<Case> const cases = {
        {rename, SIGINT, false}, {rename, SIGUSR1, false}, {rename, SIGTERM, true}, {rename, SIGQUIT, true},
        {"fsync:when=2", SIGHUP, true},  // the directory's flush
        {write, SIGTERM, false, true}, {write, SIGRTMIN, true, true}, {write, SIGUSR1, false, false, true},
    };
    for (auto const& c : cases) {
        write_file(dir / "in", source);
        write_file(dir / "out", old_content);
        std::string const out = path(c.in_place ? "in" : "out");
        std::string const calls(c.calls, std::strchr(c.calls, ':'));
        std::string const inject = "inject=" + calls + ":signal=" + std::to_string(c.signal) + std::strchr(c.calls, ':');
        RunResult const result = run("/usr/bin/strace", {"-qq", "-o", "/dev/null", "-e", "trace=" + calls, "-e", inject,
                                                         GetParam(), path("in"), out},
                                     {.extra_environment = {"ASAN_OPTIONS=detect_leaks=0"},  // none under ptrace
                                      .ignored_signals = c.ignored_at_start ? std::vector{c.signal} : std::vector<int>{}});
        if (c.ends_it) {
            EXPECT_EQ(result.signal, c.signal) << c.calls << ' ' << strsignal(c.signal);
            EXPECT_EQ(read_file(out), c.in_place ? std::string(source) : std::string(old_content)) << c.calls;
        } else {
            EXPECT_TRUE(succeeded(result)) << c.calls << ' ' << strsignal(c.signal);
            EXPECT_EQ(read_file(out), converted) << c.calls;
        }
        EXPECT_EQ(hidden_files(dir.path()), std::vector<std::string>{}) << c.calls;
    }
}

// Runs the program as nobody, without supplementary groups, through setpriv.
std::vector<std::string> as_nobody(std::string const& program, std::vector<std::string> const& arguments) {
    std::vector<std::string> command = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

TEST_P(RaceTest, RefusedAtOpenWhatOnlyTheRenameWouldRefuse) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, to set the append-only attribute and run as another user (setpriv)";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    struct Case {
        char const* label;
        Action setup;  // of the directory "d", which holds "out"
        char const* out;
        bool as_nobody;
        bool refused;
    };
    auto const owned = [](fs::path const& p, uid_t user, mode_t mode) { chown(p.c_str(), user, user), chmod(p.c_str(), mode); };
    std::vector<Case> const cases = {
        {"append-only directory", [](auto& d) { set_append_only(d, true); }, "d/out", false, true},
        {"append-only directory, a new file", [](auto& d) { set_append_only(d, true); }, "d/new", false, true},
        {"append-only file", [](auto& d) { set_append_only(d / "out", true); }, "d/out", false, true},
        // /tmp and root's world-writable file
        {"sticky, another user's file", [&](auto& d) { owned(d, 0, 01777), owned(d / "out", 0, 0666); }, "d/out", true, true},
        {"sticky, the user's own file", [&](auto& d) { owned(d, 0, 01777), owned(d / "out", nobody, 0666); }, "d/out", true, false},
        {"sticky, the user's own directory", [&](auto& d) { owned(d, nobody, 01777), owned(d / "out", 0, 0666); }, "d/out", true, false},
    };
    fs::create_directory(dir / "d");
    if (!set_append_only(dir / "d", true)) GTEST_SKIP() << "no append-only attribute on " << dir.path();
    set_append_only(dir / "d", false);
    fs::remove(dir / "d");
    for (auto const& c : cases) {
        fs::create_directory(dir / "d");
        write_file(dir / "d/out", old_content);
        c.setup(dir / "d");
        std::vector<std::string> const arguments = {path("in"), path(c.out)};
        RunResult const result = c.as_nobody ? run("/usr/bin/setpriv", as_nobody(GetParam(), arguments)) : run(GetParam(), arguments);
        set_append_only(dir / "d", false);
        set_append_only(dir / "d/out", false);
        EXPECT_TRUE(c.refused ? failed_with(result, cannot_open(path(c.out))) : succeeded(result)) << c.label;
        EXPECT_EQ(read_file(dir / "d/out"), c.refused ? std::string(old_content) : converted) << c.label;
        EXPECT_EQ(entries_of(dir / "d"), std::vector<std::string>{"out"}) << c.label;
        fs::remove_all(dir / "d");
    }
}

TEST_P(RaceTest, DescriptorOfTheInputItself) {
    struct Case {
        char const* out;
        int number;
        int flags;
    };
    std::vector<Case> const cases = {
        {"/dev/stdout", 1, O_WRONLY | O_APPEND},  // litconv f.c /dev/stdout >> f.c
        {"/dev/fd/7", 7, O_RDWR},
        {"/proc/self/fd/7", 7, O_WRONLY | O_APPEND},
    };
    for (auto const& c : cases) {
        write_file(dir / "f.c", source);
        ASSERT_EQ(link(path("f.c").c_str(), path("hard").c_str()), 0);
        UniqueFd const fd(open(path("hard").c_str(), c.flags | O_CLOEXEC));  // the same file by another name
        RunResult const result = run(GetParam(), {path("f.c"), c.out}, {.descriptors = {{c.number, fd.get()}}});
        // Where standard output is the file, the message goes to standard error.
        EXPECT_TRUE(failed_with(c.number == 1 ? on_standard_error(result) : result, cannot_open(c.out))) << c.out;
        EXPECT_EQ(read_file(dir / "f.c"), source) << c.out;
        fs::remove(dir / "hard");
    }
}

TEST_P(RaceTest, LinkInAStickyDirectory) {
    // Whether the system follows another user's link there is its own
    // setting; the program must decide as the system does.
    std::ifstream setting("/proc/sys/fs/protected_symlinks");
    int protected_symlinks = -1;
    setting >> protected_symlinks;
    if (geteuid() != 0 || protected_symlinks < 0) GTEST_SKIP() << "needs root and fs.protected_symlinks";
    RecordProperty("protected_symlinks", protected_symlinks);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    struct Case {
        uid_t directory_owner;
        uid_t link_owner;
        bool dangling;
        bool followed;  // where protected_symlinks is on; else every link is
    };
    std::vector<Case> const cases = {
        {0, nobody, false, false},  // nobody's pub/report.txt -> root's file
        {0, nobody, true, false},   {0, 0, false, true},  {nobody, nobody, false, true}, {nobody, nobody, true, true},
    };
    for (auto const& c : cases) {
        std::string const label = std::to_string(c.directory_owner) + ' ' + std::to_string(c.link_owner) + (c.dangling ? " dangling" : "");
        fs::create_directory(dir / "pub");
        ASSERT_EQ(chown(path("pub").c_str(), c.directory_owner, c.directory_owner), 0);
        ASSERT_EQ(chmod(path("pub").c_str(), 01777), 0);
        if (!c.dangling) write_file(dir / "precious", old_content);
        ASSERT_EQ(symlink(path("precious").c_str(), path("pub/report.txt").c_str()), 0);
        ASSERT_EQ(lchown(path("pub/report.txt").c_str(), c.link_owner, c.link_owner), 0);
        // The test, root too, asks the system itself.
        UniqueFd const kernel_follows(open(path("pub/report.txt").c_str(), O_PATH | O_CLOEXEC));
        bool const followed = kernel_follows || errno == ENOENT;
        EXPECT_EQ(followed, c.followed || protected_symlinks == 0) << label;
        RunResult const result = run(GetParam(), {path("in"), path("pub/report.txt")});
        if (followed) {
            EXPECT_TRUE(succeeded(result)) << label;
            EXPECT_EQ(content_of(dir / "precious"), converted) << label;
        } else {
            EXPECT_TRUE(failed_with(result, cannot_open(path("pub/report.txt")))) << label;
            EXPECT_EQ(content_of(dir / "precious"), c.dangling ? std::nullopt : std::optional<std::string>(old_content)) << label;
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
