// Both programs replacing [out]: what the new file keeps of the old one,
// what a new file gets, descriptors as [out], long paths, and the flush of
// an in-place run.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>

#include "command_support.hpp"

namespace {

using namespace command_test;

constexpr std::string_view source = "puts(\"\x93\xFA\x96\x7B\"); /* \x8C\xEA */\n";
constexpr uid_t nobody = 65534;
constexpr gid_t users = 100;

class OutputTest : public CommandTest, public ::testing::WithParamInterface<char const*> {
protected:
    std::string converted;  // what the program makes of `source`

    void SetUp() override {
        write_file(dir / "in", source);
        converted = convert_file(GetParam(), source, "in", "converted");
        fs::remove(dir / "converted");
    }

    RunResult convert(std::string const& out, RunOptions const& options = {}) {
        return run(GetParam(), {path("in"), out}, options);
    }
};

struct stat stat_of(fs::path const& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// ---- Descriptors as [out] ----

// What a file holding `before` holds after `text` is written at `offset`.
std::string written_at(std::string before, std::size_t offset, std::string_view text) {
    before.resize(std::max(before.size(), offset + text.size()));
    return before.replace(offset, text.size(), text);
}

TEST_P(OutputTest, DescriptorIsWrittenWhereItStands) {
    struct Case {
        std::string name;      // [out]
        int number;            // the descriptor in the child
        int flags;             // how the test opens the file behind it
        std::size_t offset;    // where the descriptor stands
    };
    std::string const before = "HEADER\n" + std::string(200, '.') + "\n";
    ASSERT_EQ(symlink("/dev/stdout", path("to-stdout").c_str()), 0);
    ASSERT_EQ(symlink("to-stdout", path("to-link").c_str()), 0);
    std::vector<Case> const cases = {
        {"/dev/stdout", 1, O_WRONLY | O_APPEND, before.size()},  // >> log
        {"/dev/stdout", 1, O_WRONLY, 7},                         // { echo HEADER; litconv …; } > all
        {"/dev/stderr", 2, O_WRONLY, 0},
        {"/dev/fd/7", 7, O_RDWR, 7},
        {"/proc/self/fd/7", 7, O_RDWR, 0},
        {path("to-link"), 1, O_WRONLY | O_APPEND, before.size()},  // a chain of links to one
    };
    for (auto const& c : cases) {
        write_file(dir / "file", before);
        UniqueFd const fd(open(path("file").c_str(), c.flags | O_CLOEXEC));
        ASSERT_TRUE(fd);
        ASSERT_EQ(lseek(fd.get(), static_cast<off_t>(c.offset), SEEK_SET), static_cast<off_t>(c.offset));
        RunResult const result = convert(c.name, {.descriptors = {{c.number, fd.get()}}});
        EXPECT_EQ(result.status, 0) << c.name << ' ' << result.out;
        std::string const expected =
            (c.flags & O_APPEND) ? before + converted : written_at(before, c.offset, converted);
        EXPECT_TRUE(same_bytes(read_file(dir / "file"), expected)) << c.name;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"file", "in", "to-link", "to-stdout"})) << c.name;
    }
}

