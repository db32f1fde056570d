// Both programs under failures: each run must end with the right message and
// status 1, leave an existing [out] as it was and no temporary file behind.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "command_support.hpp"

namespace {

using namespace command_test;

constexpr std::string_view old_content = "the output of an earlier run\n";

// About 1 MiB of text both programs turn into more than that.
std::string large_input() {
    std::string text;
    while (text.size() < (1 << 20)) text += "puts(\"\x93\xFA\x96\x7B\x8C\xEA\xB6\xC5\"); /* \x93\xFA\x96\x7B */\n";
    return text;
}

class FaultInjection : public CommandTest, public ::testing::WithParamInterface<char const*> {
protected:
    void SetUp() override {
        write_file(dir / "in", large_input());
        write_file(dir / "out", old_content);
    }

    RunResult convert(std::string const& in, std::string const& out, RunOptions const& options = {}) {
        return run(GetParam(), {in, out}, options);
    }

    // [out] as it was, and nothing new beside it.
    void expect_untouched(std::vector<std::string> const& entries = {"in", "out"}) {
        EXPECT_EQ(read_file(dir / "out"), old_content);
        EXPECT_EQ(dir.entries(), entries);
    }
};

TEST_P(FaultInjection, FullDevice) {
    EXPECT_TRUE(failed_with(convert(path("in"), "/dev/full"), cannot_write("/dev/full")));
    expect_untouched();
}

TEST_P(FaultInjection, DiskFillsUp) {
    // Nothing fits; the byte-order mark alone; half of the output.
    for (rlim_t const limit : {rlim_t{0}, rlim_t{3}, rlim_t{512 * 1024}}) {
        EXPECT_TRUE(failed_with(convert(path("in"), path("out"), {.file_size_limit = limit}), cannot_write(path("out"))))
            << limit;
        expect_untouched();
    }
}

TEST_P(FaultInjection, OutputDirectoryNotWritable) {
    ASSERT_EQ(mkdir(path("locked").c_str(), 0755), 0);
    write_file(dir / "locked/out", old_content);
    UnwritableDirectory const locked(dir / "locked");
    if (locked.how.empty()) GTEST_SKIP() << "no way to make a directory unwritable here (mode, immutable attribute, read-only bind mount)";
    RecordProperty("unwritable_by", locked.how);
    for (char const* name : {"locked/out", "locked/new"})
        EXPECT_TRUE(failed_with(convert(path("in"), path(name)), cannot_open(path(name)))) << locked.how;
    EXPECT_EQ(read_file(dir / "locked/out"), old_content);
    EXPECT_EQ(entries_of(dir / "locked"), std::vector<std::string>{"out"});
}

TEST_P(FaultInjection, OutputCannotBeCreated) {
    ASSERT_EQ(mkdir(path("directory").c_str(), 0755), 0);
    for (char const* name : {"missing/out", "directory", "out/"})
        EXPECT_TRUE(failed_with(convert(path("in"), path(name)), cannot_open(path(name)))) << name;
    EXPECT_TRUE(failed_with(convert(path("in"), ""), cannot_open("")));
    expect_untouched({"directory", "in", "out"});
}

TEST_P(FaultInjection, InputCannotBeOpened) {
    ASSERT_EQ(symlink("gone", path("dangling").c_str()), 0);
    for (char const* name : {"dangling", "missing"})
        EXPECT_TRUE(failed_with(convert(path(name), path("new")), cannot_open(path(name)))) << name;
    EXPECT_TRUE(failed_with(convert(path("dangling"), path("out")), cannot_open(path("dangling"))));
    expect_untouched({"dangling", "in", "out"});
}

TEST_P(FaultInjection, InputIsADirectory) {
    ASSERT_EQ(mkdir(path("directory").c_str(), 0755), 0);
    EXPECT_TRUE(failed_with(convert(path("directory"), path("out")), cannot_read(path("directory"))));
    expect_untouched({"directory", "in", "out"});
}

TEST_P(FaultInjection, InputShrinksWhileRead) {
    // The output is a FIFO that nobody reads yet, whose buffer is smaller than
    // the output of one block: once more than the byte-order mark is in it,
    // the program has read its first block and waits to write the rest.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    UniqueFd const reader(open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    fcntl(reader.get(), F_SETPIPE_SZ, 4096);
    Child child(GetParam(), {path("in"), path("fifo")});
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int queued = 0; ioctl(reader.get(), FIONREAD, &queued) == 0 && queued <= 3;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the program wrote nothing";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(truncate(path("in").c_str(), 100'000), 0);
    // Drain the FIFO until the program closes it.
    for (char buffer[65536]; std::chrono::steady_clock::now() < deadline;) {
        pollfd wait_for_data{reader.get(), POLLIN, 0};
        poll(&wait_for_data, 1, 1000);
        if (read(reader.get(), buffer, sizeof buffer) == 0) break;
    }
    EXPECT_TRUE(failed_with(child.wait(), cannot_read(path("in"))));
    expect_untouched({"fifo", "in", "out"});
}

TEST_P(FaultInjection, EndedBySignal) {
    // A FIFO as [in] holds the program in the middle of its output for as
    // long as the test likes. Each signal that can be caught removes the
    // temporary file and still ends the program; SIGKILL cannot be caught.
    struct Case {
        int signal;
        bool leaves_temporary_file;
    };
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (auto const [signal, leaves_temporary_file] :
         {Case{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGPIPE, false}, {SIGKILL, true}}) {
        Child child(GetParam(), {path("fifo"), path("out")});
        UniqueFd writer;
        ASSERT_TRUE(feed_fifo(dir / "fifo", large_input(), &writer));
        std::vector<std::string> const names = dir.entries();
        ASSERT_EQ(names.size(), 4u) << "a temporary file beside [out] while the program writes";
        EXPECT_TRUE(names[0].starts_with(".out.")) << names[0];
        EXPECT_GT(fs::file_size(dir / names[0]), 0u);
        ASSERT_EQ(kill(child.pid(), signal), 0);
        RunResult const result = child.wait();
        EXPECT_EQ(result.signal, signal);
        EXPECT_EQ(result.out, "");
        expect_untouched(leaves_temporary_file ? names : std::vector<std::string>{"fifo", "in", "out"});
        fs::remove(dir / names[0]);
    }
}

TEST_P(FaultInjection, IgnoredSignalStaysIgnored) {
    // Under nohup a hang-up must not end the run. Once the program has read
    // most of the input, its temporary file and its handlers are in place.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    Child child(GetParam(), {path("fifo"), path("out")}, {.ignored_signals = {SIGHUP}});
    UniqueFd writer;
    ASSERT_TRUE(feed_fifo(dir / "fifo", large_input(), &writer));
    ASSERT_EQ(dir.entries().size(), 4u);
    ASSERT_EQ(kill(child.pid(), SIGHUP), 0);
    writer = UniqueFd();
    EXPECT_TRUE(succeeded(child.wait()));
    EXPECT_GT(fs::file_size(dir / "out"), large_input().size());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "in", "out"}));
}

