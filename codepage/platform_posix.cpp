#include <cerrno>
#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "messages.hpp"
#include "platform.hpp"

namespace codepage {

namespace {

// Decodes one code point of our own (valid) UTF-8 message text.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto const b = static_cast<unsigned char>(text[i++]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (; extra > 0 && i < text.size(); --extra)
        cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    return cp;
}

// Appends `text` in the encoding of the current locale. False when that
// encoding cannot hold one of its characters.
bool append_in_locale_encoding(std::string& out, std::string_view text) {
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (std::size_t i = 0; i < text.size();) {
        std::size_t const n = std::wcrtomb(buffer, static_cast<wchar_t>(next_code_point(text, i)), &state);
        if (n == static_cast<std::size_t>(-1)) return false;
        out.append(buffer, n);
    }
    return true;
}

std::string directory_of(std::string const& path) {
    auto const slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows symbolic links from `path` to the name of the file they lead to,
// which need not exist yet (a dangling link names the file to create).
bool resolve_links(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return true;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        ssize_t const n = readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return false;
}

mode_t creation_mode() {
    mode_t const mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

void discard(OutputFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    if (!file.temporary_path.empty()) unlink(file.temporary_path.c_str());
    file.temporary_path.clear();
}

// Messages are all the locale changes, and a run that converts its file
// prints none: it need not load the locale's files.
void set_locale_from_environment() {
    static bool done = false;
    if (!done) std::setlocale(LC_ALL, "");
    done = true;
}

}  // namespace

void print_message(std::string_view message, NativeStringView name) {
    set_locale_from_environment();
    auto const [before, after] = split_at_name(message);
    std::string out;
    bool const in_locale = append_in_locale_encoding(out, before);
    if (in_locale) out.append(name);
    if (!in_locale || !append_in_locale_encoding(out, after)) {
        // The console's encoding cannot hold Japanese (the C locale, say):
        // UTF-8 at least arrives whole.
        out.assign(before);
        out.append(name);
        out.append(after);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

InputFile::~InputFile() {
    if (fd >= 0) close(fd);
}

bool open_input(InputFile& file, NativeStringView name, FileMode) {
    file.fd = open(std::string(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return false;
    struct stat st;
    if (fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode)) file.expected_size = st.st_size;
    return true;
}

std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t const n = read(file.fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            if (file.bytes_read + static_cast<long long>(filled) < file.expected_size) return -1;
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    file.bytes_read += static_cast<long long>(filled);
    return static_cast<std::ptrdiff_t>(filled);
}

OutputFile::~OutputFile() { discard(*this); }

bool open_output(OutputFile& file, NativeStringView name, FileMode) {
    // Past a file-size limit a write should fail like any other, so that the
    // temporary file is removed and the failure reported, rather than the
    // signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string path(name);
    struct stat st;
    bool const exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and FIFOs cannot be replaced; they are written as they are.
        file.fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        file.target_path = path;
        return file.fd >= 0;
    }
    if (!resolve_links(path)) return false;

    std::string const directory = directory_of(path);
    // The temporary name is the target's, hidden and suffixed, cut short
    // where it would pass the longest name a directory holds.
    std::string base = path.substr(path.find_last_of('/') + 1);
    std::size_t const decoration = std::string_view("..XXXXXX").size();
    if (base.size() > NAME_MAX - decoration) base.resize(NAME_MAX - decoration);
    std::string temporary = directory + "/." + base + ".XXXXXX";
    file.fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (file.fd < 0) return false;
    file.temporary_path = temporary;
    file.target_path = path;
    // Keep the owner where we may (only root may give a file away), then the
    // mode: chown clears set-user-ID bits, so the mode comes last.
    if (exists && fchown(file.fd, st.st_uid, st.st_gid) != 0) {
        // Not root: the file stays ours.
    }
    mode_t const mode = exists ? st.st_mode & 07777 : creation_mode();
    if (fchmod(file.fd, mode) != 0) {
        discard(file);
        return false;
    }
    return true;
}

bool write_output(OutputFile& file, std::span<const Byte> bytes) {
    while (!bytes.empty()) {
        ssize_t const n = write(file.fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool commit_output(OutputFile& file) {
    int const fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0) {
        discard(file);
        return false;
    }
    if (file.temporary_path.empty()) return true;
    if (rename(file.temporary_path.c_str(), file.target_path.c_str()) != 0) {
        discard(file);
        return false;
    }
    file.temporary_path.clear();
    return true;
}

}  // namespace codepage