TEST_P(OutputTest, DeletedFileBehindADescriptor) {
    UniqueFd const fd(open(path("v").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(unlink(path("v").c_str()), 0);
    EXPECT_TRUE(succeeded(convert("/proc/self/fd/7", {.descriptors = {{7, fd.get()}}})));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    std::string content(converted.size() + 1, '\0');
    content.resize(static_cast<std::size_t>(std::max<ssize_t>(0, pread(fd.get(), content.data(), content.size(), 0))));
    EXPECT_EQ(content, converted);
}

TEST_P(OutputTest, DescriptorThatCannotTakeTheOutput) {
    UniqueFd const read_only(open(path("in").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd const full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(read_only && full);
    struct Case {
        char const* name;
        std::vector<std::pair<int, int>> descriptors;
        std::string message;
        bool on_standard_error = false;  // standard output is [out]
    };
    std::vector<Case> const cases = {
        {"/dev/stdin", {}, cannot_open("/dev/stdin")},  // /dev/null, read only
        {"/dev/fd/7", {}, cannot_open("/dev/fd/7")},    // not open
        {"/dev/fd/7", {{7, read_only.get()}}, cannot_open("/dev/fd/7")},
        {"/proc/self/fd/7", {{7, full.get()}}, cannot_write("/proc/self/fd/7")},
        {"/dev/stdout", {{1, full.get()}}, cannot_write("/dev/stdout"), true},  // where the message is not lost
    };
    for (auto const& c : cases) {
        RunResult const result = convert(c.name, {.descriptors = c.descriptors});
        EXPECT_TRUE(failed_with(c.on_standard_error ? on_standard_error(result) : result, c.message)) << c.name;
    }
    EXPECT_EQ(read_file(dir / "in"), source);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
}

// ---- Extended attributes and ACLs ----

// An ACL as the kernel keeps it in system.posix_acl_access and
// system.posix_acl_default: a version, then entries sorted by tag and id.
struct AclEntry {
    std::uint16_t tag, permissions;
    std::uint32_t id = static_cast<std::uint32_t>(-1);
};
enum : std::uint16_t { user_obj = 1, named_user = 2, group_obj = 4, mask = 0x10, other = 0x20 };

std::string acl(std::vector<AclEntry> const& entries) {
    std::string blob(4 + 8 * entries.size(), '\0');
    std::uint32_t const version = 2;
    std::memcpy(blob.data(), &version, 4);
    for (std::size_t k = 0; k < entries.size(); ++k) {
        std::memcpy(blob.data() + 4 + 8 * k, &entries[k].tag, 2);
        std::memcpy(blob.data() + 6 + 8 * k, &entries[k].permissions, 2);
        std::memcpy(blob.data() + 8 + 8 * k, &entries[k].id, 4);
    }
    return blob;
}

// chmod 600; setfacl -m u:nobody:r
std::string const private_acl = acl({{user_obj, 6}, {named_user, 4, nobody}, {group_obj, 0}, {mask, 4}, {other, 0}});
// setfacl -d -m u:nobody:rwx
std::string const default_acl = acl({{user_obj, 7}, {named_user, 7, nobody}, {group_obj, 5}, {mask, 7}, {other, 5}});

bool set_attribute(fs::path const& path, char const* name, std::string_view value) {
    return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

TEST_P(OutputTest, ReplacementKeepsAccessRulesAndAttributes) {
    ASSERT_EQ(mkdir(path("inheriting").c_str(), 0755), 0);
    if (!set_attribute(dir / "inheriting", "system.posix_acl_default", default_acl) ||
        !set_attribute(dir / "in", "user.probe", "1"))
        GTEST_SKIP() << "no ACLs or user attributes on " << dir.path();
    struct Case {
        char const* out;
        mode_t mode;
        std::optional<std::string> access_acl;
    };
    std::vector<Case> const cases = {
        {"out", 0600, private_acl},          // the ACL stays; the group gets no access from the mask
        {"out", 04750, std::nullopt},        // the mode, special bits too
        {"inheriting/out", 0640, std::nullopt},  // no ACL from the directory's default
        {"inheriting/out", 0600, private_acl},
    };
    for (auto const& c : cases) {
        fs::path const out = dir / c.out;
        write_file(out, "old\n");
        ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
        if (!c.access_acl) removexattr(out.c_str(), "system.posix_acl_access");
        ASSERT_TRUE(!c.access_acl || set_attribute(out, "system.posix_acl_access", *c.access_acl));
        ASSERT_TRUE(set_attribute(out, "user.origin", "cp932") && set_attribute(out, "user.empty", ""));
        mode_t const mode = stat_of(out).st_mode;

        EXPECT_TRUE(succeeded(convert(out.string()))) << c.out;
        EXPECT_EQ(read_file(out), converted);
        EXPECT_EQ(stat_of(out).st_mode, mode) << c.out;
        EXPECT_EQ(attribute(out, "system.posix_acl_access"), c.access_acl) << c.out;
        EXPECT_EQ(attribute(out, "user.origin"), "cp932") << c.out;
        EXPECT_EQ(attribute(out, "user.empty"), "") << c.out;
        fs::remove(out);
    }
}

TEST_P(OutputTest, AclThatCannotBeCopiedKeepsTheOldFile) {
    if (!set_attribute(dir / "in", "system.posix_acl_access", private_acl))
        GTEST_SKIP() << "no ACLs on " << dir.path();
    fs::path const marker = dir.path().string() + ".loaded";
    RunOptions const refusing{.extra_environment = {"LD_PRELOAD=" ACL_REFUSAL_PRELOAD, "ACL_REFUSAL_MARKER=" + marker.string(),
                                                    "ASAN_OPTIONS=verify_asan_link_order=0"}};
    for (std::string const out : {"in", "other"}) {
        write_file(dir / "other", "old\n");
        ASSERT_TRUE(set_attribute(dir / "other", "system.posix_acl_access", private_acl));
        std::string const before = read_file(dir / out);
        RunResult const result = convert(path(out), refusing);
        if (!fs::remove(marker)) GTEST_SKIP() << "LD_PRELOAD does not reach a statically linked program";
        EXPECT_TRUE(failed_with(result, cannot_write(path(out)))) << out;
        EXPECT_EQ(read_file(dir / out), before) << out;
        EXPECT_EQ(attribute(dir / out, "system.posix_acl_access"), private_acl) << out;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "other"})) << out;
    }
}

TEST_P(OutputTest, NewFileGetsWhatAPlainCreateGives) {
    ASSERT_EQ(mkdir(path("plain").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("inheriting").c_str(), 0755), 0);
    bool const acls = set_attribute(dir / "inheriting", "system.posix_acl_default", default_acl);
    for (char const* directory : {"plain", "inheriting"}) {
        if (!acls && directory == std::string_view("inheriting")) continue;
        for (mode_t const mask : {022, 077, 002, 0}) {
            fs::path const reference = dir / directory / "reference";
            mode_t const previous = umask(mask);
            UniqueFd const created(open(reference.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
            umask(previous);
            ASSERT_TRUE(created);
            fs::path const out = dir / directory / "new";
            EXPECT_TRUE(succeeded(convert(out.string(), {.umask = mask})));
            EXPECT_EQ(stat_of(out).st_mode, stat_of(reference).st_mode) << directory << ' ' << mask;
            EXPECT_EQ(attribute(out, "system.posix_acl_access"), attribute(reference, "system.posix_acl_access"))
                << directory << ' ' << mask;
            fs::remove(out);
            fs::remove(reference);
        }
    }
}

// ---- Other users ----

// Runs the program as nobody with the supplementary groups `groups`
// ("" for none), through setpriv.
RunResult run_as_nobody(std::string const& program, std::vector<std::string> const& arguments,
                        std::string const& groups) {
    std::vector<std::string> command = {"--reuid=" + std::to_string(nobody), "--regid=" + std::to_string(nobody),
                                        groups.empty() ? "--clear-groups" : "--groups=" + groups, "--", program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return run("/usr/bin/setpriv", command);
}

TEST_P(OutputTest, OwnerGroupAndWriteRightOfAnotherUser) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the program as another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod(path("shared").c_str(), 0777), 0);
    struct Case {
        bool as_root;
        std::string groups;   // the runner's supplementary groups
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool replaced;        // else refused at once, the old file kept
        uid_t owner_after;
        gid_t group_after;
    };
    std::vector<Case> const cases = {
        {false, "100", 0, users, 0660, true, nobody, users},          // the group stays for its other members
        {false, "100", nobody, users, 0640, true, nobody, users},
        {false, "", 0, users, 0666, true, nobody, nobody},            // not a member: the group cannot be kept
        {false, "", nobody, nobody, 0444, false, nobody, nobody},     // read only
        {false, "100", 0, users, 0640, false, 0, users},              // no write right
        {true, "", nobody, users, 0444, true, nobody, users},         // root may write
    };
    fs::path const out = dir / "shared/out";
    for (auto const& c : cases) {
        write_file(out, "old\n");
        ASSERT_EQ(chown(out.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
        std::vector<std::string> const arguments = {path("in"), out.string()};
        RunResult const result = c.as_root ? run(GetParam(), arguments) : run_as_nobody(GetParam(), arguments, c.groups);
        std::string const label = std::to_string(c.owner) + ':' + std::to_string(c.group) + ' ' + std::to_string(c.mode);
        if (c.replaced) {
            EXPECT_TRUE(succeeded(result)) << label;
            EXPECT_EQ(read_file(out), converted) << label;
        } else {
            EXPECT_TRUE(failed_with(result, cannot_open(out.string()))) << label;
            EXPECT_EQ(read_file(out), "old\n") << label;
        }
        struct stat const st = stat_of(out);
        EXPECT_EQ(st.st_uid, c.owner_after) << label;
        EXPECT_EQ(st.st_gid, c.group_after) << label;
        EXPECT_EQ(st.st_mode & 07777, c.mode) << label;
        EXPECT_EQ(entries_of(dir / "shared"), std::vector<std::string>{"out"}) << label;
        fs::remove(out);
    }
}

// ---- Long paths ----

// A path of exactly `length` bytes under `base`, through directories made
// on the way; its last name is at most NAME_MAX bytes long.
fs::path path_of_length(fs::path const& base, std::size_t length) {
    std::string path = base.string();
    while (length - path.size() > NAME_MAX + 1) {
        path += "/" + std::string(200, 'd');
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    return path + "/" + std::string(length - path.size() - 1, 'f');
}

TEST_P(OutputTest, PathsUpToTheLongestTheSystemTakes) {
    for (std::size_t const length : {std::size_t{4000}, std::size_t{4088}, std::size_t{PATH_MAX - 1}}) {
        for (bool const exists : {false, true}) {
            TemporaryDirectory const deep;
            fs::path const out = path_of_length(deep.path(), length);
            ASSERT_EQ(out.string().size(), length);
            if (exists) {
                std::ofstream(out) << "old\n";
                ASSERT_TRUE(fs::exists(out));
            }
            EXPECT_TRUE(succeeded(convert(out.string()))) << length << ' ' << exists;
            EXPECT_EQ(read_file(out), converted);
            EXPECT_EQ(entries_of(out.parent_path()), std::vector<std::string>{out.filename().string()});
        }
    }
}

// ---- The flush of an in-place run ----

// The calls that flush files to disk and rename them, in order.
std::vector<std::string> flushes_and_renames(fs::path const& log) {
    std::vector<std::string> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::string const call = line.substr(0, line.find('('));
        calls.push_back(call.starts_with("rename") ? "rename" : call);
    }
    return calls;
}

// LeakSanitizer, in a sanitized build, cannot work under ptrace.
constexpr char const* leaks_untraced = "ASAN_OPTIONS=detect_leaks=0";

TEST_P(OutputTest, OnlyAnInPlaceRunIsFlushed) {
    if (!succeeded(run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"})))
        GTEST_SKIP() << "strace is missing or cannot trace here";
    ASSERT_EQ(symlink("in", path("link").c_str()), 0);
    struct Case {
        std::string out;
        bool in_place;
    };
    std::vector<Case> const cases = {
        {path("in"), true},
        {dir.path().string() + "/./in", true},
        {path("link"), true},  // the link stays, its target is replaced
        {path("hard"), true},  // another name of the same file
        {path("other"), false},
        {path("new"), false},
    };
    std::vector<std::string> const flushed = {"fsync", "rename", "fsync"};
    for (auto const& c : cases) {
        write_file(dir / "in", source);
        if (c.out.ends_with("other")) write_file(c.out, "old\n");
        if (c.out.ends_with("hard")) {
            ASSERT_EQ(link(path("in").c_str(), c.out.c_str()), 0);
        }
        fs::path const log = dir.path().parent_path() / (dir.path().filename().string() + ".strace");
        RunResult const result = run("/usr/bin/strace", {"-qq", "-o", log.string(), "-e",
                                                         "trace=fsync,fdatasync,sync,syncfs,rename,renameat,renameat2",
                                                         GetParam(), path("in"), c.out},
                                       {.extra_environment = {leaks_untraced}});
        EXPECT_TRUE(succeeded(result)) << c.out;
        EXPECT_EQ(flushes_and_renames(log), c.in_place ? flushed : std::vector<std::string>{"rename"}) << c.out;
        EXPECT_EQ(read_file(c.out), converted) << c.out;
        fs::remove(log);
        if (!c.out.ends_with("in") && !c.out.ends_with("link")) fs::remove(c.out);
    }
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, OutputTest, ::testing::Values(litconv_program, txtconv_program),
                         [](auto const& info) { return fs::path(info.param).filename().string(); });

}  // namespace
