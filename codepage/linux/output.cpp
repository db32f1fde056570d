// Writing the output file: a temporary file beside the target, put in its
// place once complete; in place, only once the output differs from it.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

#include "codepage/linux/attributes.hpp"
#include "codepage/linux/interrupt.hpp"
#include "codepage/linux/replaceable.hpp"
#include "codepage/platform.hpp"

namespace codepage {

namespace {

std::string directory_of(std::string const& path) {
    auto const slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_name_of(std::string const& path) { return path.substr(path.rfind('/') + 1); }

bool same_file(struct stat const& a, struct stat const& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The basic status of the file open as `fd` (O_PATH will do), with the file
// attributes that chattr sets.
bool status_of(int fd, struct statx& sx) { return statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0; }

FileIdentity identity_of(struct statx const& sx) { return {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino}; }

// The number of the descriptor of this process that the symbolic link
// `path` stands for, or -1. /dev/stdout, /dev/fd/N and /proc/self/fd/N all
// lead to an entry of the process's descriptor directory in /proc, whose
// link text is no name of the file (a pipe, a deleted file): what the
// descriptor reaches is only reached through it. The directory is known by
// its identity, not by its spelling, so any name of it serves.
int descriptor_named_by(std::string const& path) {
    std::string const name = base_name_of(path);
    int number = -1;
    auto const [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || number < 0) return -1;
    struct stat directory;
    if (stat(directory_of(path).c_str(), &directory) != 0) return -1;
    for (char const* own : {"/proc/self/fd", "/proc/thread-self/fd"}) {
        struct stat st;
        if (stat(own, &st) == 0 && same_file(st, directory)) return number;
    }
    return -1;
}

// Where [out] leads once symbolic links are followed: a file name, which
// need not exist yet (a dangling link names the file to create), or a
// descriptor this process holds.
struct Target {
    std::string path;
    int descriptor = -1;
    bool exists = false;
    struct stat status {};  // of the file, where it exists
};

std::optional<Target> resolve_target(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return Target{.path = path};
            return std::nullopt;
        }
        if (!S_ISLNK(st.st_mode)) return Target{.path = path, .exists = true, .status = st};
        if (int const descriptor = descriptor_named_by(path); descriptor >= 0) return Target{.path = {}, .descriptor = descriptor};
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        ssize_t const n = readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return std::nullopt;
}

// Writes through the descriptor as a shell redirection would: at its
// offset (or its end, when it appends), without truncating. A descriptor
// of the file being read (`litconv f.c /dev/stdout >> f.c`) would feed the
// output back into the input without end; it is refused, as cat refuses
// it.
bool open_descriptor(OutputFile& file, int descriptor, InputFile const& input) {
    int const flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
    struct stat st;
    if (fstat(descriptor, &st) != 0 || (S_ISREG(st.st_mode) && input.identity == FileIdentity{st.st_dev, st.st_ino}))
        return false;
    file.fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    return file.fd >= 0;
}

// Whether the file that stood under the target's name at the start is as
// it was then.
bool original_unchanged(OutputFile const& file) {
    struct stat original;
    return fstat(file.original_fd, &original) == 0 && version_of(original) == file.original_version;
}

// Whether the name `name` in the target's directory leads to the file that
// stood under the target's name at the start, with its size and its
// modification time of then. Its status change time is not asked: a rename
// moves it.
bool names_original(OutputFile const& file, char const* name) {
    struct stat st;
    if (fstatat(file.directory_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    FileVersion const version = version_of(st);
    return FileIdentity{st.st_dev, st.st_ino} == file.original_identity && version.size == file.original_version.size &&
           version.modified_seconds == file.original_version.modified_seconds &&
           version.modified_nanoseconds == file.original_version.modified_nanoseconds;
}

// Puts the temporary file under the target's name. An existing target is
// exchanged with it, which makes the last check and the replacement one
// step: the file it then gets back must be the one that stood there at the
// start, unchanged, and is removed. Anything else was put under the name
// meanwhile (an editor's save, another run), however late: it goes back
// and the run fails, as an editor keeps a file changed since it was read.
// Where the file system cannot exchange (EINVAL), the name is checked and
// the file renamed over it, two steps with a window between them.
bool replace_target(OutputFile& file, SignalsHeldOff& held) {
    std::string const target_name = base_name_of(file.target_path);
    char const* const temporary = file.temporary_path.c_str();
    int const directory = file.directory_fd;
    if (!file.target_exists) return renameat(directory, temporary, directory, target_name.c_str()) == 0;
    if (!original_unchanged(file)) return false;
    if (renameat2(directory, temporary, directory, target_name.c_str(), RENAME_EXCHANGE) != 0)
        return errno == EINVAL && names_original(file, target_name.c_str()) &&
               renameat(directory, temporary, directory, target_name.c_str()) == 0;
    if (names_original(file, temporary)) {
        unlinkat(directory, temporary, 0);
        return true;
    }
    if (renameat2(directory, temporary, directory, target_name.c_str(), RENAME_EXCHANGE) != 0) {
        // The other file keeps the temporary name rather than be removed.
        held.forget_temporary_file();
        file.temporary_path.clear();
    }
    return false;
}

// Whether the directory's name still leads to the directory that was
// opened: one moved away, with another put in its place, would receive the
// new file where [out] no longer is.
bool directory_still_named(OutputFile const& file) {
    struct stat named;
    return stat(directory_of(file.target_path).c_str(), &named) == 0 &&
           FileIdentity{named.st_dev, named.st_ino} == file.directory_identity;
}

// Gives the new file the owner, mode and attributes of the original. Its
// attributes are read through a name that leads to it whatever becomes of
// its own name: its descriptor's entry in /proc; without /proc, through its
// own name, which the commit checks again after the exchange.
bool copy_original_attributes(OutputFile const& file) {
    std::string const own = "/proc/self/fd/" + std::to_string(file.original_fd);
    return copy_attributes(file.original_ownership, own.c_str(), file.fd) ||
           (errno == ENOENT && copy_attributes(file.original_ownership, file.target_path.c_str(), file.fd));
}

// A regular file of up to this size is read, converted and written within
// milliseconds: signals that come meanwhile may wait that long.
constexpr long long brief_input_size = 1 << 20;

constexpr std::size_t suffix_length = 8;

// Letters and digits that differ from one call, process and moment to the
// next. They need not be secret: the file is created exclusively, and a
// name already taken only costs another try.
std::string random_suffix() {
    static unsigned long long calls = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long mixed = (static_cast<unsigned long long>(now.tv_sec) * 1'000'000'000ull +
                                static_cast<unsigned long long>(now.tv_nsec)) ^
                               (static_cast<unsigned long long>(getpid()) << 40) ^ (++calls << 20);
    mixed *= 0x9E3779B97F4A7C15ull;
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    for (std::size_t k = 0; k < suffix_length; ++k, mixed /= alphabet.size()) suffix += alphabet[mixed % alphabet.size()];
    return suffix;
}

// Creates the temporary file in the target's directory, named after the
// target, hidden and suffixed, and cut short where it would pass the
// longest name a directory holds. It is made relative to the directory, so
// that its path may be as long as the target's. The signals that end the
// program are held off until it is recorded for removal.
bool create_temporary(OutputFile& file, mode_t mode) {
    std::string base = base_name_of(file.target_path);
    std::size_t const decoration = std::string_view("..").size() + suffix_length;
    if (base.size() > NAME_MAX - decoration) base.resize(NAME_MAX - decoration);
    for (int tries = 0; tries < 100; ++tries) {
        std::string const name = "." + base + "." + random_suffix();
        SignalsHeldOff held;
        file.fd = openat(file.directory_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (file.fd >= 0) {
            file.temporary_path = name;
            held.remove_on_signal(file.directory_fd, name, file.ends_soon);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Closing is where some file systems (NFS, a full quota) report a failed
// write.
bool close_output(OutputFile& file) { return close(std::exchange(file.fd, -1)) == 0; }

void discard(OutputFile& file) {
    if (file.fd >= 0) close_output(file);
    if (!file.temporary_path.empty()) {
        SignalsHeldOff held;
        unlinkat(file.directory_fd, file.temporary_path.c_str(), 0);
        held.forget_temporary_file();
        file.temporary_path.clear();
    }
}

bool write_all(int fd, std::span<const Byte> bytes) {
    while (!bytes.empty()) {
        ssize_t const n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// ---- In place: nothing is created while the output repeats the file ----
//
// A tree is converted again and again, and most of its files come out as
// they were: such a file keeps its inode, times and links, and costs a read
// of its content. The output is compared with the file as it is written;
// the first difference makes the temporary file, which gets the unchanged
// part from the file itself.

// Bytes of the file compared at a time: memory stays small however large
// the file.
constexpr std::size_t comparison_piece = 16 * 1024;

enum class Comparison { same, different, failed };

// Whether the file `fd` holds `bytes` at `offset`; `failed` when it cannot
// be read.
Comparison compare_with_file(int fd, long long offset, std::span<const Byte> bytes) {
    Byte piece[comparison_piece];
    while (!bytes.empty()) {
        ssize_t const n = pread(fd, piece, std::min(sizeof piece, bytes.size()), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Comparison::failed;
        auto const part = bytes.first(static_cast<std::size_t>(n));
        if (n == 0 || !std::ranges::equal(part, std::span(piece, part.size()))) return Comparison::different;
        bytes = bytes.subspan(part.size());
        offset += n;
    }
    return Comparison::same;
}

// Copies the bytes [offset, end) of the file `from` to `to` at its offset,
// inside the kernel where the file system can.
bool copy_range(int from, int to, off_t offset, off_t end) {
    while (offset < end) {
        ssize_t const n = copy_file_range(from, &offset, to, nullptr, static_cast<std::size_t>(end - offset), 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n == 0) return false;  // the file is shorter than it was
        if (errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;  // not on this file system: through memory
    }
    Byte piece[comparison_piece];
    while (offset < end) {
        std::size_t const wanted = std::min(sizeof piece, static_cast<std::size_t>(end - offset));
        ssize_t const n = pread(from, piece, wanted, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !write_all(to, std::span(piece, static_cast<std::size_t>(n)))) return false;
        offset += n;
    }
    return true;
}

// The data of the file `from` from `offset` on, up to `length`: where it
// begins and ends, or nothing where only a hole is left. A file system
// that does not tell its holes has data up to `length`.
std::optional<std::pair<off_t, off_t>> next_data(int from, off_t offset, off_t length) {
    off_t const data = lseek(from, offset, SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO) return std::nullopt;
        return std::pair(offset, length);
    }
    if (data >= length) return std::nullopt;
    off_t const hole = lseek(from, data, SEEK_HOLE);
    return std::pair(data, hole < 0 ? length : std::min(hole, length));
}

// Copies the first `length` bytes of the file `from` to `to`, which is
// left at their end, and keeps their holes: a sparse file replaced in place
// needs no more room on the disk than its data. `from` shares its offset
// with the input, which is put back.
bool copy_prefix(int from, int to, long long length) {
    off_t const input_offset = lseek(from, 0, SEEK_CUR);
    off_t copied = 0;  // and `to` stands there
    bool ok = input_offset >= 0;
    while (ok && copied < length) {
        auto const data = next_data(from, copied, static_cast<off_t>(length));
        if (!data) break;
        ok = (data->first == copied || lseek(to, data->first, SEEK_SET) == data->first) &&
             copy_range(from, to, data->first, data->second);
        copied = data->second;
    }
    // A hole at the end of the prefix.
    ok = ok && (copied == length || (ftruncate(to, static_cast<off_t>(length)) == 0 &&
                                     lseek(to, static_cast<off_t>(length), SEEK_SET) == length));
    return lseek(from, input_offset, SEEK_SET) == input_offset && ok;
}

// In place, the first time the output differs from the file: the temporary
// file, holding what came before.
bool start_replacement(OutputFile& file) {
    bool const started = create_temporary(file, 0600) && copy_prefix(file.compared_fd, file.fd, file.unchanged);
    close(std::exchange(file.compared_fd, -1));
    return started;
}

// In place, before any difference: whether `bytes` repeat the file too.
// At the first difference the temporary file is started.
Comparison compare_with_original(OutputFile& file, std::span<const Byte> bytes) {
    Comparison const comparison = compare_with_file(file.compared_fd, file.unchanged, bytes);
    if (comparison == Comparison::same) file.unchanged += static_cast<long long>(bytes.size());
    if (comparison != Comparison::different) return comparison;
    return start_replacement(file) ? Comparison::different : Comparison::failed;
}

// In place, at the end of an output that repeated the file all along:
// whether the file ends there too and is left as it is. A longer file is
// a difference.
Comparison compare_end_with_original(OutputFile& file) {
    struct stat st;
    if (fstat(file.compared_fd, &st) != 0) return Comparison::failed;
    if (st.st_size == file.unchanged) {
        close(std::exchange(file.compared_fd, -1));
        return Comparison::same;
    }
    return start_replacement(file) ? Comparison::different : Comparison::failed;
}

// In place, the temporary file waits for the first difference; the
// directory must take it all the same, so that a run that could not
// replace the file is refused before any byte is read, as any other.
bool defer_replacement(OutputFile& file, InputFile const& input) {
    if (faccessat(file.directory_fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return false;
    file.compared_fd = fcntl(input.fd, F_DUPFD_CLOEXEC, 0);
    return file.compared_fd >= 0;
}

}  // namespace

OutputFile::~OutputFile() {
    discard(*this);
    if (compared_fd >= 0) close(compared_fd);
    if (directory_fd >= 0) close(directory_fd);
    if (original_fd >= 0) close(original_fd);
}

bool open_output(OutputFile& file, NativeStringView name, FileMode, InputFile const& input) {
    // Past a file-size limit a write should fail like any other, so that the
    // temporary file is removed and the failure reported, rather than the
    // signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (name.empty()) return false;
    std::string const given(name);
    // The system follows the symbolic links itself and applies its own
    // rules to them: fs.protected_symlinks refuses another user's link in a
    // sticky, world-writable directory, as it refuses cp and > there. Only a
    // name that leads nowhere yet (a new file, a dangling link) is let
    // through; reading the links below finds the directory and the name to
    // rename into, which must lead to this same file.
    file.original_fd = open(given.c_str(), O_PATH | O_CLOEXEC);
    if (file.original_fd < 0 && errno != ENOENT) return false;
    std::optional<Target> const target = resolve_target(given);
    if (!target) return false;
    if (target->descriptor >= 0) return open_descriptor(file, target->descriptor, input);
    std::string const& path = target->path;
    if (path.back() == '/') return false;
    struct stat const& st = target->status;
    file.target_exists = target->exists;
    if (file.target_exists != (file.original_fd >= 0)) return false;  // it changed while looked at
    if (file.target_exists && !S_ISREG(st.st_mode)) {
        // Devices and FIFOs cannot be replaced; they are written as they are.
        file.fd = open(given.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return file.fd >= 0;
    }
    // What the platform's own open would refuse is refused here too, though
    // the rename would get past it.
    if (file.target_exists && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return false;
    file.original_identity = FileIdentity{st.st_dev, st.st_ino};
    file.original_version = version_of(st);
    file.in_place = file.target_exists && input.identity == FileIdentity{st.st_dev, st.st_ino};
    // Flushing the directory after the rename needs it open for reading;
    // anywhere else a search right is enough.
    file.directory_fd = open(directory_of(path).c_str(), (file.in_place ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
    if (file.directory_fd < 0) return false;
    file.target_path = path;
    // Which files these are, how they stand, and what the system would
    // refuse at the rename, from one statx each.
    struct statx directory, original;
    if (!status_of(file.directory_fd, directory)) return false;
    file.directory_identity = identity_of(directory);
    if (file.target_exists) {
        // The name in the directory that was opened leads to the file
        // looked at, which is the one held open.
        if (!status_of(file.original_fd, original) || identity_of(original) != file.original_identity ||
            version_of(original) != file.original_version || !names_original(file, base_name_of(path).c_str()))
            return false;
        file.original_ownership = Ownership{original.stx_uid, original.stx_gid, original.stx_mode};
    }
    // What would fail only at the rename, once the whole input was read,
    // fails now, and leaves nothing behind.
    if (!rename_may_replace(directory, file.target_exists ? &original : nullptr)) return false;
    file.ends_soon = input.expected_size >= 0 && input.expected_size <= brief_input_size;
    if (file.in_place) return defer_replacement(file, input);
    // A new file gets what a plain create gives (the umask, or the
    // directory's default ACL); a replacement stays private until it takes
    // the old file's attributes.
    return create_temporary(file, file.target_exists ? 0600 : 0666);
}

bool write_output(OutputFile& file, std::span<const Byte> bytes) {
    if (file.compared_fd >= 0) {
        Comparison const comparison = compare_with_original(file, bytes);
        if (comparison != Comparison::different) return comparison == Comparison::same;
    }
    return write_all(file.fd, bytes);
}

bool commit_output(OutputFile& file) {
    if (file.compared_fd >= 0) {
        Comparison const comparison = compare_end_with_original(file);
        if (comparison != Comparison::different) return comparison == Comparison::same;
    }
    if (file.temporary_path.empty()) return close_output(file);
    // In place, the old content is the only copy of the text: the new one
    // must be on the disk before it takes the old one's name, and the
    // directory after that, or a crash could leave neither. A replaced file
    // is otherwise written back whenever the system likes (ext4 starts
    // writing a file renamed over another at once, but not one exchanged
    // with it).
    if ((file.target_exists && !copy_original_attributes(file)) ||
        (file.in_place && fsync(file.fd) != 0) || !close_output(file)) {
        discard(file);
        return false;
    }
    SignalsHeldOff held;
    // A signal that came before the replacement ends the run, once the
    // temporary file is gone. Meanwhile another process may have changed
    // [out], put another file under its name or moved its directory away:
    // the new file would then replace what it was not made from, with the
    // attributes of another file, or land where [out] no longer is.
    if (held.ending_signal_waits() || !directory_still_named(file) || !replace_target(file, held)) {
        discard(file);
        return false;
    }
    held.forget_temporary_file();
    file.temporary_path.clear();
    held.hold_to_the_end();
    return !file.in_place || fsync(file.directory_fd) == 0;
}

}  // namespace codepage