TEST_P(FaultInjection, SystemCallsThatFail) {
    if (!succeeded(run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"})))
        GTEST_SKIP() << "strace is missing or cannot trace here";
    struct Case {
        char const* label;
        std::vector<std::string> injections;  // each "call:how", made to fail as strace's inject= tells
        char const* file;                      // the file converted in place, or into "out"
        std::string content;
        bool acl;  // chmod 640, setfacl -m u:nobody:rw: the group has less than the ACL's mask, which the mode shows
        bool succeeds;    // else it fails with `failure`'s message, of [in] or of [out], and nothing changes
        std::string (*failure)(std::string_view);
    };
    std::string const utf8 = "const char*s=\"\xE3\x81\x82\";\n";  // refused in place, and garbled if converted
    std::string const cp932 = "puts(\"\x93\xFA\x96\x7B\");\n";
    std::vector<Case> cases = {
        // The run cannot tell which file it opened, nor then whether it is in place.
        {"fstat of [in], in place", {"newfstatat:error=EIO:when=1"}, "f.c", utf8, false, false, cannot_read},
        {"fstat of [in], into [out]", {"newfstatat:error=EIO:when=1"}, "out", cp932, false, false, cannot_read},
        // A FUSE file system that answers getxattr but not listxattr.
        {"no listing of attributes", {"listxattr:error=EOPNOTSUPP"}, "f.c", cp932, true, true, nullptr},
        {"no listing, the ACL refused", {"listxattr:error=EOPNOTSUPP", "fsetxattr:error=EPERM"}, "f.c", cp932, true,
         false, cannot_write},
        // NFS, or FUSE without rename2: the check and then the rename.
        {"no exchange of names", {"renameat2:error=EINVAL"}, "out", cp932, false, true, nullptr},
        {"no exchange of names, in place", {"renameat2:error=EINVAL"}, "f.c", cp932, true, true, nullptr},
    };
#ifdef __SANITIZE_ADDRESS__
    // Linked dynamically, a program's first fstat is the loader's, not that of [in].
    cases.erase(cases.begin(), cases.begin() + 2);
#endif
    for (auto const& c : cases) {
        write_file(dir / "f.c", c.content);
        fs::path const out = dir / c.file;
        ASSERT_EQ(chmod(out.c_str(), 0640), 0);
        if (c.acl) {
            ASSERT_TRUE(succeeded(run("/usr/bin/setfacl", {"-m", "u:nobody:rw", out.string()})));
        }
        std::string const before = read_file(out);
        struct stat before_status {}, after {};
        ASSERT_EQ(stat(out.c_str(), &before_status), 0);
        std::optional<std::string> const acl = attribute(out, "system.posix_acl_access");
        std::string trace = "trace=";
        std::vector<std::string> arguments = {"-qq", "-o", "/dev/null"};
        for (auto const& injection : c.injections) {
            trace.append(injection, 0, injection.find(':')).push_back(',');
            arguments.insert(arguments.end(), {"-e", "inject=" + injection});
        }
        trace.pop_back();
        arguments.insert(arguments.end(), {"-e", trace, GetParam(), path("f.c"), out.string()});
        RunResult const result = run("/usr/bin/strace", arguments, {.extra_environment = {"ASAN_OPTIONS=detect_leaks=0"}});
        if (c.succeeds) {
            EXPECT_TRUE(succeeded(result)) << c.label;
            EXPECT_NE(read_file(out), before) << c.label;
        } else {
            std::string const name = c.failure == cannot_read ? path("f.c") : out.string();
            EXPECT_TRUE(failed_with(result, c.failure(name))) << c.label;
            EXPECT_EQ(read_file(out), before) << c.label;
        }
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before_status.st_mode) << c.label;
        EXPECT_EQ(attribute(out, "system.posix_acl_access"), acl) << c.label;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.c", "in", "out"})) << c.label;
        write_file(dir / "out", old_content);
    }
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, FaultInjection, ::testing::Values(litconv_program, txtconv_program),
                         [](auto const& info) { return fs::path(info.param).filename().string(); });

}  // namespace
