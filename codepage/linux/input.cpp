// Reading the input file.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codepage/platform.hpp"

namespace codepage {

InputFile::~InputFile() {
    if (fd >= 0) close(fd);
}

InputOpening open_input(InputFile& file, NativeStringView name, FileMode) {
    std::string const path(name);
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return InputOpening::cannot_open;
    // Which file is open decides whether the run is in place, and with it
    // the refusals and the checks of [out]. A file saved over [in] between
    // the open and the question would stand under the name while the old
    // one is read, and the old text would replace the new one as if into
    // another file. Once asked, such a save is seen at the end of the
    // input: the old file loses a name, which moves its status change time.
    struct stat st, named;
    if (fstat(file.fd, &st) != 0 || stat(path.c_str(), &named) != 0 || st.st_dev != named.st_dev ||
        st.st_ino != named.st_ino)
        return InputOpening::cannot_read;
    file.identity = FileIdentity{st.st_dev, st.st_ino};
    if (S_ISREG(st.st_mode)) {
        file.expected_size = st.st_size;
        file.opened_version = version_of(st);
    }
    return InputOpening::opened;
}

namespace {

// An editor's save or an appending writer during the run would leave the
// output a splice of two versions. The size a file reports says nothing
// on its own: a sysfs file reports 4096 bytes and holds fewer.
bool unchanged_since_opened(InputFile const& file) {
    if (!file.opened_version) return true;
    struct stat st;
    return fstat(file.fd, &st) == 0 && version_of(st) == *file.opened_version;
}

}  // namespace

std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t const n = read(file.fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            if (!unchanged_since_opened(file)) return -1;
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace codepage
