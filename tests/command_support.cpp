#include "command_support.hpp"

#include <fcntl.h>
#include <iconv.h>
#include <linux/fs.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>
#include <sstream>
#include <thread>

namespace command_test {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) close(fd_);
}

namespace {

// Everything the child needs is prepared before fork: after it, only
// async-signal-safe calls.
[[noreturn]] void exec_child(char const* program, char* const* argv, char* const* envp, int null_fd, int out_fd,
                             int err_fd, RunOptions const& options) {
    if (dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(126);
    for (auto const& [number, fd] : options.descriptors) {
        // dup2 onto itself would keep the close-on-exec flag.
        if (number == fd ? fcntl(fd, F_SETFD, 0) < 0 : dup2(fd, number) < 0) _exit(126);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The signals that end a run arrive as the tests send them, however the
    // test program was started.
    for (int const s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
    for (int const s : options.ignored_signals) signal(s, SIG_IGN);
    signal(SIGXFSZ, options.file_size_limit ? SIG_IGN : SIG_DFL);
    if (options.file_size_limit) {
        rlimit const limit{*options.file_size_limit, *options.file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    if (options.umask) umask(*options.umask);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
    execve(program, argv, envp);
    _exit(127);
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string message(std::string_view before, std::string_view name, std::string_view after) {
    return std::string(before).append(name).append(after);
}

}  // namespace

Child::Child(std::string const& program, std::vector<std::string> const& arguments, RunOptions const& options) {
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env_strings{"LANG=" + options.lang};
    env_strings.insert(env_strings.end(), options.extra_environment.begin(), options.extra_environment.end());
    auto const argv = pointers_to(argv_strings);
    auto const envp = pointers_to(env_strings);

    UniqueFd const null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int out_pipe[2], err_pipe[2];
    if (!null_fd || pipe2(out_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make the child's pipes";
        return;
    }
    UniqueFd out_write(out_pipe[1]);
    out_ = UniqueFd(out_pipe[0]);
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make the child's pipes";
        return;
    }
    UniqueFd err_write(err_pipe[1]);
    err_ = UniqueFd(err_pipe[0]);

    pid_ = fork();
    if (pid_ == 0) exec_child(program.c_str(), argv.data(), envp.data(), null_fd.get(), out_write.get(),
                              err_write.get(), options);
    if (pid_ < 0) ADD_FAILURE() << "fork failed";
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

RunResult Child::wait() {
    RunResult result;
    if (pid_ <= 0) return result;
    std::string* const targets[] = {&result.out, &result.err};
    pollfd fds[] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buffer[65536];
            ssize_t const n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[k]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[k].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string cannot_open(std::string_view name) {
    return message("ファイル\"", name, "\"が開けません。\n");
}

std::string cannot_read(std::string_view name) {
    return message("ファイル\"", name, "\"が読み込めません。\n");
}

std::string cannot_write(std::string_view name) {
    return message("ファイル\"", name, "\"に書き込めません。\n");
}

::testing::AssertionResult failed_with(RunResult const& result, std::string_view message) {
    if (result.status == 1 && result.out == message && result.err.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << result.status << " (signal " << result.signal
                                         << "), stdout \"" << result.out << "\", stderr \"" << result.err
                                         << "\"; expected status 1 and \"" << message << '"';
}

RunResult on_standard_error(RunResult result) {
    std::swap(result.out, result.err);
    return result;
}

::testing::AssertionResult succeeded(RunResult const& result) {
    if (result.status == 0 && result.out.empty() && result.err.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << result.status << " (signal " << result.signal
                                         << "), stdout \"" << result.out << "\", stderr \"" << result.err << '"';
}

::testing::AssertionResult same_bytes(std::string_view actual, std::string_view expected) {
    auto const [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (a == actual.end() && e == expected.end()) return ::testing::AssertionSuccess();
    auto const at = static_cast<std::size_t>(a - actual.begin());
    auto hex = [at](std::string_view s) {
        std::ostringstream text;
        for (std::size_t i = at; i < std::min(s.size(), at + 16); ++i)
            text << std::hex << (static_cast<unsigned>(static_cast<unsigned char>(s[i])) | 0x100) << ' ';
        return text.str();  // each byte behind a leading 1, so 00 shows as 100
    };
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at " << at << ": actual [" << hex(actual)
                                         << "] expected [" << hex(expected) << ']';
}

std::string read_file(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(fs::path const& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

Iconv::Iconv(char const* from, char const* to) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
}

Iconv::~Iconv() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

std::optional<std::string> Iconv::operator()(std::string_view in) const {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string source(in);
    std::string out(4 * in.size() + 16, '\0');
    char* src = source.data();
    char* dst = out.data();
    std::size_t src_left = source.size(), dst_left = out.size();
    if (iconv(cd_, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return std::nullopt;
    out.resize(out.size() - dst_left);
    return out;
}

std::string utf8(char32_t cp) {
    if (cp < 0x80) return {static_cast<char>(cp)};
    if (cp < 0x800) return {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
    if (cp < 0x10000)
        return {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                static_cast<char>(0x80 | (cp & 0x3F))};
    return {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
            static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
}

bool feed_fifo(fs::path const& path, std::string_view bytes, UniqueFd* kept) {
    // A reader that goes away must fail the write, not end the test program.
    static bool const ignoring_sigpipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignoring_sigpipe;
    UniqueFd fd;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(fd = UniqueFd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)))) {
        if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    fcntl(fd.get(), F_SETPIPE_SZ, 4096);
    while (!bytes.empty()) {
        ssize_t const n = write(fd.get(), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (kept) *kept = std::move(fd);
    return true;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "command_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory";
        return;
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::optional<std::string> attribute(fs::path const& path, char const* name) {
    std::string value(4096, '\0');
    ssize_t const n = getxattr(path.c_str(), name, value.data(), value.size());
    if (n < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(n));
    return value;
}

std::vector<std::string> entries_of(fs::path const& directory) {
    std::vector<std::string> names;
    for (auto const& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

bool accepts_new_entries(fs::path const& directory) {
    fs::path const probe = directory / "probe";
    UniqueFd const fd(open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return false;
    unlink(probe.c_str());
    return true;
}

bool set_immutable(fs::path const& directory, bool on) {
    UniqueFd const fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

bool mount_read_only(fs::path const& directory) {
    // The mount is seen by this process and its children only.
    static bool const private_namespace =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!private_namespace) return false;
    if (mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    if (mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) return true;
    umount2(directory.c_str(), MNT_DETACH);
    return false;
}

}  // namespace

UnwritableDirectory::UnwritableDirectory(fs::path directory) : directory_(std::move(directory)) {
    chmod(directory_.c_str(), 0555);
    if (!accepts_new_entries(directory_)) {
        how = "mode 0555";
        return;
    }
    // Root passes by the mode.
    immutable_ = set_immutable(directory_, true);
    if (immutable_ && !accepts_new_entries(directory_)) {
        how = "immutable attribute";
        return;
    }
    mounted_ = mount_read_only(directory_);
    if (mounted_ && !accepts_new_entries(directory_)) how = "read-only bind mount";
}

UnwritableDirectory::~UnwritableDirectory() {
    if (mounted_) umount2(directory_.c_str(), MNT_DETACH);
    if (immutable_) set_immutable(directory_, false);
    chmod(directory_.c_str(), 0755);
}

}  // namespace command_test
